#!/bin/sh
# Runs every fuzz target for N seconds, one after the other (one process at a
# time), each over its seed corpus fuzz/corpus/<target>, and prints the
# executions per second and in all for each.
#
#   fuzz/run.sh N [BUILD_DIR [TARGET...]]
#
# BUILD_DIR (default build-fuzz at the top) is configured with clang and
# -DZORVAD_FUZZ=ON and built when the targets are not there yet.  Inputs
# found are kept in BUILD_DIR/corpus/<target>, crashes in
# BUILD_DIR/crashes/<target>; a crash, a sanitizer report, a leak or a time-out
# makes the script fail.  Exits 77 (skipped) when clang++ cannot build with
# libFuzzer.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: fuzz/run.sh N [BUILD_DIR [TARGET...]]}
dir=${2:-$top/build-fuzz}
[ $# -ge 2 ] && shift 2 || shift $#
targets=${*:-"session paths glob generalcf domaincf hpwd ormel messages authmsg port opts ftpdate proxyheader"}

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' >"$probe/p.cc"
if ! command -v clang++ >/dev/null 2>&1 || ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cc" -o "$probe/p" 2>/dev/null; then
    echo "SKIPPED: clang++ with libFuzzer (Debian's clang package) is not installed; the fuzz targets were not run."
    exit 77
fi

if [ ! -f "$dir/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DZORVAD_FUZZ=ON >/dev/null
fi
cmake --build "$dir" -j 2 --target fuzzers >/dev/null

status=0
printf '%-10s %10s %12s %s\n' target exec/s executions result
for t in $targets; do
    corpus="$dir/corpus/$t"
    crashes="$dir/crashes/$t"
    mkdir -p "$corpus" "$crashes"
    log="$dir/fuzz_$t.log"
    result=ok
    # The seeds are read first: a crash kept there as a regression input fails here.
    if ! "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" "$top/fuzz/corpus/$t" >"$log" 2>&1; then
        result="FAILED (see $log, inputs in $crashes)"
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    printf '%-10s %10s %12s %s\n' "$t" "${rate:-?}" "${runs:-?}" "$result"
done
exit $status
