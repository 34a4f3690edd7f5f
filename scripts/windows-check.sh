#!/bin/bash
# Windows check: cross-builds the whole project for 64-bit Windows with Debian's mingw-w64, runs
# its tests under Wine and makes the Windows packages, proved complete by running the
# end-to-end tests from them.
#
# Usage: scripts/windows-check.sh [ctest arguments...]     (as root, or with sudo for apt-get)
#   The arguments go to the CTest run of the build tree's tests (for example -R tst_log); the
#   package stage always runs every end-to-end test.
#
# On a fresh Debian 12 machine it installs the cross compilers, Wine, NSIS and the build tools,
# builds QtCore, QtNetwork and QtTest 5.15 for Windows from Debian's own qtbase source package
# (once: the result is kept in the cache folder below and reused by later runs), builds the
# project in build-win/ with warnings as errors, and then, each in a Wine prefix that lives only
# for this run:
#   - runs the build tree's tests with CTest, Wine as the emulator (in the background);
#   - makes the ZIP and the installer in build-win/packages/ and checks the ZIP's files and DLLs;
#   - installs with the installer and compares the result with the ZIP;
#   - runs the end-to-end tests (label e2e) from the unpacked ZIP with nothing on WINEPATH, and
#     tests/wine/powercheck.sh (reboot and power-off, in a prefix of its own).
# Timing: about 4 minutes with the cached Qt; a fresh two-core machine adds the Qt build, 10 to 20
# minutes (measured figures in the README).
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
          wine wine64 nsis)

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
wine_prefixes=()
deb_src_files=()
build_tree_tests=
cleanup() {
    local prefix socket_dir
    if [ -n "$build_tree_tests" ]; then
        kill "$build_tree_tests" 2>/dev/null || true
    fi
    for prefix in "${wine_prefixes[@]}"; do
        # Only the wineservers of our own prefixes (and the Windows processes they run) are ended.
        WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
        WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
        # The wineserver's socket folder, named by the prefix's device and inode.
        for socket_dir in "$temp_root"/wine-*/"$(printf 'server-%x-%x' \
            "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")"; do
            [ -d "$socket_dir" ] || continue
            rm -rf "$socket_dir"
            rmdir "$(dirname "$socket_dir")" 2>/dev/null || true
        done
        rm -rf "$prefix"
    done
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
# The prefixes the project finds its Windows libraries in; a library built for Windows by a
# script of its own is added here with one line, for example
#   prefixes+=("$(scripts/windows-somelib.sh "$cache_root")")
# which puts its headers and import library under include/ and lib/ and its DLL under bin/; the
# packages then carry the DLL (its programs import it) and the tests find it.
prefixes=("$qt_dir")
prefixes+=("$(scripts/cross/isa-l.sh "$cache_root")")
prefixes+=("$(scripts/cross/libsodium.sh "$cache_root")")
# Where the DLLs of the build live: the prefixes', the posix C++ runtime, and the sysroot's zlib
# and winpthread.
library_dirs=("$gcc_runtime_dir" "$sysroot_lib")
for p in "${prefixes[@]}"; do
    library_dirs+=("$p/bin" "$p/lib")
done

section "Project: configure and build in $build_dir"
wine=$(command -v wine) || fail "wine not found"
cmake --fresh -S "$source_dir" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$(IFS=';'; echo "${prefixes[*]}")" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" \
    -DCMAKE_BUILD_TYPE=Debug -DLCS_WERROR=ON -DLCS_QT_VERSION=5
cmake --build "$build_dir"

# ----------------------------------------------------------------------------------------------
windows_path() {
    # Wine maps the Unix root to drive Z:.
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko (the prefix is created without asking to download them), and no menu entries
# or file associations written into the user's desktop folders.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Qt writes its messages (and QtTest its results) to the debugger channel when the process has
# no console; Wine passes this on to the Windows side as QT_FORCE_STDERR_LOGGING=1.
export WINEQT_FORCE_STDERR_LOGGING=1
# A new Wine prefix in WINEPREFIX, ended and removed with the run, with a persistent wineserver
# and Wine's own background processes started here with their output going nowhere: otherwise
# every test starts them anew, and CTest waits for them to end (they hold the test's output
# pipe) for about three seconds after each test.
new_prefix() {
    WINEPREFIX=$(mktemp -d "$temp_root/lcs-wine.XXXXXX")
    export WINEPREFIX
    wine_prefixes+=("$WINEPREFIX")
    echo "Wine prefix $WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1 || fail "wineserver could not be started"
    "$wine" wineboot --init </dev/null >/dev/null 2>&1 || fail "wineboot failed"
}

# The tests from the build tree, with the DLLs' folders on WINEPATH, run in the background while
# the packages are made and tried below; their report comes at the end. Two at a time: under Wine
# most of a test's time is spent waiting for processes to start. The end-to-end tests run from
# the package instead.
section "Tests under Wine, from the build tree (in the background; report at the end)"
work_dir=$(mktemp -d "$temp_root/lcs-package.XXXXXX")
new_prefix
wine_path=$(for d in "${library_dirs[@]}"; do printf '%s;' "$(windows_path "$d")"; done)
# A test that fails runs once more: under Wine on a loaded machine a process start or a rename
# right after a close is now and then refused for a moment (seen once in dozens of runs, never
# twice in a row). CTest's report names every test that needed its second run.
(cd "$build_dir" && exec env WINEPATH="$wine_path" ctest --output-on-failure --timeout 600 \
    --parallel 2 --repeat until-pass:2 --label-exclude e2e "$@") >"$work_dir/build-tree.report" 2>&1 &
build_tree_tests=$!

# ----------------------------------------------------------------------------------------------
section "Packages: ZIP and installer"
packages=$build_dir/packages
rm -rf "$packages"
# Each package strips its own copy of the programs and DLLs; strip stamps the Windows header
# with this time instead of the current one, so that both packages hold the same bytes (and a
# package made again from the same sources does too).
SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
(cd "$build_dir" && cpack -G "ZIP;NSIS" -B "$packages" >/dev/null) || fail "cpack failed"
rm -rf "$packages/_CPack_Packages"
zip=$(ls "$packages"/*.zip)
installer=$(ls "$packages"/*.exe)
ls -l "$zip" "$installer"

section "Package contents"
mkdir "$work_dir/zip"
cmake -E chdir "$work_dir/zip" cmake -E tar xf "$zip"
app=$(ls -d "$work_dir"/zip/*/)
app=${app%/}
(cd "$app" && find . -type f | sort | sed 's|^\./|  |')
for f in localcashserver.exe cashsim.exe cashpkg.exe config.ini.example doc/README.md \
         doc/docs/operations.md doc/docs/configuration.md doc/docs/protocol.md; do
    [ -f "$app/$f" ] || fail "the package lacks $f"
done
# Exactly the DLLs the programs load: each import of a program or packaged DLL is in the package
# or is one of Windows' own, and each packaged DLL is imported. A DLL that the build took from one
# of its library folders is never Windows' own. Under Wine this must be checked here: Wine has a
# zlib1.dll of its own (its user32 needs it), so a package without one would still run.
imports_of() {
    "$triplet-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'
}
wine_dlls=$(dirname "$(find /usr/lib /usr/local/lib -path '*/wine/x86_64-windows/kernel32.dll' \
    -print -quit 2>/dev/null)")
packaged=$(cd "$app" && ls | grep -i '\.dll$' | tr 'A-Z' 'a-z' | LC_ALL=C sort)
needed=$(for pe in "$app"/*.exe "$app"/*.dll; do imports_of "$pe"; done | LC_ALL=C sort -u)
for dll in $needed; do
    if grep -qx "$dll" <<<"$packaged"; then
        continue
    fi
    for d in "${library_dirs[@]}"; do
        if [ -n "$(find "$d" -maxdepth 1 -iname "$dll" 2>/dev/null)" ]; then
            fail "the package lacks $dll (from $d)"
        fi
    done
    [ -f "$wine_dlls/$dll" ] || fail "$dll is neither in the package nor one of Windows' own DLLs"
done
for dll in $packaged; do
    grep -qx "$dll" <<<"$needed" || fail "the package holds $dll, which nothing imports"
done
echo "DLLs packaged: $(echo $packaged)"
echo "left to Windows: $(comm -23 <(echo "$needed") <(echo "$packaged") | tr '\n' ' ')"

section "Installer, in a new Wine prefix"
new_prefix
"$wine" "$installer" /S || fail "the installer failed"
installed=$WINEPREFIX/drive_c/LocalCashServer
diff <(cd "$app" && find . -type f | sort) \
     <(cd "$installed" && find . -type f ! -name Uninstall.exe | sort) \
    || fail "the installer put other files into C:\\LocalCashServer than the ZIP holds"
while read -r f; do
    cmp "$app/$f" "$installed/$f" || fail "the installer's $f differs from the ZIP's"
done < <(cd "$app" && find . -type f)
echo "C:\\LocalCashServer holds the ZIP's files and Uninstall.exe"

# The end-to-end tests, copied beside the unpacked programs, run those programs with nothing but
# the package's DLLs: a prefix of its own, nothing on WINEPATH. QtTest's DLL goes along; the
# sh stand-in the maintenance tests use is linked statically and stays in the build tree. The
# power check makes a prefix of its own, which it reboots and switches off. They run side by
# side (each test keeps to its own files, program name and ports); their reports follow.
section "End-to-end tests under Wine, from the unpacked ZIP, in a new prefix"
new_prefix
e2e_tests=$(cd "$build_dir" && ctest -N -L e2e | sed -n 's/^ *Test *#[0-9]*: //p')
for t in $e2e_tests; do
    cp "$build_dir/tests/$t.exe" "$app/"
done
cp "$qt_dir/bin/Qt5Test.dll" "$app/"
reports=()
for t in $e2e_tests; do
    (cd "$app" && "$wine" "./$t.exe" >"$work_dir/$t.report" 2>&1) &
    reports+=("$t:$!")
done
"$source_dir/tests/wine/powercheck.sh" "$app" >"$work_dir/power.report" 2>&1 &
reports+=("power:$!")
failed=()
for entry in "${reports[@]}"; do
    name=${entry%%:*}
    if wait "${entry#*:}"; then
        grep -E '^(PASS|SKIP|XFAIL|XPASS|FAIL!|Totals)' "$work_dir/$name.report" || true
        continue
    fi
    cat "$work_dir/$name.report"
    # As for the build tree's tests: once more, alone, and the second run decides.
    if [ "$name" != power ]; then
        echo "== $name failed; its second run, alone:"
        if (cd "$app" && "$wine" "./$name.exe" >"$work_dir/$name.again" 2>&1); then
            grep -E '^(PASS|SKIP|XFAIL|XPASS|FAIL!|Totals)' "$work_dir/$name.again" || true
            echo "== $name passed on its second run"
            continue
        fi
        cat "$work_dir/$name.again"
    fi
    failed+=("$name")
done

section "Tests under Wine, from the build tree: the report"
wait "$build_tree_tests" || failed+=("the build tree's tests")
build_tree_tests=
cat "$work_dir/build-tree.report"
[ ${#failed[@]} -eq 0 ] || fail "failed under Wine: ${failed[*]}"

section "Windows check passed (ZIP and installer in $packages)"
