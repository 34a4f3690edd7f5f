#!/bin/sh
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer, optimised
# with debug information) into build-fuzz/ and runs each for a bounded time. Fails on any finding
# (the crashing input is saved under build-fuzz/findings/). The corpus grows in build-fuzz/corpus/
# from run to run; seeds are made afresh for each run by fuzz/make-seeds.sh.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 15)
#        FUZZ_TARGETS="fuzz_configfile fuzz_ipcchannel" scripts/fuzz.sh 1800
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-15}
targets=${FUZZ_TARGETS:-fuzz_configfile fuzz_ipcchannel fuzz_tinytarheader fuzz_inflatearchive fuzz_inflatedifferential fuzz_tinytarunpacker fuzz_packagesignature}

scripts/deps.sh clang libclang-rt-14-dev

dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLCS_WERROR=ON \
    -DLCS_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$dir" --target $targets

# Seeds of this run only, so that runs side by side do not disturb each other's.
seeds=$dir/seeds-$$
trap 'rm -rf "$seeds"' EXIT
fuzz/make-seeds.sh "$seeds"
mkdir -p "$dir/findings"

# Any sanitizer report ends the run as a finding.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
for t in $targets; do
    # Input size caps keep each input cheap. Decompression expands at most about 1032 times, so
    # the largest packages here inflate to some 64 MiB, far below the 2 GiB the reader may
    # legitimately allocate: memory findings below the limits are real.
    case $t in
    fuzz_configfile) len=4096 dict=fuzz/config.dict ;;
    fuzz_ipcchannel) len=2048 dict= ;;
    fuzz_tinytarheader) len=16384 dict=fuzz/tar.dict ;;
    fuzz_inflatearchive | fuzz_inflatedifferential) len=65536 dict=fuzz/tar.dict ;;
    fuzz_tinytarunpacker) len=16384 dict=fuzz/tar.dict ;;
    fuzz_packagesignature) len=4096 dict= ;;
    *) echo "unknown target $t" >&2; exit 2 ;;
    esac
    mkdir -p "$dir/corpus/$t"
    echo "== $t: ${seconds}s"
    if ! "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
        -malloc_limit_mb=2560 -max_len="$len" ${dict:+-dict="$dict"} -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$t-" "$dir/corpus/$t" "$seeds/$t" \
        >"$dir/$t.log" 2>&1; then
        echo "FINDING in $t (see $dir/$t.log and $dir/findings/):"
        tail -n 40 "$dir/$t.log"
        status=1
    fi
    grep -E '^#[0-9]+ *DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb' \
        "$dir/$t.log" || true
done
exit $status
