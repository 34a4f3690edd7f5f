#!/bin/sh
# Builds libsodium (the Ed25519 signatures of update packages) for 64-bit Windows with Debian's
# mingw-w64, as a static library, from Debian's own libsodium source package. Built once: the
# result is kept in CACHE/sodium-mingw-<Debian source version> and reused. Prints that folder (a
# CMake prefix with include/sodium.h and lib/libsodium.a); everything else goes to stderr.
#
# Usage: scripts/cross/libsodium.sh CACHE        (as root, or with sudo for apt-get)
# Called by scripts/windows-check.sh; needs the mingw-w64 compilers that it installs. About two
# minutes on a busy two-core machine.
set -eu
cache=$1
triplet=x86_64-w64-mingw32
# Change this text whenever the way libsodium is built changes: a cached build whose stamp holds
# another text is not used.
recipe="recipe 1; autoreconf; configure --host=$triplet --disable-shared --enable-static --enable-minimal"
stamp_name=.localcashserver-complete

mkdir -p "$cache"
# One build at a time provisions the shared cache.
exec 8>"$cache/.sodium.lock"
flock 8

for dir in $(find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'sodium-mingw-*' | sort -rV); do
    if [ -f "$dir/$stamp_name" ] && [ "$(cat "$dir/$stamp_name")" = "$recipe" ]; then
        echo "$dir"
        exit 0
    fi
done

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
# The source package has no configure script of its own: it is made with the autotools.
missing=
for p in autoconf automake libtool; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends $missing >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lcs-sodium.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "libsodium for Windows:" >&2
"$(dirname "$0")/debian-source.sh" libsodium "$work"

dsc=$(ls "$work"/libsodium_*.dsc)
version=$(basename "$dsc" .dsc)
version=${version#libsodium_}
source=$(ls -d "$work"/libsodium-*/)
dir=$cache/sodium-mingw-$version
echo "libsodium $version: building into $dir" >&2
# Only what signing and verifying need ("minimal" keeps Ed25519), without a DLL.
(
    cd "$source"
    autoreconf -fi
    CC="$triplet-gcc-posix" AR="$triplet-ar" RANLIB="$triplet-ranlib" nice ./configure \
        --host="$triplet" --prefix="$dir" --disable-shared --enable-static --enable-minimal \
        --disable-dependency-tracking
    nice make -j2
) >"$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log" >&2; echo "libsodium build failed" >&2; exit 1; }

rm -rf "$dir"
make -C "$source" install >"$work/install.log" 2>&1 \
    || { tail -40 "$work/install.log" >&2; echo "libsodium install failed" >&2; exit 1; }
echo "$recipe" >"$dir/$stamp_name"
echo "$dir"
