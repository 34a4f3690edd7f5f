#!/bin/sh
# The crash test: an update of a few thousand files interrupted again and again (kill -9 of the
# supervisor and of cashpkg install at random moments, and cuts at the installer's own system
# calls), each time checked to leave the old tree or the new one. Installs what is missing, builds
# the Qt 6 variant (as scripts/test.sh does) and runs it once, on tmpfs.
# Usage: scripts/crash-test.sh [ROUNDS]   (default 240; LCS_CRASH_SEED=N repeats a run's moments)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build-qt6 -DLCS_QT_VERSION=6
LCS_CRASH_ROUNDS=${1:-240}
export LCS_CRASH_ROUNDS
cd build-qt6
ctest -L crash --output-on-failure --timeout 900
