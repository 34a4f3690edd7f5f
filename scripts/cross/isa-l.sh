#!/bin/sh
# Builds ISA-L (the inflate behind inflateArchive) for 64-bit Windows with Debian's mingw-w64, as a
# static library, from Debian's own libisal source package. Built once: the result is kept in
# CACHE/isal-mingw-<Debian source version> and reused. Prints that folder (a CMake prefix with
# include/isa-l/ and lib/libisal.a); everything else goes to stderr.
#
# Usage: scripts/cross/isa-l.sh CACHE        (as root, or with sudo for apt-get)
# Called by scripts/windows-check.sh; needs the mingw-w64 compilers that it installs. About a
# minute on a busy two-core machine.
set -eu
cache=$1
triplet=x86_64-w64-mingw32
# Change this text whenever the way ISA-L is built changes: a cached build whose stamp holds
# another text is not used.
recipe="recipe 1; make -f Makefile.unx arch=mingw AS=nasm lib"
stamp_name=.localcashserver-complete

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

mkdir -p "$cache"
# One build at a time provisions the shared cache.
exec 8>"$cache/.isal.lock"
flock 8

for dir in $(find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'isal-mingw-*' | sort -rV); do
    if [ -f "$dir/$stamp_name" ] && [ "$(cat "$dir/$stamp_name")" = "$recipe" ]; then
        echo "$dir"
        exit 0
    fi
done

if ! command -v nasm >/dev/null; then
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends nasm >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lcs-isal.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "ISA-L for Windows:" >&2
"$(dirname "$0")/debian-source.sh" libisal "$work"

dsc=$(ls "$work"/libisal_*.dsc)
version=$(basename "$dsc" .dsc)
version=${version#libisal_}
source=$(ls -d "$work"/libisal-*/)
dir=$cache/isal-mingw-$version
echo "ISA-L $version: building into $dir" >&2
nice make -C "$source" -f Makefile.unx -j2 arch=mingw AS=nasm CC="$triplet-gcc-posix" \
    AR="$triplet-ar" lib >"$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log" >&2; echo "ISA-L build failed" >&2; exit 1; }

rm -rf "$dir"
mkdir -p "$dir/include/isa-l" "$dir/lib"
cp "$source"/include/*.h "$dir/include/isa-l/"
cp "$source/bin/isa-l.a" "$dir/lib/libisal.a"
echo "$recipe" >"$dir/$stamp_name"
echo "$dir"
