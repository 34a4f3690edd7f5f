#!/bin/bash
# The packaged service under a real systemd: boots a Debian root file system with systemd, dbus
# and polkitd in a container (systemd-nspawn, private network), installs the .deb there and checks,
# with cashsim as the cash application: the installation (user, unit, enabled, waiting for its
# settings), readiness and the service's user, the restart command, an update with exactly one new
# instance afterwards, kill -9, the watchdog, a reboot refused without the polkit rule and
# carried out with it, and the power-off. Each check prints "ok:" or "FAIL:".
#
# Usage: scripts/systemd-check.sh [DEB]     (as root)
#   DEB defaults to the one .deb in build-qt6/packages/, which `scripts/package.sh build-qt6`
#   makes (CI runs that just before, so the package CI built is the one checked).
#
# The root file system is made once with debootstrap from this machine's own apt sources (about
# 2-3 minutes) and kept as a zstd tarball in the cache folder (LCS_SYSTEMD_CACHE, default
# ~/.cache/localcashserver); later runs unpack it (a second) and boot it (half a second). Its name
# carries a hash of what it holds, so a package that needs other libraries gets a new one.
# Every reboot and power-off happens inside the container: the script checks that the supervisor
# it commands lives in the container's own namespaces before it sends one, and this machine's
# systemctl (if any) is never run.
#
# Exit status: 0 when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$(id -u)" -eq 0 ] || { echo "systemd-check: must run as root (debootstrap, nspawn)" >&2; exit 2; }

deb=${1:-}
if [ -z "$deb" ]; then
    deb=$(ls build-qt6/packages/*.deb 2>/dev/null || true)
    [ "$(echo "$deb" | grep -c .)" -eq 1 ] || {
        echo "systemd-check: expected one .deb in build-qt6/packages/ (scripts/package.sh build-qt6)" >&2
        exit 2
    }
fi
deb=$(realpath "$deb")

started=$SECONDS
section() {
    printf '\n==== [%3ds] %s\n' "$((SECONDS - started))" "$*"
}
failures=0
pass() {
    echo "ok:   $*"
}
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
die() {
    echo "systemd-check: $*" >&2
    exit 1
}

section "Tools"
# systemd-container's recommended NSS module would change this machine's nsswitch.conf.
scripts/deps.sh debootstrap systemd-container zstd

# --- The root file system ----------------------------------------------------------------------

codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
# The package's own dependencies (first alternative of each, without versions) come pre-installed,
# since the container has no network to fetch them.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | grep . | sort -u)
include="systemd,systemd-sysv,libpam-systemd,dbus,polkitd,$(echo "$depends" | paste -sd, -)"
recipe="recipe 1; $codename; minbase; $include"
cache_root=${LCS_SYSTEMD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/localcashserver}
tarball=$cache_root/systemd-rootfs-$codename-$(echo "$recipe" | sha256sum | cut -c1-12).tar.zst

# Temporary trees: in memory when possible, since this machine's root file system is slow at
# creating many files.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/lcs-systemd-check.XXXXXX")
cgroups=()
loop_pid=
root_inode=
name=lcs-systemd-check-$$
# Every process in the control groups of our container (the loop that starts nspawn included).
in_our_groups() {
    local group
    for group in "${cgroups[@]}"; do
        find "$group" -name cgroup.procs -exec cat {} + 2>/dev/null
    done | sort -un
}
cleanup() {
    if [ -n "$loop_pid" ] && kill -0 "$loop_pid" 2>/dev/null; then
        # Only the processes of our own container: everything in its control group.
        in_our_groups | while read -r pid; do
            [ "$pid" = "$$" ] || [ "$pid" = "$loop_pid" ] || kill -KILL "$pid" 2>/dev/null || true
        done
        wait "$loop_pid" 2>/dev/null || true
    fi
    local tries=100
    while [ "$tries" -gt 0 ] && [ -n "$(in_our_groups)" ]; do
        sleep 0.1
        tries=$((tries - 1))
    done
    for group in "${cgroups[@]}"; do
        # Deepest first: a group can only be removed once it has no children.
        find "$group" -depth -type d -exec rmdir {} \; 2>/dev/null || true
    done
    # What nspawn leaves on this machine, whose /run outlives the run: the propagation directory
    # of our machine and the lock of our image (and their folders, once empty).
    if [ -n "$root_inode" ]; then
        rm -rf "/run/systemd/nspawn/propagate/$name"
        find /run/systemd/nspawn/locks -name "inode-*:$root_inode" -delete 2>/dev/null || true
        rmdir /run/systemd/nspawn/propagate /run/systemd/nspawn/locks /run/systemd/nspawn 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

if [ ! -f "$tarball" ]; then
    section "Making the root file system (once; cached as $tarball)"
    mirror=
    for attempt in 1 2; do
        mirror=$(apt-get indextargets --format '$(SITE) $(CODENAME)' 'Created-By: Packages' 2>/dev/null \
            | awk -v c="$codename" '$2 == c { print $1; exit }')
        [ -n "$mirror" ] || [ "$attempt" -eq 2 ] || apt-get update -qq
    done
    [ -n "$mirror" ] || die "no archive for $codename in this machine's apt sources"
    echo "archive: $mirror; packages: $include"
    rootfs=$work/rootfs
    debootstrap --variant=minbase --include="$include" "$codename" "$rootfs" "$mirror" \
        >"$work/debootstrap.log" 2>&1 || { tail -n 30 "$work/debootstrap.log"; die "debootstrap failed"; }
    rm -rf "$rootfs"/var/cache/apt/archives/*.deb "$rootfs"/var/lib/apt/lists/*
    # No log-in prompts on a console nobody reads.
    ln -sf /dev/null "$rootfs/etc/systemd/system/console-getty.service"
    ln -sf /dev/null "$rootfs/etc/systemd/system/getty@.service"
    : >"$rootfs/etc/machine-id"
    mkdir -p "$cache_root"
    tar -C "$rootfs" --numeric-owner -cf - . | zstd -q -T0 -o "$tarball.part"
    mv "$tarball.part" "$tarball"
    rm -rf "$rootfs"
    echo "made in $((SECONDS - started)) s: $(du -h "$tarball" | cut -f1)"
fi

section "Booting the container"
root=$work/root
mkdir "$root"
root_inode=$(stat -c %i "$root")
zstd -dcq "$tarball" | tar -C "$root" --numeric-owner -xf -
cp "$deb" "$root/var/tmp/localcashserver.deb"

# nspawn runs from a control group of its own below the top of each hierarchy it uses (else it
# leaves its payload/ and supervisor/ groups at the top), which goes again at the end.
if [ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ]; then
    cgroups=("/sys/fs/cgroup/$name")
else
    for h in systemd unified; do
        [ -d "/sys/fs/cgroup/$h" ] && cgroups+=("/sys/fs/cgroup/$h/$name")
    done
fi
[ ${#cgroups[@]} -gt 0 ] || die "no cgroup hierarchy for systemd found"
mkdir "${cgroups[@]}"

# A reboot ends nspawn with status 133: it is started again; any other end is the last.
(
    for group in "${cgroups[@]}"; do
        echo "$BASHPID" >"$group/cgroup.procs"
    done
    while :; do
        status=0
        systemd-nspawn --quiet --register=no --keep-unit --private-network --link-journal=no \
            --resolv-conf=off --timezone=off --machine="$name" -D "$root" --console=pipe -b \
            </dev/null >>"$work/console.log" 2>&1 || status=$?
        echo "$status" >>"$work/exits"
        [ "$status" -eq 133 ] || break
    done
) 2>>"$work/console.log" &
loop_pid=$!

# The container's PID 1 as this machine sees it: the process of our group that is PID 1 of the
# PID namespace it lives in.
container_init() {
    local pid
    in_our_groups | while read -r pid; do
        if awk '/^NSpid:/ { found = (NF == 3 && $3 == 1) } END { exit !found }' \
            "/proc/$pid/status" 2>/dev/null; then
            echo "$pid"
            break
        fi
    done
}
# Runs a command inside the container, in all its namespaces, with a plain environment.
in_container() {
    nsenter -t "$init" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# wait_for SECONDS COMMAND...: until the command succeeds; false when time runs out.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
system_up() {
    init=$(container_init)
    [ -n "$init" ] || return 1
    case $(in_container systemctl is-system-running 2>/dev/null) in
    running | degraded) return 0 ;;
    *) return 1 ;;
    esac
}
boots() {
    grep -c . "$work/exits" 2>/dev/null || echo 0
}
init=
wait_for 60 system_up || { tail -n 40 "$work/console.log"; die "the container did not boot"; }
echo "container PID 1 is $init here; booted in $((SECONDS - started)) s so far"

# --- Helpers for the service -------------------------------------------------------------------

dir=/opt/localcashserver
unit=localcashserver.service
main_pid() {
    in_container systemctl show -P MainPID "$unit"
}
# Pids (container numbering) of the processes running the named program file.
pids_of() {
    in_container sh -c 'for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null | sed "s/ (deleted)\$//")" = "$1" ] && echo "${p#/proc/}"
    done; true' sh "$1"
}
count_of() {
    pids_of "$1" | grep -c . || true
}
supervisor_count() {
    count_of "$dir/localcashserver"
}
cash_count() {
    count_of "$dir/tools/cashsim"
}
service_active() {
    [ "$(in_container systemctl is-active "$unit" 2>/dev/null)" = active ]
}
# The service runs with one supervisor and one cash application.
service_settled() {
    service_active && [ "$(supervisor_count)" = 1 ] && [ "$(cash_count)" = 1 ]
}
log_text() {
    in_container sh -c "iconv -f CP1251 -t UTF-8 $dir/log/localserver.log 2>/dev/null"
}
log_has() {
    log_text | grep -qF -- "$1"
}
# A command to the supervisor, then the cash application let go: it exits, and the supervisor
# carries the command out.
command_and_exit() {
    in_container "$dir/tools/cashsim" send "$@" >/dev/null &&
        in_container "$dir/tools/cashsim" send code 5 --server-port 55006 >/dev/null
}
journal_since() {
    in_container journalctl -q -o cat -u "$unit" --since "@$1"
}
# A start for journalctl --since, which counts whole seconds: the second begun after everything
# before the call, so that no earlier line of the journal counts.
now() {
    sleep 1
    in_container date +%s
}
# What polkit answers for the service's user asking for a reboot, asked as a real unit of that
# user, as the supervisor would ask.
printf 'pkcheck --action-id org.freedesktop.login1.reboot --process $$ >/dev/null 2>&1\n' \
    >"$root/var/tmp/may-reboot.sh"
reboot_allowed() {
    in_container systemd-run --quiet --uid=localcashserver --wait --pipe /bin/sh /var/tmp/may-reboot.sh \
        </dev/null >/dev/null 2>&1
}
# Before a reboot or power-off is asked for: the supervisor that will ask is in the container's
# PID, mount and network namespaces, none of them this machine's, and the container's PID 1 is
# systemd. So its systemctl can only reach the container's systemd.
assert_contained() {
    local pid host ns
    pid=$(main_pid)
    [ -n "$pid" ] && [ "$pid" != 0 ] || die "no supervisor to command"
    host=$(host_pid "$pid")
    [ -n "$host" ] || die "the supervisor was not found in the container's PID namespace"
    for ns in pid mnt net; do
        [ "$(readlink "/proc/$host/ns/$ns")" != "$(readlink "/proc/self/ns/$ns")" ] ||
            die "the supervisor shares this machine's $ns namespace: no reboot or power-off sent"
    done
    [ "$(cat "/proc/$init/comm")" = systemd ] || die "the container's PID 1 is not systemd"
    echo "      (the supervisor, $host here, lives in the container's namespaces)"
}
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# Predicates for wait_for and check.
main_pid_changed() {
    local pid
    pid=$(main_pid)
    [ "$pid" != "$1" ] && [ "$pid" != 0 ]
}
cash_changed() {
    local pids
    pids=$(pids_of "$dir/tools/cashsim")
    [ -n "$pids" ] && [ "$pids" != "$1" ]
}
cash_in_service() {
    local pid
    pid=$(pids_of "$dir/tools/cashsim")
    [ "$(in_container stat -c %U "/proc/$pid")" = localcashserver ] &&
        in_container cat "/proc/$pid/cgroup" | grep -q "/$unit\$"
}
reboot_refused() {
    ! reboot_allowed
}
rebooted_since() {
    [ "$(boots)" -gt "$1" ]
}
container_ended() {
    ! kill -0 "$loop_pid" 2>/dev/null
}
last_log_line_is() {
    [ "$(log_text | tail -n 1 | cut -d';' -f2-)" = "$1" ]
}
user_exists() {
    in_container id "$1" >/dev/null 2>&1
}
till_settled() {
    [ -f "$root/home/till/cash/log/localserver.log" ] && [ "$(count_of /home/till/cash/tools/cashsim)" = 1 ]
}
still_up() {
    [ "$(boots)" = "$1" ] && [ -e "/proc/$init" ] && service_active
}
# This machine's pid of a process given by its pid in the container.
host_pid() {
    local p
    for p in /proc/[0-9]*; do
        if awk -v want="$1" '/^NSpid:/ { found = (NF == 3 && $3 == want) } END { exit !found }' \
            "$p/status" 2>/dev/null && [ "$(readlink "$p/ns/pid")" = "$(readlink "/proc/$init/ns/pid")" ]; then
            echo "${p#/proc/}"
            return
        fi
    done
}

# --- The checks --------------------------------------------------------------------------------

section "Installing $(basename "$deb")"
if in_container dpkg -i /var/tmp/localcashserver.deb >"$work/dpkg.log" 2>&1; then
    pass "dpkg -i installed the package"
else
    cat "$work/dpkg.log"
    fail "dpkg -i failed"
fi
check "the user localcashserver exists" user_exists localcashserver
check "the program's directory belongs to it" \
    test "$(in_container stat -c %U "$dir")" = localcashserver
check "the service is enabled" test "$(in_container systemctl is-enabled "$unit")" = enabled
check "systemd-analyze verify finds nothing wrong in the unit" \
    in_container systemd-analyze verify "/lib/systemd/system/$unit"
check "without config.ini the service waits (start condition unmet)" \
    test "$(in_container systemctl show -P ConditionResult "$unit")" = no

section "Configuring and starting"
printf '[run *]\nwait-maintenance 3600000\nexit 0\n' >"$root$dir/scenario.txt"
printf '%s\n' "[CASH]" "LogLevel = 7" "ExecutablePath = ./tools/cashsim" \
    "ProgrammArguments = --scenario scenario.txt --time-limit 0" \
    "[MAINTENANCE]" "DisableMaintenance = 1" >"$root$dir/config.ini"
# Type=notify: start returns once the supervisor has reported ready.
check "systemctl start returns when the supervisor is ready" in_container systemctl start "$unit"
check "the cash application had started by then" log_has "Cash process started successfully"
check "the service is active with one supervisor and one cash application" service_settled
pid=$(main_pid)
check "the supervisor runs as localcashserver" \
    test "$(in_container stat -c %U "/proc/$pid")" = localcashserver
check "the cash application too, in the service's control group" cash_in_service
settings=$(in_container systemctl show -p Type -p Restart -p WatchdogUSec -p User "$unit" | sort | paste -sd' ')
check "the unit's settings in effect: $settings" \
    test "$settings" = "Restart=always Type=notify User=localcashserver WatchdogUSec=1min"

section "The restart command"
cash=$(pids_of "$dir/tools/cashsim")
command_and_exit restart
check "the cash application is started again" wait_for 15 cash_changed "$cash"
check "by the same supervisor" test "$(main_pid)" = "$pid"
check "the log says so" log_has "Выполняется перезапуск процесса кассы."

section "An update"
# The package brings the supervisor itself, as a real update does, and a file of its own.
mkdir -p "$root/var/tmp/release/data"
cp "$root$dir/localcashserver" "$root/var/tmp/release/"
echo "2.71.0.1" >"$root/var/tmp/release/data/version.txt"
in_container "$dir/tools/cashpkg" build /var/tmp/release -o "$dir/update.tgz" >/dev/null
before=$(now)
old=$(main_pid)
old_host=$(host_pid "$old")
command_and_exit update "$dir/update.tgz"
check "a new instance runs" wait_for 30 main_pid_changed "$old"
check "one supervisor, one cash application" wait_for 30 service_settled
check "the old instance is gone" test -n "$old_host" -a ! -e "/proc/$old_host"
check "the package was installed, the old program backed up" test \
    -f "$root$dir/data/version.txt" -a -f "$root$dir/backup/localcashserver"
check "no bootstrap.sh was written" test ! -e "$root$dir/bootstrap.sh"
journal=$(in_container journalctl -q -o short-unix -u "$unit" --since "@$before")
echo "$journal" | sed 's/^/      journal: /'
check "the journal shows one start of the service and no failure" test \
    "$(grep -c ': Started localcashserver.service' <<<"$journal") $(grep -c -i 'fail' <<<"$journal")" = "1 0"
awk '/: Stopping localcashserver.service/ && !stop { stop = $1 }
    /: Started localcashserver.service/ { start = $1 }
    END { if (stop && start) printf "      (from the old instance stopped to the new one ready: %d ms)\n", (start - stop) * 1000 }' \
    <<<"$journal"
check "the new instance's log begins with its banner" \
    grep -q 'LocalCashServer app started' <<<"$(log_text | head -n 1)"

section "kill -9 of the supervisor"
old=$(main_pid)
in_container sh -c 'kill -KILL "$1"' sh "$old"
check "systemd starts it again" wait_for 30 main_pid_changed "$old"
check "one supervisor, one cash application" wait_for 15 service_settled

section "A hung supervisor and the watchdog"
# A shorter watchdog for the check, set as an administrator would: in a drop-in.
mkdir -p "$root/etc/systemd/system/$unit.d"
printf '[Service]\nWatchdogSec=3\n' >"$root/etc/systemd/system/$unit.d/check.conf"
in_container systemctl daemon-reload
in_container systemctl restart "$unit"
before=$(now)
old=$(main_pid)
in_container sh -c 'kill -STOP "$1"' sh "$old"
check "systemd ends the stopped supervisor and starts it again" wait_for 30 main_pid_changed "$old"
check "the journal names the watchdog" grep -q -i 'watchdog timeout' <<<"$(journal_since "$before")"
check "one supervisor, one cash application" wait_for 15 service_settled
rm -r "$root/etc/systemd/system/$unit.d"
in_container systemctl daemon-reload

section "Another user and program directory, by the documented drop-in"
dropin=$root/etc/systemd/system/$unit.d/till.conf
in_container adduser --quiet --disabled-password --gecos "" till >/dev/null
in_container sh -c "mkdir -p /home/till/cash && cp -a $dir/. /home/till/cash/ && rm -rf /home/till/cash/log && chown -R till: /home/till/cash && adduser --quiet till localcashserver"
mkdir -p "$(dirname "$dropin")"
cp docs/examples/localcashserver-till.conf "$dropin"
in_container systemctl daemon-reload
check "the service restarts with the drop-in" in_container systemctl restart "$unit"
pid=$(main_pid)
check "the supervisor runs as till from /home/till/cash" test \
    "$(in_container stat -c %U "/proc/$pid") $(in_container readlink "/proc/$pid/exe")" \
    = "till /home/till/cash/localcashserver"
check "its log and its one cash application are in /home/till/cash" wait_for 15 till_settled
rm "$dropin"
in_container systemctl daemon-reload
in_container systemctl restart "$unit"
check "without the drop-in, back to localcashserver in $dir" wait_for 15 service_settled

section "Reboot without the polkit rule"
rule=/usr/share/polkit-1/rules.d/50-localcashserver.rules
mv "$root$rule" "$root/var/tmp/"
check "polkit refuses the service's user a reboot" wait_for 15 reboot_refused
boots_before=$(boots)
assert_contained
command_and_exit reboot
check "the supervisor logs the reboot" wait_for 15 log_has "Выполняется перезагрузка компьютера."
check "the request was refused: the container stays up, the service too" still_up "$boots_before"
check "the log ends with the reboot line" last_log_line_is \
    " NOTE; LocalCashServer:LocalCashServer::slotProcessFinished; Выполняется перезагрузка компьютера."

section "Reboot with the polkit rule"
mv "$root/var/tmp/$(basename "$rule")" "$root$rule"
check "polkit allows the service's user a reboot" wait_for 15 reboot_allowed
in_container systemctl restart "$unit"
wait_for 15 service_settled || true
old_init=$init
assert_contained
command_and_exit reboot
check "the container reboots" wait_for 30 rebooted_since "$boots_before"
check "it comes up again" wait_for 60 system_up
check "with a PID 1 of its own again" test -n "$init" -a "$init" != "$old_init"
check "the service is back with its cash application" wait_for 30 service_settled

section "Power-off"
assert_contained
command_and_exit halt
check "the container powers off" wait_for 30 container_ended
check "nspawn ended with status 0 (a power-off, not a reboot)" test "$(tail -n 1 "$work/exits")" = 0

section "Done in $((SECONDS - started)) s"
if [ "$failures" -ne 0 ]; then
    echo "== $failures check(s) failed; the container's console:"
    tail -n 40 "$work/console.log"
    exit 1
fi
echo "== every check passed"
