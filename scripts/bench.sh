#!/bin/sh
# Benchmarks: installs what is missing, builds in Release into build-release/ and runs every
# benchmark, the product beside the tools a user would pick instead and beside the product of an
# earlier revision (built from `git archive` into build-before/<commit>/, kept for later runs),
# then writes docs/benchmarks.md and docs/benchmarks-install.png. Takes about 20 minutes; needs
# root for the ext4 loop image (without it the ext4 runs are skipped with a note).
# Usage: scripts/bench.sh [--before REVISION] [--rounds N] [--only install,ipc,log,start,idle]
#                         [--no-ext4]
#   --before: the revision to compare with (default HEAD~1, the commit before this one)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh time gnuplot-nox e2fsprogs util-linux isal libdeflate-tools libdeflate-dev

before=HEAD~1
if [ "${1:-}" = --before ]; then
    before=$2
    shift 2
fi
commit=$(git rev-parse --verify "$before^{commit}")

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLCS_WERROR=ON -DLCS_BENCH=ON \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release

# The earlier revision's installation driver and supervisor, built the same way from its own tree.
before_dir=build-before/$commit
if [ ! -x "$before_dir/build/installbench" ] || [ ! -x "$before_dir/build/localcashserver" ]; then
    rm -rf "$before_dir"
    mkdir -p "$before_dir/source"
    git archive "$commit" | tar -x -C "$before_dir/source"
    cmake -S "$before_dir/source" -B "$before_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DLCS_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$before_dir/build" --target installbench localcashserver
fi

exec python3 bench/run.py --build build-release --before-build "$before_dir/build" \
    --before-name "$(git rev-parse --short "$commit")" "$@"
