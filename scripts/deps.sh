#!/bin/sh
# Installs the Debian packages the build, the demo and the tests need, once.
set -eu
PKGS="build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev \
libbenchmark-dev libwrap0-dev libpam0g-dev libcrypt-dev libssl-dev openssl python3 python3-pytest curl lftp rclone \
tar gzip zip ncompress iproute2 util-linux passwd procps lighttpd chromium \
g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 xvfb xauth \
clang libclang-rt-14-dev man-db \
dpkg-dev debootstrap logrotate python3-prometheus-client lintian haproxy jq gdb"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=300 update -qq
    apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends $missing
fi
