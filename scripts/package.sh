#!/bin/sh
# Builds the release packages (Qt 6): a .deb and a .tar.gz, in build-package/packages/, and checks
# them: the expected files are there with the expected permissions, the .deb's fields,
# dependencies and maintainer scripts are right, lintian finds no error or warning in it, and the
# programs unpacked from the .deb run (the supervisor starts a simulated cash application and ends
# with it). Installs what it needs. Exits non-zero when any check fails. The installed service is
# checked under a real systemd by scripts/systemd-check.sh.
# Usage: scripts/package.sh [BUILD_DIR]   (with BUILD_DIR: package that existing Qt 6 build instead
# of making a release build first; CI packages the build its tests ran on)
set -eu
cd "$(dirname "$0")/.."

scripts/deps.sh dpkg-dev file lintian

if [ $# -ge 1 ]; then
    dir=$1
    echo "== Packaging the existing build in $dir"
else
    dir=build-package
    echo "== Building the release in $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLCS_WERROR=ON -DLCS_QT_VERSION=6 \
        -DBUILD_TESTING=OFF >/dev/null
fi
out=$dir/packages
cmake --build "$dir"

echo "== Making the packages"
rm -rf "$out"
cpack --config "$dir/CPackConfig.cmake" -B "$out" -G "DEB;TGZ" >/dev/null
rm -rf "$out/_CPack_Packages"

version=2.71.0.0
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() {
    echo "ok:   $*"
}

deb=$(ls "$out"/*.deb 2>/dev/null || true)
tgz=$(ls "$out"/*.tar.gz 2>/dev/null || true)
[ "$(echo "$deb" | grep -c .)" -eq 1 ] || { echo "FAIL: expected one .deb in $out, found: $deb"; exit 1; }
[ "$(echo "$tgz" | grep -c .)" -eq 1 ] || { echo "FAIL: expected one .tar.gz in $out, found: $tgz"; exit 1; }

# What both packages must hold, relative to the program's directory.
programs="localcashserver tools/cashsim"
if [ -e "$dir/cashpkg" ]; then
    programs="$programs tools/cashpkg"
fi
doc=share/doc/localcashserver
files="config.ini.example $doc/README.md $doc/config.ini.example
$doc/docs/protocol.md $doc/docs/configuration.md $doc/docs/operations.md
$doc/docs/examples/localcashserver-till.conf"
# What only the .deb holds, outside the program's directory.
service_files="lib/systemd/system/localcashserver.service
usr/share/polkit-1/rules.d/50-localcashserver.rules
usr/share/doc/localcashserver/copyright usr/share/doc/localcashserver/changelog.gz"

# check_listing NAME LISTING PREFIX: LISTING is "mode path" lines.
check_listing() {
    name=$1
    listing=$2
    prefix=$3
    for p in $programs; do
        mode=$(echo "$listing" | awk -v p="$prefix$p" '$2 == p { print $1 }')
        case $mode in
        -rwxr-xr-x) pass "$name holds $p (executable)" ;;
        "") fail "$name lacks $p" ;;
        *) fail "$name holds $p with mode $mode, not -rwxr-xr-x" ;;
        esac
    done
    for f in $files; do
        if echo "$listing" | awk -v p="$prefix$f" '$2 == p { found = 1 } END { exit !found }'; then
            pass "$name holds $f"
        else
            fail "$name lacks $f"
        fi
    done
}

echo "== $(basename "$deb")"
dpkg-deb -c "$deb"
check_listing .deb "$(dpkg-deb -c "$deb" | awk '{ print $1, $6 }')" ./opt/localcashserver/
for f in $service_files; do
    if dpkg-deb -c "$deb" | awk -v p="./$f" '$6 == p { found = 1 } END { exit !found }'; then
        pass ".deb holds /$f"
    else
        fail ".deb lacks /$f"
    fi
done
if tar -tzf "$tgz" | grep -q 'localcashserver.service$'; then
    fail ".tar.gz holds the systemd unit, which only the .deb installs"
else
    pass ".tar.gz holds no systemd unit"
fi
for script in postinst prerm postrm; do
    if dpkg-deb -I "$deb" "$script" | grep -q 'localcashserver.service'; then
        pass "maintainer script $script handles the service"
    else
        fail "maintainer script $script missing or without the service"
    fi
done
# Errors and warnings alike; the one accepted error is overridden, with its reason, in the package.
lintian_status=0
lintian_output=$(lintian --fail-on error,warning "$deb" 2>&1) || lintian_status=$?
echo "$lintian_output" | grep -v '^running with root privileges' || true
if [ "$lintian_status" -eq 0 ]; then
    pass "lintian: no errors or warnings"
else
    fail "lintian found errors or warnings (above)"
fi

# check_field FIELD EXPECTED (empty EXPECTED: any value but none)
check_field() {
    value=$(dpkg-deb -f "$deb" "$1")
    if [ -n "$value" ] && { [ -z "$2" ] || [ "$value" = "$2" ]; }; then
        pass "$1: $value"
    else
        fail "$1: '$value' (expected: ${2:-any value})"
    fi
}
check_field Package localcashserver
check_field Version "$version"
check_field Maintainer ""
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6network6 libqt6core5compat6 zlib1g libisal2 libsodium23; do
    case $depends in
    *"$lib"*) pass "depends on $lib" ;;
    *) fail "Depends lacks $lib: $depends" ;;
    esac
done

echo "== $(basename "$tgz")"
top=localcashserver-$version-Linux
tar -tvzf "$tgz"
check_listing .tar.gz "$(tar -tvzf "$tgz" | awk '{ print $1, $6 }')" "$top/"

echo "== Running the programs unpacked from the .deb"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
app=$work/root/opt/localcashserver
for p in $programs; do
    case $(file -b "$app/$p") in
    ELF*executable*) pass "$p is $(file -b "$app/$p" | cut -d, -f1-2)" ;;
    *) fail "$p is $(file -b "$app/$p")" ;;
    esac
done
if "$app/tools/cashsim" --help >/dev/null; then
    pass "tools/cashsim --help"
else
    fail "tools/cashsim --help failed"
fi

# The installed supervisor with the installed cashsim as its cash application, which exits at
# once: the supervisor must end with it, exit code 0, "APP EXIT" last in its log.
ports=$(python3 -c 'import socket
ss = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
for s in ss: s.bind(("", 0))
print(" ".join(str(s.getsockname()[1]) for s in ss))')
server_port=${ports% *}
cash_port=${ports#* }
printf '[run *]\nexit 0\n' >"$app/scenario.txt"
cat >"$app/config.ini" <<EOF
[CASH]
ExecutablePath = ./tools/cashsim
ProgrammArguments = --scenario scenario.txt --cash-port $cash_port --server-port $server_port --time-limit 20
[INTERPROCESS]
LocalServerPort = $server_port
CashPort = $cash_port
[MAINTENANCE]
DisableMaintenance = 1
EOF
status=0
timeout 60 "$app/localcashserver" >/dev/null 2>&1 || status=$?
last=$(iconv -f CP1251 -t UTF-8 "$app/log/localserver.log" | tail -n 1 | cut -d';' -f2-)
if [ "$status" -eq 0 ] && [ "$last" = " EMRG; LocalCashServer:LocalCashServer::slotProcessFinished; APP EXIT" ]; then
    pass "the installed supervisor ran the installed cashsim and ended with it"
else
    fail "the installed supervisor: exit status $status, last log line '$last'"
    iconv -f CP1251 -t UTF-8 "$app/log/localserver.log" || true
fi

echo
if [ "$failures" -ne 0 ]; then
    echo "== $failures check(s) failed"
    exit 1
fi
echo "== Packages good:"
ls -l "$deb" "$tgz"
