#!/bin/sh
# Builds what the benchmark needs and runs it:  sh bench/run.sh [run.py options] [SCENARIO ...]
#
#   sh bench/run.sh                  every scenario, 3 repetitions (about two hours)
#   sh bench/run.sh --quick          each scenario briefly, once (a check that all works)
#   sh bench/run.sh --reps 5 rate64  one scenario
#
# ZORVAD_BENCH_BUILD names the build tree (default: build/).  Runs as root;
# bench/run.py --help lists the scenarios and options.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZORVAD_BENCH_BUILD:-$top/build}
# A build tree keeps the generator it was configured with.
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target zorvad zorvad_ftpload zorvad_tlsload zorvad_forkcost
if ! command -v gnuplot >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
        --no-install-recommends gnuplot-nox >/dev/null
fi
exec python3 "$top/bench/run.py" --build "$build" "$@"
