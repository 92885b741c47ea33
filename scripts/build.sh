#!/bin/sh
# Configures and builds one build tree: scripts/build.sh [DIR [cmake options...]]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build}
[ $# -gt 0 ] && shift
cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
