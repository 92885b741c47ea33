#!/bin/sh
# Makes the throw-away Debian root that the package test installs zorvad
# into: a minimal bookworm made by debootstrap from the mirror this host's
# apt uses, with the package's dependencies already in it (so installing the
# package needs no network), kept as a tar file and reused while it holds the
# packages named below (CACHE.tar.include records them; a root made with
# another list is made anew).
#   scripts/pkgroot.sh CACHE.tar
# Exit status 77 when it cannot be made here (no debootstrap, no mirror
# reachable): the caller skips.  Concurrent callers wait for one another.
set -eu
cache=$1
# The package's dependencies (ssl-cert for the TLS certificate the shipped
# configuration names).
include=adduser,libwrap0,ssl-cert
fresh() { [ -s "$cache" ] && [ "$(cat "$cache.include" 2>/dev/null)" = "$include" ]; }
fresh && exit 0
command -v debootstrap >/dev/null || { echo "pkgroot: debootstrap is not installed" >&2; exit 77; }
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9
fresh && exit 0
rm -f "$cache" "$cache.include"

mirror=$(apt-get indextargets --format '$(SITE)' 'Identifier: Packages' 'Codename: bookworm' \
         'Component: main' 2>/dev/null | head -n 1)
[ -n "$mirror" ] || { echo "pkgroot: apt knows no mirror for bookworm main" >&2; exit 77; }
if ! curl -fsS --max-time 30 -o /dev/null "$mirror/dists/bookworm/Release"; then
    echo "pkgroot: the mirror $mirror cannot be reached" >&2
    exit 77
fi

work=$(mktemp -d "$cache.work.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
start=$(date +%s)
# In a mount namespace of its own: the file systems debootstrap mounts in the
# root while it configures the packages vanish with it, even when it fails.
if ! unshare --mount --propagation private debootstrap --variant=minbase \
        --include="$include" bookworm "$work/root" "$mirror" >"$work/log" 2>&1; then
    tail -n 20 "$work/log" >&2
    # The mirror going away half-way is no fault of the package.
    if grep -q -E "Couldn't download|Failed getting release" "$work/log"; then
        echo "pkgroot: debootstrap could not download from $mirror" >&2
        exit 77
    fi
    echo "pkgroot: debootstrap failed" >&2
    exit 1
fi
# Nothing of the download stays in the root; apt inside it has no package
# lists, so it resolves dependencies from what is installed.
rm -rf "$work/root/var/cache/apt/archives/"*.deb "$work/root/var/lib/apt/lists/"*_Packages
tar -C "$work/root" --one-file-system --numeric-owner -cf "$work/root.tar" .
mv "$work/root.tar" "$cache"
echo "$include" > "$cache.include"
echo "pkgroot: made $cache with debootstrap in $(( $(date +%s) - start )) s" >&2
