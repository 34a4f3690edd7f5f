#!/bin/sh
# Installs what a fresh Debian machine lacks, builds with Qt 6 and with Qt 5.15 (warnings are
# errors), runs every test of both builds, and then the crash test (scripts/crash-test.sh) once
# against the Qt 6 build.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh

# Tests create many small files; the root file system of our machines is slow at that.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

status=0
for qt in 6 5; do
    dir=build-qt$qt
    echo "== Qt $qt: building in $dir"
    scripts/build.sh "$dir" -DLCS_QT_VERSION=$qt
    echo "== Qt $qt: running tests"
    (cd "$dir" && ctest -LE crash --output-on-failure --timeout 600) || status=1
done
echo "== the crash test"
scripts/crash-test.sh || status=1
exit $status
