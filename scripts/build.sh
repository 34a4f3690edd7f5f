#!/bin/sh
# Configures and builds one variant. Usage: scripts/build.sh BUILD_DIR [cmake options...]
set -eu
cd "$(dirname "$0")/.."
dir=$1
shift
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLCS_WERROR=ON "$@" >/dev/null
cmake --build "$dir"
