#!/bin/sh
# The password tool on large databases: import of 100,000 users from a text
# file (passwords already encrypted, no -c), export of the same database,
# and, separately, the cost of hashing: 1,000 users imported with -c (the
# system's preferred method), extrapolated to 100,000.  Prints wall time and
# peak memory (from /usr/bin/time -v) of each run; leaves nothing behind.
#
#   bench/passwd_bench.sh [ZORVAD_PASSWD_BINARY] [USERS]
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-$top/build/tools/passwd/zorvad_passwd}
users=${2:-100000}
hashed=1000
dir=$(mktemp -d /tmp/passwd-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM

# Every user gets the same pre-encrypted password and an existing home.
python3 - "$dir" "$users" "$hashed" "${PASSWD_BENCH_NAMES:-random}" <<'PY'
import random, sys
d, n, h, numbered = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "numbered"
rng = random.Random(15)
names = set()
while len(names) < n:
    names.add("user%06d" % len(names) if numbered else
              "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(6, 10))))
enc = "$1$abcdefgh$0123456789abcdefghijkl"
with open(d + "/users.txt", "w") as f:
    for i, name in enumerate(sorted(names)):
        f.write("%s:%s:%d:%d:User %d:/tmp:/bin/sh:1000:800:100:80::0:0\n" % (name, enc, 10000 + i, 10000 + i, i))
with open(d + "/plain.txt", "w") as f:
    for i in range(h):
        f.write("plain%05d:Secret-%05d:%d:%d::/tmp:/bin/sh\n" % (i, i, 10000 + i, 10000 + i))
PY

# Runs a command under /usr/bin/time -v; prints "label: wall s, CPU s, kB peak".
measure() {
    label=$1
    shift
    /usr/bin/time -v -o "$dir/time.txt" "$@"
    awk -v label="$label" '
        /Elapsed \(wall clock\)/ { n = split($NF, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; wall = s }
        /User time|System time/ { cpu += $NF }
        /Maximum resident set size/ { rss = $NF }
        END { printf "%-34s %8.2f s wall  %8.2f s CPU  %8d kB peak\n", label ":", wall, cpu, rss }' "$dir/time.txt"
}

measure "import $users users" "$tool" -w -f "$dir/passwd.db" -i "$dir/users.txt"
measure "export $users users (-x)" sh -c '"$1" -f "$2" -x > "$3"' sh "$tool" "$dir/passwd.db" "$dir/export.txt"
measure "export $users users (-X)" sh -c '"$1" -f "$2" -X > /dev/null' sh "$tool" "$dir/passwd.db"
[ "$(wc -l < "$dir/export.txt")" -eq "$users" ] || { echo "export has the wrong number of lines" >&2; exit 1; }
measure "import $hashed users with -c" "$tool" -w -c -f "$dir/hashed.db" -i "$dir/plain.txt"
awk -v n="$users" -v h="$hashed" '
    /User time|System time/ { cpu += $NF }
    END { printf "%-34s %8.0f s CPU (extrapolated)\n", "hashing " n " users with -c:", cpu * n / h }' "$dir/time.txt"
