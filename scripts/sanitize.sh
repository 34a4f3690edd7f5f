#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (clang, Qt 6) into
# build-asan/ and runs the whole test suite. Any sanitizer report fails the run, also one from a
# child process whose exit status no test looks at (cashsim, the supervisor, helpers): every
# report is written to build-asan/sanitizer-reports/ and the script fails if one appears there.
# Usage: scripts/sanitize.sh
#        CC=gcc CXX=g++ BUILD_DIR=build-asan-gcc scripts/sanitize.sh   (gcc instead of clang)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh clang libclang-rt-14-dev

dir=${BUILD_DIR:-build-asan}
CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DLCS_WERROR=ON -DLCS_QT_VERSION=6 -DLCS_SANITIZE=ON >/dev/null
cmake --build "$dir"

# Tests create many small files; the root file system of our machines is slow at that.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

reports=$(pwd)/$dir/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# LeakSanitizer (part of detect_leaks) needs no suppressions: Qt's own one-time allocations stay
# reachable through its globals, and reachable memory is not a leak to it.

# The crash test at a tenth of its rounds: the installer's recovery under the sanitizers.
export LCS_CRASH_ROUNDS=24

status=0
(cd "$dir" && ctest --output-on-failure --timeout 600) || status=1
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    echo "== sanitizer report $report"
    cat "$report"
    status=1
done
exit $status
