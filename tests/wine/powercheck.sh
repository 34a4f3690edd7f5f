#!/bin/bash
# Reboot and power-off of the Windows build, under Wine, in a Wine prefix of this check's own.
#
# Usage: tests/wine/powercheck.sh PROGRAM_DIR
#   PROGRAM_DIR holds localcashserver.exe, cashsim.exe and the DLLs they need (an unpacked
#   package); it is copied to C:\LocalCashServer in a new prefix, nothing is put on WINEPATH.
#
# The supervisor makes the real calls there. Wine's ExitWindowsEx runs "wineboot --kill" (with
# "--shutdown" for a power-off), which ends every process of the prefix and, for a reboot, then
# starts the prefix as Windows starts, running the Run keys of the registry. Nothing of it leaves
# the prefix: the host is never rebooted or switched off, and no host process is touched. So the
# check sees what a till would show: the calls made in order with their values (Wine's relay
# trace, limited to those five functions), the supervisor ended from outside after its log line,
# and after a reboot the supervisor started again by the autostart entry that docs/operations.md
# recommends, with a fresh log and the cash application running again; after a power-off,
# nothing.
#
# Prints one line per check ("PASS   : power: ..." or "FAIL!  : power: ...") and exits non-zero
# when one failed. Takes about 30 seconds.
set -uo pipefail

[ $# -eq 1 ] && [ -f "$1/localcashserver.exe" ] || {
    echo "usage: $0 PROGRAM_DIR (with localcashserver.exe)" >&2
    exit 2
}
source_dir=$(cd "$1" && pwd)

prefix=$(mktemp -d "${TMPDIR:-/tmp}/lcs-power.XXXXXX")
sentinel=
cleanup() {
    # What the supervisor saw tells why a check failed; the prefix goes with this run.
    if [ "$failures" -gt 0 ]; then
        local f
        for f in "$app"/log/*.log; do
            [ -f "$f" ] || continue
            echo "---- ${f#"$app"/}"
            log_text "$f"
        done
    fi
    WINEPREFIX=$prefix wineserver -k 2>/dev/null
    WINEPREFIX=$prefix wineserver -w 2>/dev/null
    # The wineserver's socket folder, named by the prefix's device and inode.
    local socket_dir
    for socket_dir in "${TMPDIR:-/tmp}"/wine-*/"$(printf 'server-%x-%x' \
        "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")"; do
        [ -d "$socket_dir" ] && rm -rf "$socket_dir" && rmdir "$(dirname "$socket_dir")" 2>/dev/null
    done
    rm -rf "$prefix"
    [ -z "$sentinel" ] || kill "$sentinel" 2>/dev/null
}
failures=0
app=$prefix/drive_c/LocalCashServer
trap cleanup EXIT

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEPATH
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "PASS   : power: $what"
    else
        echo "FAIL!  : power: $what"
        failures=$((failures + 1))
    fi
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local limit=$(($1 * 10))
    shift
    while ! "$@"; do
        limit=$((limit - 1))
        [ "$limit" -gt 0 ] || return 1
        sleep 0.1
    done
}

wineserver -p </dev/null >/dev/null 2>&1
wine wineboot --init </dev/null >/dev/null 2>&1
mkdir -p "$app"
cp -r "$source_dir"/. "$app"/
log=$app/log/localserver.log

read -r server_port cash_port < <(python3 -c 'import socket
ss = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
for s in ss: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in ss))')
cat >"$app/config.ini" <<EOF
[CASH]
LogLevel = 7
ExecutablePath = C:/LocalCashServer/cashsim.exe
ProgrammArguments = --scenario C:/LocalCashServer/scenario.txt --cash-port $cash_port --server-port $server_port --time-limit 60
[INTERPROCESS]
LocalServerPort = $server_port
CashPort = $cash_port
[MAINTENANCE]
DisableMaintenance = 1
EOF
printf '%s\n' '[run 1]' 'send reboot' 'exit 0' '[run 3]' 'send halt' 'exit 0' '[run *]' 'exit 0' \
    >"$app/scenario.txt"

# The five calls, each traced where the program makes it (Qt's own calls come from its DLLs,
# which the trace shows all the same; the order below is the supervisor's).
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /f \
    /d 'OpenProcessToken;LookupPrivilegeValueW;AdjustTokenPrivileges;GetLastError;ExitWindowsEx' \
    >/dev/null 2>&1
# The autostart entry of docs/operations.md, which a reboot runs.
wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v LocalCashServer /f \
    /d 'C:\LocalCashServer\localcashserver.exe' >/dev/null 2>&1

sleep 600 &
sentinel=$!

log_text() { iconv -f CP1251 -t UTF-8 "$1" 2>/dev/null | tr -d '\r'; }
last_entry() { log_text "$1" | tail -n 1 | cut -d';' -f2-; }
# The supervisor's power calls, from the thread that makes them, up to ExitWindowsEx's return; the
# addresses of handles and buffers, which differ from run to run, are shown as "*".
power_calls() {
    awk '!thread && /Call advapi32\.OpenProcessToken\(ffffffffffffffff,00000028,/ {
             thread = substr($0, 1, index($0, ":"))
         }
         thread && index($0, thread) == 1 {
             print substr($0, length(thread) + 1)
             if ($0 ~ /Ret  user32\.ExitWindowsEx/) exit
         }' "$1" \
        | grep -E '^(Call|Ret) |CreateProcessInternalW app .*wineboot' \
        | grep -v '^Call KERNEL32.GetLastError' \
        | sed -E 's/ ret=[0-9a-f]+$//
                  s/(OpenProcessToken\([0-9a-f]+,[0-9a-f]+),[0-9a-f]+\)/\1,*)/
                  s/(LookupPrivilegeValueW\([0-9a-f]+),[0-9a-f]+ (L"[A-Za-z]+"),[0-9a-f]+\)/\1,\2,*)/
                  s/AdjustTokenPrivileges\([0-9a-f]+,([0-9a-f]+),[0-9a-f]+,/AdjustTokenPrivileges(*,\1,*,/
                  s/^.*CreateProcessInternalW app .*cmdline L".*\\(wineboot\.exe[^"]*)"$/starts \1/'
}
expected_calls() { # expected_calls FLAGS WINEBOOT_ARGUMENTS
    cat <<EOF
Call advapi32.OpenProcessToken(ffffffffffffffff,00000028,*)
Ret  advapi32.OpenProcessToken() retval=00000001
Call advapi32.LookupPrivilegeValueW(00000000,L"SeShutdownPrivilege",*)
Ret  advapi32.LookupPrivilegeValueW() retval=00000001
Call advapi32.AdjustTokenPrivileges(*,00000000,*,00000000,00000000,00000000)
Ret  advapi32.AdjustTokenPrivileges() retval=00000001
Ret  KERNEL32.GetLastError() retval=00000000
Call user32.ExitWindowsEx($1,00000000)
starts wineboot.exe $2
Ret  user32.ExitWindowsEx() retval=00000001
EOF
}
supervisor_running() { kill -0 "$supervisor" 2>/dev/null; }
restarted_and_done() {
    [ "$(ls "$app"/log/localserver_*.log 2>/dev/null | wc -l)" -eq 1 ] \
        && [ "$(last_entry "$log")" = " EMRG; LocalCashServer:LocalCashServer::slotProcessFinished; APP EXIT" ]
}

# ---- Reboot: the supervisor is ended with the prefix, which starts again and runs it anew.
WINEDEBUG=+relay,+process wine 'C:\LocalCashServer\localcashserver.exe' >/dev/null 2>"$prefix/reboot.trace" &
supervisor=$!
check "reboot: the supervisor is ended from outside" wait_for 60 eval '! supervisor_running'
check "reboot: privilege enabled, then ExitWindowsEx(EWX_REBOOT | EWX_FORCE) accepted" \
    diff <(expected_calls 00000006 '--kill') <(power_calls "$prefix/reboot.trace")
check "reboot: the autostart entry starts the supervisor again, which runs the cash application" \
    wait_for 60 restarted_and_done
check "reboot: exactly one new start" test "$(log_text "$log" | grep -c 'app started Ver')" -eq 1
check "reboot: the old log ends with the reboot notice" \
    test "$(last_entry "$app"/log/localserver_*.log)" = " NOTE; LocalCashServer:LocalCashServer::slotProcessFinished; Выполняется перезагрузка компьютера."

# ---- Power-off: everything in the prefix ends, and nothing starts again.
WINEDEBUG=+relay,+process wine 'C:\LocalCashServer\localcashserver.exe' >/dev/null 2>"$prefix/halt.trace" &
supervisor=$!
check "power-off: the supervisor is ended from outside" wait_for 60 eval '! supervisor_running'
check "power-off: privilege enabled, then ExitWindowsEx(EWX_POWEROFF | EWX_FORCE) accepted" \
    diff <(expected_calls 0000000c '--kill --shutdown') <(power_calls "$prefix/halt.trace")
# A new start would have begun a new log with its banner.
sleep 3
check "power-off: nothing starts again; the log ends with the power-off notice" \
    test "$(last_entry "$log")" = " NOTE; LocalCashServer:LocalCashServer::slotProcessFinished; Выполняется выключение компьютера."
check "the host is untouched (a host process started before is still running)" kill -0 "$sentinel"

exit $((failures > 0))
