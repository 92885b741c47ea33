#!/bin/sh
# Builds everything and runs the whole test suite: unit and integration tests
# in the normal build, then the unit tests again under the address and
# undefined-behaviour sanitizers.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"
"$top/scripts/build.sh" "$top/build-asan" -DZORVAD_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
status=0
failed=""
(cd "$top/build" && ctest --output-on-failure -j 2) || { status=1; failed="$failed build"; }
(cd "$top/build-asan" && UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j 2 -L unit) || { status=1; failed="$failed build-asan"; }
# The failures again at the end, where a log's tail shows them: the list, and
# each failed test run once more on its own with its output.
for b in $failed; do
    echo "Failed in $b:"
    sed 's/^/    /' "$top/$b/Testing/Temporary/LastTestsFailed.log" 2>/dev/null || true
    (cd "$top/$b" && UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --rerun-failed --output-on-failure 2>&1 | tail -n 60) || true
done
[ $status -eq 0 ] && echo "All test suites passed." || echo "Some tests FAILED."
exit $status
