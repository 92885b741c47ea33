#!/bin/sh
# Builds the Debian package zorvad_<version>_<arch>.deb in OUTDIR (default:
# the top of the repository) from the build tree BUILD (default build-pkg/).
# The tree is configured for the package each time: without the tests, prefix
# /usr, and the compiler and linker flags dpkg-buildflags gives with every
# hardening feature (fortify, stack protector, relro, bindnow; PIE is the
# compiler's default), so a tree made for something else is rebuilt with
# them.  A tree that exists keeps its generator.  Only the installed programs
# are built, and they are installed stripped.
#   scripts/package.sh [BUILD [OUTDIR]]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-pkg}
out=${2:-$top}

# The version is the changelog's: its upstream part must be the project's.
changelog=$top/dist/debian/changelog
version=$(dpkg-parsechangelog -l "$changelog" -S Version)
upstream=$(sed -n 's/^project(zorvad VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ "${version%-*}" = "$upstream" ] || {
    echo "package.sh: dist/debian/changelog is at $version, the project at $upstream" >&2
    exit 1
}
maintainer=$(dpkg-parsechangelog -l "$changelog" -S Maintainer)
arch=$(dpkg --print-architecture)

flags=$(cd "$top" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)
eval "$flags"
# The version texts carry the build date (__DATE__, __TIME__): as under
# dpkg-buildpackage it is the changelog's, so the same tree builds the same
# programs, and -Wdate-time has nothing left to warn about.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$changelog" -S Timestamp)
export SOURCE_DATE_EPOCH
CPPFLAGS=$(printf '%s\n' "$CPPFLAGS" | sed 's/-Wdate-time *//')
generator=
[ -f "$build/CMakeCache.txt" ] || generator="-G Ninja"
# shellcheck disable=SC2086 # $generator is empty or two words
cmake -S "$top" -B "$build" $generator -DZORVAD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_BUILD_TYPE=None \
    "-DCMAKE_C_FLAGS=$CPPFLAGS $CFLAGS" "-DCMAKE_CXX_FLAGS=$CPPFLAGS $CXXFLAGS" \
    "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS" "-DCMAKE_SHARED_LINKER_FLAGS=$LDFLAGS" >/dev/null
cmake --build "$build" -j "$(nproc)" --target zorvad zorvad_passwd zorvad_repquota zorvad_edquota zorvad_spy pwcheck

# The staged tree sits where dpkg-shlibdeps looks for a package's files:
# debian/<package>/ beside a debian/control naming the package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/debian/zorvad
mkdir -p "$stage"
printf 'Source: zorvad\n\nPackage: zorvad\nArchitecture: any\n' > "$work/debian/control"
# The staged tree gets no ftp account, log directory or anonymous area
# (DESTDIR set): postinst makes them.
DESTDIR=$stage cmake --install "$build" >/dev/null
programs=$(cd "$work" && find debian/zorvad/usr \( -path '*/bin/*' -o -path '*/sbin/*' \) -type f | sort)
# Stripped as Debian strips programs (no -dbgsym package is made).
for p in $programs; do
    strip --remove-section=.comment --remove-section=.note "$work/$p"
done
doc=$stage/usr/share/doc/zorvad
mkdir -p "$stage/DEBIAN" "$doc"
cp "$top/README.md" "$top/dist/debian/copyright" "$doc/"
gzip -9nc "$changelog" > "$doc/changelog.Debian.gz"
gzip -9n "$stage"/usr/share/man/man*/*
cp "$top/dist/debian/postinst" "$top/dist/debian/prerm" "$top/dist/debian/postrm" "$stage/DEBIAN/"
(cd "$stage" && find etc -type f | sed 's|^|/|' | sort) > "$stage/DEBIAN/conffiles"
# Checksums of every file but the conffiles (dpkg keeps theirs itself).
(cd "$stage" && find usr -type f | sort | xargs md5sum) > "$stage/DEBIAN/md5sums"
# The shared libraries the programs link, with the versions their symbols
# need; libpam0g, libwrap0 and libssl3, which the daemon opens itself under
# use-pam, tcp-wrappers and tls; adduser for the maintainer scripts; ssl-cert for the certificate the
# shipped configuration names; libpam-runtime for the common stacks that
# /etc/pam.d/zorvad includes.
shlibs=$(cd "$work" && dpkg-shlibdeps -O $(printf -- '-e%s ' $programs) | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "package.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat > "$stage/DEBIAN/control" <<CONTROL
Package: zorvad
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Depends: $shlibs, libpam0g, libwrap0, libssl3, adduser, libpam-runtime, ssl-cert
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
