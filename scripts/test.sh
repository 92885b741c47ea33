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
(cd "$top/build" && ctest --output-on-failure -j 2) || status=1
(cd "$top/build-asan" && UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j 2 -L unit) || status=1
[ $status -eq 0 ] && echo "All test suites passed." || echo "Some tests FAILED."
exit $status
