#!/bin/bash
# The demo: localcashserver at work beside a simulated cash application, in ./demo.
#
# Installs what is missing, builds, sets up a till directory and lets the simulated cash
# application ask for everything the supervisor can do that is safe on a developer's machine:
# a reboot (a fake systemctl first in PATH only records it), a restart, maintenance with a real
# Python control script, and an update package built here with tar, installed with its backup
# tree and followed by the supervisor's self-restart into a new instance, which ends with the
# cash application's final exit. Each stage is checked in the log as it happens; at the end the
# log (all files, oldest first, as UTF-8) and the till directory are shown. Once built, it runs
# in a few seconds, and it leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

echo "localcashserver demo: the supervisor beside a simulated cash application, in ./demo"
scripts/deps.sh
echo "== Building (the first build takes a few minutes)"
scripts/build.sh build >/dev/null

started_at=$SECONDS
demo=$root/demo
till=$demo/till
# The self-restart script ends every process whose program file has the supervisor's file name,
# so the demo's copy gets a name of its own: no other localcashserver on this machine is touched.
program=localcashserver-demo
timeout=20

# ---------------------------------------------------------------------------------------------
# Helpers

heading() { printf '\n== %s\n' "$*"; }
note() { printf '   %s\n' "$*"; }
ok() { printf '   ok  %s\n' "$*"; }
fail() {
    printf '\nDEMO FAILED: %s\n' "$*" >&2
    exit 1
}

# Processes whose program file lies in the till directory: supervisor instances and cash
# applications (an instance whose file the update moved away shows its backup path).
demo_pids() {
    # find complains (and fails) about processes that end while it looks; that is no error here.
    { find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$till/*" 2>/dev/null || true; } |
        cut -d/ -f3
}

supervisor_pids() {
    { find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$till/*" \
        \( -lname "*/$program" -o -lname "*/$program (deleted)" \) 2>/dev/null || true; } |
        cut -d/ -f3
}

cleanup() {
    local pids
    pids=$(demo_pids 2>/dev/null || true)
    # shellcheck disable=SC2086
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The log files, oldest first, one a line: the rotated ones carry their start time in their
# names, and glob results come sorted.
log_files() {
    local file
    for file in "$till"/log/localserver_*.log "$till/log/localserver.log"; do
        [ -f "$file" ] && echo "$file"
    done
    return 0
}

# All log text so far, as UTF-8.
log_text() {
    local file
    while IFS= read -r file; do
        iconv -f CP1251 -t UTF-8 "$file"
    done < <(log_files)
}

log_count() {
    log_text | grep -cF -- "$1" || true
}

# wait_for_log TEXT N WHAT: until TEXT has appeared N times in the log.
wait_for_log() {
    local deadline=$((SECONDS + timeout))
    while [ "$(log_count "$1")" -lt "$2" ]; do
        [ $SECONDS -lt $deadline ] || fail "$3: no line '$1' in the log after ${timeout} s"
        sleep 0.1
    done
}

# Starts an instance in the background and sets $supervisor to its pid. Its exit status goes to
# demo/exit-status: the shell's own report of a killed job would only clutter the output.
start_supervisor() {
    rm -f "$demo/exit-status"
    (
        status=0
        "$till/$program" >>"$demo/cash-output.txt" 2>&1 || status=$?
        echo $status >"$demo/exit-status"
    ) 2>/dev/null &
    local deadline=$((SECONDS + timeout))
    until [ -n "$(supervisor_pids)" ]; do
        [ $SECONDS -lt $deadline ] || fail "the supervisor did not start"
        sleep 0.05
    done
    supervisor=$(supervisor_pids | head -n 1)
}

free_udp_port() {
    python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("", 0))
print(s.getsockname()[1])'
}

# ---------------------------------------------------------------------------------------------
heading "Setting up a till in demo/till"

# Leftovers of an interrupted earlier demo.
if [ -d "$till" ]; then
    till=$(cd "$till" && pwd -P)
    cleanup
fi
rm -rf "$demo"
mkdir -p "$till"/{data,scripts,log} "$demo/fakebin" "$demo/pkgsrc/data"
till=$(cd "$till" && pwd -P)

cp build/localcashserver "$till/$program"
cp build/cashsim "$till/cashsim"

server_port=$(free_udp_port)
cash_port=$(free_udp_port)
while [ "$cash_port" = "$server_port" ]; do cash_port=$(free_udp_port); done
python=$(command -v python3)

cat >"$till/config.ini" <<EOF
# Settings of the demo till. Relative paths are taken from this directory.
[CASH]
LogLevel = 7                 # everything, debug lines included (the default 5 hides INFO and DEBG)
ExecutablePath = ./cashsim   # the simulated cash application
WorkingDirectory = .
ProgrammArguments = --scenario scenario.txt --cash-port $cash_port --server-port $server_port --time-limit 60

[INTERPROCESS]
LocalServerPort = $server_port        # where the supervisor takes commands
CashAddress = 127.0.0.1
CashPort = $cash_port               # where the cash application listens
ServerFilterAddress = 1

[MAINTENANCE]
DisableMaintenance = 0
MaintenanceTime = 04:00
PythonExePath = $python
ScriptPath = ./scripts
ControlScript = control.py
ArchiveDir = ./archive
EOF

cat >"$till/scenario.txt" <<'EOF'
# What the simulated cash application does at each of its starts (see cashsim --help).
# cashsim prints every step as it takes it.
[run 1]
send reboot
exit 0

[run 2]
send restart
sleep 500
exit 0

[run 3]
send maintainer
sleep 500
exit 0

[run 4]
send update incoming/update.tgz
sleep 500
exit 0

[run 5]
sleep 1000
exit 0
EOF

cat >"$till/scripts/control.py" <<'EOF'
"""Maintenance control script of the demo till.

The supervisor runs it as: PythonExePath ScriptPath/ControlScript ArchiveDir, in the program's
directory, while the cash application is stopped. What it prints goes into the supervisor's log;
its end ends the maintenance and the cash application is started again.
"""
import datetime
import os
import sys

import zipfile

archive_dir = sys.argv[1] if len(sys.argv) > 1 else "archive"
os.makedirs(archive_dir, exist_ok=True)  # the supervisor does not create it

receipts = sorted(name for name in os.listdir("data") if name.startswith("receipts-"))
target = os.path.join(archive_dir, "receipts-%s.zip" % datetime.date.today().strftime("%Y%m%d"))
with zipfile.ZipFile(target, "a", zipfile.ZIP_DEFLATED) as archive:
    for name in receipts:
        archive.write(os.path.join("data", name), name)
        os.remove(os.path.join("data", name))
# One write: the supervisor logs every piece of output it reads as an entry of its own.
report = ["archived %d receipt file(s) into %s" % (len(receipts), target)]
for name in sorted(os.listdir(archive_dir)):
    path = os.path.join(archive_dir, name)
    report.append("  %s  %d bytes" % (path, os.path.getsize(path)))
sys.stdout.write("\n".join(report) + "\n")
sys.stdout.flush()
EOF

printf 'item;price\nbread;1.10\nmilk;0.90\n' >"$till/data/prices.csv"
for days in 2 1; do
    day=$(date -d "$days days ago" +%Y%m%d)
    printf 'receipt %s-1;bread;1.10\nreceipt %s-2;milk;0.90\n' "$day" "$day" >"$till/data/receipts-$day.txt"
done

# Stands in for systemctl: a reboot or power-off request is recorded, never carried out.
cat >"$demo/fakebin/systemctl" <<'EOF'
#!/bin/sh
echo "systemctl $*" >>"$(dirname "$0")/../systemctl.calls"
exit 0
EOF
chmod +x "$demo/fakebin/systemctl"

# The update package: a new build of the supervisor itself, as real updates bring, new prices
# (replacing a file, which therefore goes to the backup tree) and a file the till did not have.
cp build/localcashserver "$demo/pkgsrc/$program"
printf 'item;price\nbread;1.15\nmilk;0.95\n' >"$demo/pkgsrc/data/prices.csv"
printf 'Two loaves for the price of one on Sundays.\n' >"$demo/pkgsrc/data/offers.txt"
mkdir -p "$till/incoming"
# cashpkg builds it with the installer's own rules (every directory before its files) and checks
# it against the till before it goes out; plain `tar -czf update.tgz -C pkgsrc .` works too.
build/cashpkg build "$demo/pkgsrc" -o "$till/incoming/update.tgz" >/dev/null
build/cashpkg check "$till/incoming/update.tgz" --target "$till" >"$demo/check.txt" \
    || { cat "$demo/check.txt"; fail "cashpkg check found errors in the update package"; }

note "program       demo/till/$program (the supervisor, under a name of its own)"
note "cash app      demo/till/cashsim, playing demo/till/scenario.txt"
note "UDP ports     supervisor $server_port, cash application $cash_port (free ports picked now)"
note "maintenance   $python scripts/control.py ./archive"
note "power         a fake systemctl first in PATH records requests in demo/systemctl.calls"
note "update        demo/till/incoming/update.tgz, made with: cashpkg build demo/pkgsrc -o update.tgz"
note "              cashpkg check --target demo/till: $(tail -n 1 "$demo/check.txt")"
note "              entries: $(tar -tzf "$till/incoming/update.tgz" | LC_ALL=C sort | tr '\n' ' ')"

export PATH="$demo/fakebin:$PATH"

# ---------------------------------------------------------------------------------------------
heading "1. Start; the cash application asks for a reboot"

start_supervisor
first=$supervisor
wait_for_log "Cash process started successfully" 1 "start"
ok "supervisor started (pid $first) and started the cash application"
wait_for_log "REBOOT_CMD_RECEIVED" 1 "reboot command"
wait_for_log "Выполняется перезагрузка компьютера." 1 "reboot"
deadline=$((SECONDS + timeout))
until grep -qx "systemctl reboot" "$demo/systemctl.calls" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "reboot: the fake systemctl was not called"
    sleep 0.1
done
ok "the cash application exited; the supervisor ran 'systemctl reboot' (the fake one)"
note "A real reboot would end the supervisor now. It waits idle, and still answers commands:"
set +e
"$till/cashsim" send restart --server-port "$server_port" | sed 's/^/     /'
"$till/cashsim" send code 7 --server-port "$server_port" | sed 's/^/     /'
set -e
note "(the restart stays pending: no cash application runs to exit; code 7 is unknown)"
kill -TERM "$first"
wait
ok "the demo ended the idle supervisor (pid $first), as an operator would"

# ---------------------------------------------------------------------------------------------
heading "2. Start again; the cash application asks for a restart"

sleep 1 # a new second for the name of the rotated log
start_supervisor
second=$supervisor
wait_for_log "Cash process started successfully" 2 "second start"
ok "supervisor started (pid $second); the previous log was moved aside"
wait_for_log "Выполняется перезапуск процесса кассы." 1 "restart"
wait_for_log "Cash application started" 3 "restart"
ok "the cash application exited and was started again at once"

# ---------------------------------------------------------------------------------------------
heading "3. The cash application asks for maintenance"

wait_for_log "Процесс кассы остановлен для выполнения скриптов обслуживания." 1 "maintenance"
wait_for_log "Maintenance control script finished successfuly with exitcode 0" 1 "maintenance"
ok "control.py ran while the cash application was stopped; its output is in the log"
wait_for_log "Cash application started" 4 "start after maintenance"
ok "the cash application was started again after the script"

# ---------------------------------------------------------------------------------------------
heading "4. The cash application asks for an update"

wait_for_log "Процесс кассы остановлен для выполнения обновления." 1 "update"
wait_for_log "Распаковка файла" 3 "update"
ok "incoming/update.tgz installed over demo/till; replaced files moved to demo/till/backup"

# ---------------------------------------------------------------------------------------------
heading "5. Self-restart into a new instance"

wait_for_log "LocalCashServer app started" 3 "self-restart"
new=$(supervisor_pids | { grep -vx "$second" || true; } | tr '\n' ' ')
wait
status=$(cat "$demo/exit-status")
[ "$status" -eq 137 ] || fail "self-restart: the old instance ended with status $status"
ok "bootstrap.sh ended the old instance (pid $second, killed: exit status $status)"
ok "and started the new one (pid ${new% }), detached, its output to /dev/null"
wait_for_log "Cash application started" 5 "start by the new instance"
ok "the new instance started the cash application again"

# ---------------------------------------------------------------------------------------------
heading "6. The cash application exits with nothing pending"

wait_for_log "APP EXIT" 1 "final exit"
deadline=$((SECONDS + timeout))
while [ -n "$(demo_pids)" ]; do
    [ $SECONDS -lt $deadline ] || fail "final exit: still running: $(demo_pids | tr '\n' ' ')"
    sleep 0.1
done
ok "APP EXIT: the supervisor ended; nothing of the demo is running"
[ ! -e "$till/bootstrap.sh" ] || fail "bootstrap.sh was left behind"

# ---------------------------------------------------------------------------------------------
heading "What the cash application printed (forwarded to the supervisor's output)"
note "(\"run N\" is its N-th start; after the self-restart the new instance's output goes to /dev/null)"
sed 's/^/   | /' "$demo/cash-output.txt"

heading "The log, oldest file first (stored in Windows-1251, shown with iconv -f CP1251 -t UTF-8)"
while IFS= read -r file; do
    name=${file#"$till"/}
    if [ "$name" = log/localserver.log ]; then
        printf '\n--- demo/till/%s (the last run)\n' "$name"
    else
        printf '\n--- demo/till/%s (moved aside when the next instance started)\n' "$name"
    fi
    iconv -f CP1251 -t UTF-8 "$file" | sed 's/^/  /'
done < <(log_files)

heading "The till directory now"
(cd "$demo" && find till -printf '%p\t%y\n') | LC_ALL=C sort |
    awk -F'\t' '{ n = split($1, part, "/"); indent = ""; for (i = 1; i < n; i++) indent = indent "    ";
                  print "   " indent part[n] ($2 == "d" ? "/" : "") }'
echo
note "backup/     what the update replaced: the previous program file and data/prices.csv"
note "archive/    written by control.py; data/ no longer holds the receipts it archived"
note "log/        the current log and one moved-aside log for each earlier start"
note "the restart script bootstrap.sh deleted itself"
note "fake systemctl calls: $(tr '\n' ' ' <"$demo/systemctl.calls")"

heading "Demo finished in $((SECONDS - started_at)) s: every stage seen in the log, nothing left running"
