#!/bin/bash
# Windows check: cross-builds the whole project for 64-bit Windows with Debian's mingw-w64 and
# runs its test suite under Wine.
#
# Usage: scripts/windows-check.sh [ctest arguments...]     (as root, or with sudo for apt-get)
#
# On a fresh Debian 12 machine it installs the cross compilers, Wine and the build tools, builds
# QtCore, QtNetwork and QtTest 5.15 for Windows from Debian's own qtbase source package (once:
# the result is kept in the cache folder below and reused by later runs), builds the project in
# build-win/ with warnings as errors and runs CTest with Wine as the emulator, in a Wine prefix
# that lives only for this run.
#
# Environment:
#   LCS_WINDOWS_CACHE  cache folder (default: ~/.cache/localcashserver); the cross Qt goes into
#                      qt5-mingw-<Debian source version> below it
#   LCS_WINDOWS_BUILD  build folder of the project (default: build-win in the source tree)
#
# Exit status: 0 when everything built and every test passed, non-zero otherwise.
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$(pwd)
build_dir=${LCS_WINDOWS_BUILD:-$source_dir/build-win}
cache_root=${LCS_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/localcashserver}
triplet=x86_64-w64-mingw32

# Change this text whenever the way Qt is built changes: a cached Qt whose stamp holds another
# text is not used.
qt_modules=(sub-corelib sub-network sub-testlib sub-winmain sub-rcc)
qt_options=(-opensource -confirm-license -release -shared -platform linux-g++ -xplatform win32-g++
            -device-option "CROSS_COMPILE=$triplet-" -no-gui -no-widgets -no-opengl -no-dbus -no-icu
            -qt-zlib -qt-pcre -no-openssl -nomake examples -nomake tests)
qt_recipe="recipe 1; posix threads; modules: ${qt_modules[*]}; options: ${qt_options[*]}"
qt_stamp_name=.localcashserver-complete

# Only the 64-bit parts of mingw-w64 (the mingw-w64 package would add the 32-bit compilers too).
packages=(build-essential dpkg-dev xz-utils perl python3 cmake ninja-build
          gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
          wine wine64)

# Temporary trees (Qt's source and build, the Wine prefix) are large and many-filed: in memory
# when possible, since the root file system of our machines is slow at creating files.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
temp_root=${TMPDIR:-/tmp}

started=$SECONDS
section() {
    printf '\n==== [%3ds] %s\n' "$((SECONDS - started))" "$*"
}
fail() {
    echo "windows-check: $*" >&2
    exit 1
}

sudo=
if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
fi

# Everything made for this run only is removed on any exit.
work_dir=
wine_prefix=
deb_src_files=()
cleanup() {
    if [ -n "$wine_prefix" ] && [ -d "$wine_prefix" ]; then
        # Only the wineserver of our own prefix (and the Windows processes it runs) is ended.
        WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null || true
        WINEPREFIX=$wine_prefix wineserver -w 2>/dev/null || true
        rm -rf "$wine_prefix"
    fi
    if [ -n "$work_dir" ]; then
        rm -rf "$work_dir"
    fi
    if [ ${#deb_src_files[@]} -gt 0 ]; then
        $sudo rm -f "${deb_src_files[@]}"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A complete cross Qt built by the current recipe, newest version first; empty when none.
cached_qt() {
    local dir
    while read -r dir; do
        if [ -f "$dir/$qt_stamp_name" ] && [ "$(cat "$dir/$qt_stamp_name")" = "$qt_recipe" ]; then
            echo "$dir"
            return
        fi
    done < <(find "$cache_root" -mindepth 1 -maxdepth 1 -type d -name 'qt5-mingw-*' | sort -rV)
}

# Prints deb-src entries mirroring the machine's own Debian package sources of this release, so
# that no archive address has to be written into the project. deb822 files (.sources) and
# one-line files (.list) are both understood; disabled and foreign entries are left out.
derive_deb822_sources() {
    awk -v codename="$1" '
        function flush() {
            if (para != "" && isdeb && !disabled && oursuite)
                printf "%s\n", para
            para = ""; isdeb = 0; disabled = 0; oursuite = 0
        }
        /^[ \t]*$/ { flush(); next }
        /^#/ { next }
        tolower($1) == "types:" {
            for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1
            para = para "Types: deb-src\n"; next
        }
        tolower($1) == "enabled:" && tolower($2) == "no" { disabled = 1 }
        tolower($1) == "suites:" {
            for (i = 2; i <= NF; i++) if (index($i, codename) == 1) oursuite = 1
        }
        { para = para $0 "\n" }
        END { flush() }
    ' "${@:2}"
}
derive_one_line_sources() {
    local codename=$1
    shift
    grep -hE "^deb[[:space:]].*[[:space:]]$codename([-/][^[:space:]]*)?[[:space:]]" "$@" \
        | sed 's/^deb\([[:space:]]\)/deb-src\1/' || true
}
enable_debian_sources() {
    local codename sources=() lists=() f
    # shellcheck disable=SC1091
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || fail "cannot tell the Debian release from /etc/os-release"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sources+=("$f")
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && lists+=("$f")
    done
    if { [ ${#sources[@]} -gt 0 ] && grep -qsE '^Types:.*deb-src' "${sources[@]}"; } \
        || { [ ${#lists[@]} -gt 0 ] && grep -qsE '^deb-src[[:space:]]' "${lists[@]}"; }; then
        echo "Source packages are already enabled."
        return
    fi

    local deb822='' oneline=''
    [ ${#sources[@]} -eq 0 ] || deb822=$(derive_deb822_sources "$codename" "${sources[@]}")
    [ ${#lists[@]} -eq 0 ] || oneline=$(derive_one_line_sources "$codename" "${lists[@]}")
    [ -n "$deb822$oneline" ] || fail "no Debian package source for '$codename' found in /etc/apt"
    if [ -n "$deb822" ]; then
        deb_src_files+=(/etc/apt/sources.list.d/localcashserver-deb-src.sources)
        printf '%s\n' "$deb822" | $sudo tee "${deb_src_files[-1]}" >/dev/null
    fi
    if [ -n "$oneline" ]; then
        deb_src_files+=(/etc/apt/sources.list.d/localcashserver-deb-src.list)
        printf '%s\n' "$oneline" | $sudo tee "${deb_src_files[-1]}" >/dev/null
    fi
    echo "Source packages enabled for '$codename' in: ${deb_src_files[*]}"
}

apt_get() {
    # Waits for another apt run on this shared machine instead of failing at once.
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# ----------------------------------------------------------------------------------------------
section "Packages"
mkdir -p "$cache_root"
# One Windows check at a time provisions the shared cache.
exec 9>"$cache_root/.lock"
flock 9

qt_dir=$(cached_qt)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ -z "$qt_dir" ]; then
    enable_debian_sources
fi
if [ ${#missing[@]} -gt 0 ] || [ -z "$qt_dir" ]; then
    apt_get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
    echo "All needed packages are installed."
fi

# The posix threading model everywhere: the cross Qt and the project must share one C++ runtime.
cxx=$triplet-g++-posix
command -v "$cxx" >/dev/null || fail "$cxx not found"
gcc_runtime_dir=$(dirname "$("$cxx" -print-file-name=libstdc++-6.dll)")
[ -f "$gcc_runtime_dir/libstdc++-6.dll" ] || fail "libstdc++-6.dll of $cxx not found"
sysroot_lib=/usr/$triplet/lib
[ -f "$sysroot_lib/zlib1.dll" ] || fail "zlib1.dll not found in $sysroot_lib"

# ----------------------------------------------------------------------------------------------
if [ -n "$qt_dir" ]; then
    section "Qt for Windows: using the cache $qt_dir"
else
    section "Qt for Windows: fetching Debian's qtbase source"
    work_dir=$(mktemp -d "$temp_root/lcs-qt5-mingw.XXXXXX")
    # apt downloads as its own unprivileged user, which must be able to enter the folder.
    chmod 755 "$work_dir"
    (cd "$work_dir" && apt_get source -qq qtbase-opensource-src >fetch.log 2>&1) \
        || { tail -20 "$work_dir/fetch.log"; fail "apt-get source qtbase-opensource-src failed"; }
    if [ ${#deb_src_files[@]} -gt 0 ]; then
        $sudo rm -f "${deb_src_files[@]}"
        deb_src_files=()
    fi
    dsc=$(ls "$work_dir"/qtbase-opensource-src_*.dsc)
    qt_version=$(basename "$dsc" .dsc)
    qt_version=${qt_version#qtbase-opensource-src_}
    qt_source=$(ls -d "$work_dir"/qtbase-opensource-src-*/)
    qt_source=${qt_source%/}
    qt_dir=$cache_root/qt5-mingw-$qt_version
    echo "qtbase $qt_version, installing into $qt_dir"
    rm -rf "$qt_dir"

    # Qt's build names the compilers by prefix only; point those names at the posix variants.
    mkdir "$work_dir/bin"
    for tool in gcc g++; do
        ln -s "$(command -v "$triplet-$tool-posix")" "$work_dir/bin/$triplet-$tool"
    done
    qt_build=$work_dir/build
    mkdir "$qt_build"

    section "Qt for Windows: configure"
    qt_path=$work_dir/bin:$PATH
    (cd "$qt_build" && PATH=$qt_path MAKEFLAGS=-j2 nice "$qt_source/configure" -prefix "$qt_dir" \
        "${qt_options[@]}" >configure.log 2>&1) \
        || { tail -40 "$qt_build/configure.log"; fail "Qt configure failed"; }

    section "Qt for Windows: build (${qt_modules[*]})"
    mkdir -p "$qt_build/src"
    (
        cd "$qt_build/src"
        PATH=$qt_path "$qt_build/bin/qmake" -o Makefile "$qt_source/src/src.pro"
        PATH=$qt_path nice make -j2 "${qt_modules[@]}"
    ) >"$qt_build/build.log" 2>&1 || { tail -40 "$qt_build/build.log"; fail "Qt build failed"; }

    section "Qt for Windows: install"
    (
        cd "$qt_build/src"
        # One make run: each target would install the modules it depends on again.
        PATH=$qt_path make "${qt_modules[@]/%/-install_subtargets}" sub-moc-install_subtargets
        # qmake and the mkspecs: Qt's CMake files check that they exist.
        cd "$qt_build"
        PATH=$qt_path make install_mkspecs sub-qmake-qmake-aux-pro-install_subtargets
    ) >"$qt_build/install.log" 2>&1 || { tail -40 "$qt_build/install.log"; fail "Qt install failed"; }
    # A partial install can miss the top-level package file that find_package(Qt5) reads.
    if [ ! -f "$qt_dir/lib/cmake/Qt5/Qt5Config.cmake" ]; then
        mkdir -p "$qt_dir/lib/cmake/Qt5"
        cp "$qt_build"/lib/cmake/Qt5/*.cmake "$qt_dir/lib/cmake/Qt5/"
    fi
    for f in bin/rcc bin/moc bin/qmake bin/Qt5Core.dll bin/Qt5Network.dll bin/Qt5Test.dll \
             lib/libqtmain.a lib/cmake/Qt5/Qt5Config.cmake mkspecs/win32-g++/qplatformdefs.h; do
        [ -e "$qt_dir/$f" ] || fail "the Qt install lacks $f"
    done
    echo "$qt_recipe" >"$qt_dir/$qt_stamp_name"

    rm -rf "$work_dir"
    work_dir=
fi
flock -u 9
exec 9>&-

# ----------------------------------------------------------------------------------------------
section "Project: configure and build in $build_dir"
isal_dir=$(scripts/cross/isa-l.sh "$cache_root")
wine=$(command -v wine) || fail "wine not found"
cmake --fresh -S "$source_dir" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt_dir;$isal_dir" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" \
    -DCMAKE_BUILD_TYPE=Debug -DLCS_WERROR=ON -DLCS_QT_VERSION=5
cmake --build "$build_dir"

# ----------------------------------------------------------------------------------------------
section "Tests under Wine"
windows_path() {
    # Wine maps the Unix root to drive Z:.
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}
wine_prefix=$(mktemp -d "$temp_root/lcs-wine.XXXXXX")
export WINEPREFIX=$wine_prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko (the prefix is created without asking to download them), and no menu entries
# or file associations written into the user's desktop folders.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Qt writes its messages (and QtTest its results) to the debugger channel when the process has
# no console; Wine passes this on to the Windows side as QT_FORCE_STDERR_LOGGING=1.
export WINEQT_FORCE_STDERR_LOGGING=1
# The folders of the DLLs: the cross Qt, the posix C++ runtime, zlib and winpthread.
WINEPATH="$(windows_path "$qt_dir/bin");$(windows_path "$gcc_runtime_dir");$(windows_path "$sysroot_lib")"
export WINEPATH
echo "Wine prefix $WINEPREFIX"
# A persistent wineserver, and Wine's own background processes started here with their output
# going nowhere: otherwise every test starts them anew, and CTest waits for them to end (they hold
# the test's output pipe) for about three seconds after each test.
wineserver -p </dev/null >/dev/null 2>&1 || fail "wineserver could not be started"
"$wine" wineboot --init </dev/null >/dev/null 2>&1 || fail "wineboot failed"

cd "$build_dir"
ctest --output-on-failure --timeout 600 "$@"

section "Windows check passed"
