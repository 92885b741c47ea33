#!/bin/sh
# Checks the direction of the daemon's dependencies: a file of server/<folder>/
# may include headers of its own folder and of the folders below it, never of
# one above.  The layers, lowest first (folders on one line share a layer and
# may include each other):
#
#   base                       declarations every layer shares (Exit, process identity)
#   proxy                      the PROXY protocol header and the trusted ranges
#   log                        the log client
#   config                     general.cf, domain.cf, user classes
#   status                     the shared status area and the statistics
#   events                     event messages to the outside event consumer
#   logger                     the logger process
#   paths                      virtual paths, access checks, link-safe calls
#   quota                      disk quotas
#   auth                       the authentication-service client
#   tls                        the TLS context and the TLS reads and writes
#   session transfer listing   the control session and the commands it runs
#   process                    entry, start-up, master and child pool, admission
#
# Usage: scripts/check-layers.sh [server-dir]; prints every upward include and
# exits 1 when there is one.
set -eu
server=${1:-$(cd "$(dirname "$0")/.." && pwd)/server}
layers='base=0 proxy=1 log=2 config=3 status=4 events=5 logger=6 paths=7 quota=8 auth=9 tls=10 session=11 transfer=11 listing=11 process=12'

rank() {
    for l in $layers; do
        [ "${l%%=*}" = "$1" ] && { echo "${l#*=}"; return; }
    done
    echo ""
}

bad=0
for dir in "$server"/*/; do
    folder=$(basename "$dir")
    own=$(rank "$folder")
    if [ -z "$own" ]; then
        echo "server/$folder/: not in the layer table of $0"
        bad=1
        continue
    fi
    for f in "$dir"*.cc "$dir"*.h; do
        [ -e "$f" ] || continue
        for inc in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z]*\/[^"]*\)".*/\1/p' "$f"); do
            other=$(rank "${inc%%/*}")
            [ -n "$other" ] || continue
            if [ "$other" -gt "$own" ]; then
                echo "server/$folder/$(basename "$f") includes $inc (a higher layer)"
                bad=1
            fi
        done
    done
done
exit $bad
