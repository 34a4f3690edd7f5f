#!/bin/sh
# Benchmarks: installs what is missing, builds in Release into build-release/ and runs every
# benchmark, the product beside the tools a user would pick instead, then writes
# docs/benchmarks.md and docs/benchmarks-install.png. Takes about 15 minutes; needs root for the
# ext4 loop image (without it the ext4 runs are skipped with a note).
# Usage: scripts/bench.sh [--rounds N] [--only install,ipc,log,start,idle] [--no-ext4]
#        [--reference OTHER_BUILD_DIR]  (another supervisor beside this one in the command rounds)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh time gnuplot-nox e2fsprogs util-linux

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLCS_WERROR=ON -DLCS_BENCH=ON \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release

exec python3 bench/run.py --build build-release "$@"
