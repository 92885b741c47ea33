#!/bin/sh
# Builds the Debian package zorvad_<version>_amd64.deb in OUTDIR (default: the
# top of the repository) from the build tree BUILD (default build-pkg/,
# configured without the tests).  Only the installed programs are built.
#   scripts/package.sh [BUILD [OUTDIR]]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-pkg}
out=${2:-$top}
[ -f "$build/build.ninja" ] ||
    cmake -S "$top" -B "$build" -G Ninja -DZORVAD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)" --target zorvad zorvad_passwd zorvad_repquota zorvad_edquota zorvad_spy pwcheck
version=$(sed -n 's/^project(zorvad VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
arch=$(dpkg --print-architecture)
# The staged tree sits where dpkg-shlibdeps looks for a package's files:
# debian/<package>/ beside a debian/control naming the package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/debian/zorvad
mkdir -p "$stage"
printf 'Source: zorvad\n\nPackage: zorvad\nArchitecture: any\n' > "$work/debian/control"
# The staged tree gets no ftp account (DESTDIR set): postinst makes it.
DESTDIR=$stage cmake --install "$build" >/dev/null
mkdir -p "$stage/DEBIAN" "$stage/usr/share/doc/zorvad"
cp "$top/README.md" "$stage/usr/share/doc/zorvad/"
gzip -9n "$stage"/usr/share/man/man*/*
cp "$top/dist/debian/postinst" "$top/dist/debian/prerm" "$top/dist/debian/postrm" "$stage/DEBIAN/"
(cd "$stage" && find etc -type f | sed 's|^|/|' | sort) > "$stage/DEBIAN/conffiles"
# The shared libraries the programs link, with the versions their symbols
# need; adduser for the maintainer scripts.
programs=$(cd "$work" && find debian/zorvad/usr \( -path '*/bin/*' -o -path '*/sbin/*' \) -type f -printf '-e%p ')
shlibs=$(cd "$work" && dpkg-shlibdeps -O $programs | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "package.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat > "$stage/DEBIAN/control" <<CONTROL
Package: zorvad
Version: $version
Architecture: $arch
Maintainer: Zorvad developers <root@localhost>
Installed-Size: $size
Depends: $shlibs, adduser
Recommends: logrotate
Provides: ftp-server
Conflicts: ftp-server
Section: net
Priority: optional
Description: pre-forking FTP server with virtual users and quotas
 zorvad serves anonymous FTP, the host's accounts and virtual users from
 its own password databases, with a pool of pre-forked children, per-user
 confinement and quotas, and a shared status area read by zorvad_spy.
CONTROL
chmod -R go-w "$stage"
dpkg-deb --root-owner-group --build "$stage" "$out/zorvad_${version}_${arch}.deb" >/dev/null
echo "$out/zorvad_${version}_${arch}.deb"
