#!/usr/bin/env python3
"""Runs the benchmarks and writes docs/benchmarks.md and docs/benchmarks-install.png.

    run.py --build BUILD_DIR [--before-build DIR --before-name REV] [--rounds N]
           [--only install,ipc,log,start,idle] [--no-ext4]

Called by scripts/bench.sh after a Release build with -DLCS_BENCH=ON. The machines we run on are
shared, so every benchmark runs the product and its references in the same rounds, in an order
that rotates from round to round, and the report gives medians and the median of the ratios
measured within each round.
"""
import argparse
import datetime
import hashlib
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# LCS_BENCH_DIR moves the scratch trees, for one run beside another on a shared machine.
WORK = os.environ.get("LCS_BENCH_DIR", "/dev/shm/lcs-bench")
DATA = os.path.join(WORK, "data")
IMAGE = "/var/tmp/lcs-bench-ext4.img"
EXT4_MOUNT = "/mnt/lcs-bench-ext4"
PACKAGES = ("many-small", "typical", "few-large")
TOOLS = ("product", "before", "cmodel", "gnutar", "bsdtar")
TOOL_NAMES = {
    "product": "TinyTarUnpacker",
    "before": "TinyTarUnpacker of the revision before",
    "cmodel": "plain-C model",
    "gnutar": "GNU tar -xzf",
    "bsdtar": "bsdtar -xzf",
    "floor": "igzip -dc >/dev/null, plus tar -xf of the plain tar",
}
# Decompression alone, to nothing: the product's inflateArchive and its zlib reading (the code of
# inflateArchive before the fast path), ISA-L and libdeflate alone in the same driver, and the
# command-line tools.
DECOMPRESSORS = ("product", "zlib", "isal", "libdeflate", "igzip", "libdeflate-gunzip", "gzip")
DECOMPRESSOR_NAMES = {
    "product": "inflateArchive",
    "zlib": "zlib path (before)",
    "isal": "ISA-L alone",
    "libdeflate": "libdeflate alone",
    "igzip": "igzip -dc",
    "libdeflate-gunzip": "libdeflate-gunzip -c",
    "gzip": "gzip -dc",
}
STARTED_LINE = "Cash process started successfully"  # level 6: needs LogLevel 6 or more
INIT_DONE = "initialization process finished"  # level 4, written after the cash application started

started_processes = []  # (Popen, description): ended by pid on the way out


def log(msg):
    print("[bench %s] %s" % (time.strftime("%H:%M:%S"), msg), flush=True)


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def output(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.strip()
    except OSError:
        return ""


def median(values):
    return statistics.median(values) if values else float("nan")


def run_timed(cmd, cwd=None):
    """Wall time (measured here), user+system CPU and peak RSS (GNU time -v) of one command."""
    with tempfile.NamedTemporaryFile("r", suffix=".time", dir=WORK) as tf:
        t0 = time.perf_counter()
        p = subprocess.run(["/usr/bin/time", "-v", "-o", tf.name] + cmd, cwd=cwd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - t0
        fields = {}
        for line in tf.read().splitlines():
            key, _, value = line.strip().rpartition(": ")
            fields[key] = value
    if p.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), p.returncode, p.stderr.decode()[-500:]))
    cpu = float(fields["User time (seconds)"]) + float(fields["System time (seconds)"])
    return {"wall": wall, "cpu": cpu, "rss": int(fields["Maximum resident set size (kbytes)"])}


def tree_digest(root):
    result = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            result[os.path.relpath(os.path.join(dirpath, d), root)] = "dir"
        for f in filenames:
            path = os.path.join(dirpath, f)
            h = hashlib.md5()
            with open(path, "rb") as fh:
                for block in iter(lambda: fh.read(1 << 20), b""):
                    h.update(block)
            result[os.path.relpath(path, root)] = (os.path.getsize(path), h.hexdigest())
    return result


def count_files(root):
    return sum(len(files) for _, _, files in os.walk(root))


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def children_of(pid):
    kids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
            kids.append(int(entry))
    return kids


def descendants(pid):
    found = []
    for kid in children_of(pid):
        found += [kid] + descendants(kid)
    return found


def end_process_tree(proc):
    """Ends a process and everything it started (a supervisor and its cash application), by pid,
    the parent first so that it cannot start a new child."""
    if proc.poll() is not None:
        return
    below = descendants(proc.pid)
    proc.kill()
    proc.wait()
    for pid in below:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


# ---------------------------------------------------------------------------------------------
# Machine and versions


def machine_info(build):
    cpu = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    qt = ""
    for pkg in ("qt6-base-dev", "qtbase5-dev"):
        version = output(["dpkg-query", "-W", "-f", "${Version}", pkg])
        if version:
            qt = "%s %s" % (pkg, version)
            break
    commit = output(["git", "-C", REPO, "rev-parse", "--short", "HEAD"])
    if output(["git", "-C", REPO, "status", "--porcelain", "--untracked-files=no"]):
        commit += " (with uncommitted changes)"
    return {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "nproc": output(["nproc"]),
        "cpu": cpu,
        "kernel": platform.release(),
        "memory": output(["sh", "-c", "free -g | awk '/Mem:/ {print $2 \" GiB\"}'"]),
        "qt": qt,
        "zlib": "zlib1g " + output(["dpkg-query", "-W", "-f", "${Version}", "zlib1g"]),
        "isal": "libisal2 " + output(["dpkg-query", "-W", "-f", "${Version}", "libisal2"]),
        "libdeflate": "libdeflate0 " + output(["dpkg-query", "-W", "-f", "${Version}", "libdeflate0"]),
        "tar": output(["tar", "--version"]).splitlines()[0],
        "bsdtar": output(["bsdtar", "--version"]),
        "gzip": output(["gzip", "--version"]).splitlines()[0],
        "compiler": output(["c++", "--version"]).splitlines()[0],
        "commit": commit,
    }


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# ---------------------------------------------------------------------------------------------
# Installation


def mount_ext4():
    """A fresh ext4 file system on a loop-mounted image; None (with the reason) if impossible."""
    if os.geteuid() != 0:
        return None, "not root"
    try:
        unmount_ext4()
        sh(["truncate", "-s", "2G", IMAGE])
        sh(["mkfs.ext4", "-q", "-F", IMAGE])
        os.makedirs(EXT4_MOUNT, exist_ok=True)
        sh(["mount", "-o", "loop", IMAGE, EXT4_MOUNT], stderr=subprocess.PIPE)
        return EXT4_MOUNT, ""
    except (subprocess.CalledProcessError, OSError) as e:
        reason = getattr(e, "stderr", b"") or b""
        if os.path.exists(IMAGE):
            os.remove(IMAGE)
        return None, "mounting a loop image failed: %s" % (reason.decode().strip() or e)


def unmount_ext4():
    if os.path.ismount(EXT4_MOUNT):
        subprocess.run(["umount", EXT4_MOUNT])
    if os.path.exists(IMAGE):
        os.remove(IMAGE)
    if os.path.isdir(EXT4_MOUNT) and not os.listdir(EXT4_MOUNT):
        os.rmdir(EXT4_MOUNT)


def install_commands(build, tool, package, target, backup, logdir):
    """The command of one tool: fresh when backup is None, else over the tree already there."""
    if tool in ("product", "before"):
        cmd = [os.path.join(build[tool], "installbench"), package, target]
        return cmd + ([backup] if backup else []) + ["--log", logdir]
    if tool == "cmodel":
        return [os.path.join(build["product"], "cmodel"), package, target] + ([backup] if backup else [])
    if tool == "gnutar":
        # GNU tar's own way of keeping what it replaces: a numbered or simple backup beside it.
        return ["tar", "-xzf", package, "-C", target] + (["--backup=simple"] if backup else [])
    if tool == "bsdtar":
        return ["bsdtar", "-xzf", package, "-C", target]
    raise ValueError(tool)


def decompress_command(build, tool, package):
    if tool in ("product", "zlib", "isal", "libdeflate"):
        return [os.path.join(build, "inflatebench"), tool, package]
    return {"igzip": ["igzip", "-dc", package], "libdeflate-gunzip": ["libdeflate-gunzip", "-c", package],
            "gzip": ["gzip", "-dc", package]}[tool]


def plain_tar(package):
    """The package's tar stream as a file beside it, made once."""
    path = os.path.join(DATA, package + ".tar")
    if not os.path.exists(path):
        with open(path + ".part", "wb") as f:
            sh(["gzip", "-dc", os.path.join(DATA, package + ".tgz")], stdout=f)
        os.replace(path + ".part", path)
    return path


def bench_install(build, rounds, filesystems):
    results = {}  # (fs, package, mode, tool) -> list of runs (round order)
    checks = []
    for r in range(rounds):
        for fs, root in filesystems:
            for package in PACKAGES:
                pkg = os.path.join(DATA, package + ".tgz")
                # The floor: the fastest decompression to nothing, then writing the same tree from
                # the plain tar; the sum of the two.
                target = os.path.join(root, "target")
                shutil.rmtree(target, ignore_errors=True)
                os.makedirs(target)
                if fs != "tmpfs":
                    os.sync()
                inflate = run_timed(["igzip", "-dc", pkg])
                write = run_timed(["tar", "-xf", plain_tar(package), "-C", target])
                results.setdefault((fs, package, "floor", "floor"), []).append(
                    {"wall": inflate["wall"] + write["wall"], "cpu": inflate["cpu"] + write["cpu"],
                     "rss": max(inflate["rss"], write["rss"])})
                shutil.rmtree(target, ignore_errors=True)
                if fs == "tmpfs":
                    # What the design's 1 KiB inflate steps cost: the C model with 64 KiB steps.
                    os.makedirs(target)
                    results.setdefault((fs, package, "fresh", "cmodel64"), []).append(
                        run_timed([os.path.join(build["product"], "cmodel"), "-s", "65536", pkg, target]))
                    shutil.rmtree(target, ignore_errors=True)
                    order = DECOMPRESSORS[r % len(DECOMPRESSORS):] + DECOMPRESSORS[:r % len(DECOMPRESSORS)]
                    for tool in order:
                        results.setdefault((fs, package, "decompress", tool), []).append(
                            run_timed(decompress_command(build["product"], tool, pkg)))
                order = TOOLS[r % len(TOOLS):] + TOOLS[:r % len(TOOLS)]
                for tool in order:
                    target = os.path.join(root, "target")
                    backup = os.path.join(root, "backup")
                    logdir = os.path.join(root, "log")
                    for path in (target, backup, logdir):
                        shutil.rmtree(path, ignore_errors=True)
                    os.makedirs(target)
                    if fs != "tmpfs":
                        os.sync()
                    fresh = run_timed(install_commands(build, tool, pkg, target, None, logdir))
                    results.setdefault((fs, package, "fresh", tool), []).append(fresh)
                    if r == 0 and fs == "tmpfs" and tool in ("product", "before", "cmodel", "gnutar"):
                        checks.append((package, tool, tree_digest(target)))
                    if fs != "tmpfs":
                        os.sync()
                    over = run_timed(install_commands(build, tool, pkg, target, backup, logdir))
                    results.setdefault((fs, package, "over", tool), []).append(over)
                    if r == 0 and fs == "tmpfs" and tool in ("product", "before", "cmodel"):
                        if count_files(backup) != count_files(target):
                            raise RuntimeError("%s kept no full backup of %s" % (tool, package))
                    for path in (target, backup, logdir):
                        shutil.rmtree(path, ignore_errors=True)
                log("install round %d/%d %s %s done (load %s)" % (r + 1, rounds, fs, package, load_average()))
    # The trees installed by the product and the model must equal GNU tar's.
    verified = []
    for package in PACKAGES:
        trees = {tool: digest for p, tool, digest in checks if p == package}
        if trees and any(trees[t] != trees["gnutar"] for t in trees):
            raise RuntimeError("installed trees differ for %s" % package)
        if trees:
            verified.append(package)
    return results, verified


def package_sizes():
    sizes = {}
    for package in PACKAGES:
        path = os.path.join(DATA, package + ".tgz")
        with open(path + ".v1") as f:
            tar_size = int(f.read())
        sizes[package] = (os.path.getsize(path), tar_size)
    return sizes


def ratio_series(runs_a, runs_b, key):
    return [a[key] / b[key] for a, b in zip(runs_a, runs_b) if b[key] > 0]


# ---------------------------------------------------------------------------------------------
# Command round trip


def write_config(directory, values):
    with open(os.path.join(directory, "config.ini"), "w") as f:
        for section, pairs in values.items():
            f.write("[%s]\n" % section)
            for key, value in pairs.items():
                f.write("%s=%s\n" % (key, value))


def start_supervisor(build, directory, level, cash_program, cash_args, wait=True):
    """Copies the supervisor into directory under its own name, configures and starts it."""
    os.makedirs(directory, exist_ok=True)
    program = os.path.join(directory, "lcs-bench-%d" % os.getpid())
    shutil.copy2(os.path.join(build, "localcashserver"), program)
    port = free_udp_port()
    cash_port = free_udp_port()
    write_config(directory, {
        "CASH": {"LogLevel": level, "ExecutablePath": cash_program,
                 "ProgrammArguments": cash_args.replace("CASHPORT", str(cash_port)).replace("SERVERPORT", str(port))},
        "INTERPROCESS": {"LocalServerPort": port, "CashPort": cash_port},
        "MAINTENANCE": {"DisableMaintenance": 1},
    })
    shutil.rmtree(os.path.join(directory, "log"), ignore_errors=True)
    proc = subprocess.Popen([program], cwd=directory, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started_processes.append(proc)
    logfile = os.path.join(directory, "log", "localserver.log")
    deadline = time.time() + 30
    while wait and time.time() < deadline:
        try:
            with open(logfile, "rb") as f:
                if INIT_DONE.encode() in f.read():
                    return proc, port
        except OSError:
            pass
        time.sleep(0.05)
    if wait:
        end_process_tree(proc)
        raise RuntimeError("the supervisor in %s did not start its cash application" % directory)
    return proc, port


def bench_ipc(build, rounds, count, before=None, before_name=None):
    base = os.path.join(WORK, "ipc")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    scenario = os.path.join(base, "idle.txt")
    with open(scenario, "w") as f:
        f.write("[run *]\n")  # no steps: cashsim only answers until its time limit
    cash_args = "--scenario %s --cash-port CASHPORT --server-port SERVERPORT --time-limit 600" % scenario
    targets = {}
    for level in (5, 6):
        proc, port = start_supervisor(build, os.path.join(base, "level%d" % level), level,
                                      os.path.join(build, "cashsim"), cash_args)
        targets["supervisor, LogLevel %d" % level] = (proc, port)
    if before:
        # The supervisor of the revision compared with, in the same rounds.
        proc, port = start_supervisor(before, os.path.join(base, "before"), 5,
                                      os.path.join(build, "cashsim"), cash_args)
        targets["%s, LogLevel 5" % before_name] = (proc, port)
    echo = subprocess.Popen([os.path.join(build, "udpecho"), "0", "900"], stdout=subprocess.PIPE, text=True)
    started_processes.append(echo)
    targets["C echo peer"] = (echo, int(echo.stdout.readline()))

    commands = {"code 7 (no handler)": ("00000007", "00020007"), "restart": ("00000000", "00010000")}
    results = {}
    for r in range(rounds):
        names = list(targets)
        names = names[r % len(names):] + names[:r % len(names)]
        for name in names:
            port = targets[name][1]
            for command, (sent, answer) in commands.items():
                expected = sent if name == "C echo peer" else answer
                out = subprocess.run([os.path.join(build, "udpclient"), str(port), str(count), sent, expected, "100"],
                                     capture_output=True, text=True, check=True).stdout.split()
                keys = ("count", "lost", "wrong", "p50", "p99", "max", "rate", "burst", "answered")
                row = dict(zip(keys, map(float, out)))
                results.setdefault((name, command), []).append(row)
        log("command round %d/%d done (load %s)" % (r + 1, rounds, load_average()))
    for proc, _ in targets.values():
        end_process_tree(proc)
    return results


# ---------------------------------------------------------------------------------------------
# Log


def bench_log(build, rounds, filesystems, lines, length):
    results = {}
    for r in range(rounds):
        for fs, root in filesystems:
            directory = os.path.join(root, "logbench")
            order = ("product", "plain") if r % 2 == 0 else ("plain", "product")
            for tool in order:
                shutil.rmtree(directory, ignore_errors=True)
                os.makedirs(directory)
                program = "logbench" if tool == "product" else "logc"
                out = subprocess.run([os.path.join(build, program), directory, str(lines), str(length)],
                                     capture_output=True, text=True, check=True).stdout.split()
                name = "localserver.log" if tool == "product" else "plain.log"
                size = os.path.getsize(os.path.join(directory, name))
                if size != lines * length:
                    raise RuntimeError("%s wrote %d bytes, expected %d" % (program, size, lines * length))
                results.setdefault((fs, tool), []).append(int(out[0]) / float(out[1]))
            shutil.rmtree(directory, ignore_errors=True)
    return results


# ---------------------------------------------------------------------------------------------
# Start and idle


def prepare_start_dir(build, directory, sleeper_seconds):
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    program = os.path.join(directory, "lcs-bench-start-%d" % os.getpid())
    shutil.copy2(os.path.join(build, "localcashserver"), program)
    write_config(directory, {
        "CASH": {"LogLevel": 6, "ExecutablePath": os.path.join(build, "sleeper"),
                 "ProgrammArguments": sleeper_seconds},
        "INTERPROCESS": {"LocalServerPort": free_udp_port(), "CashPort": free_udp_port()},
        "MAINTENANCE": {"DisableMaintenance": 1},
    })
    return program


def bench_start(build, rounds):
    directory = os.path.join(WORK, "start")
    program = prepare_start_dir(build, directory, "5")
    child, supervisor = [], []
    for r in range(rounds):
        for what in (("child", "supervisor") if r % 2 == 0 else ("supervisor", "child")):
            if what == "child":
                out = subprocess.run([os.path.join(build, "startbench"), "child", os.path.join(build, "sleeper"), "5"],
                                     capture_output=True, text=True, check=True).stdout
                child.append(float(out))
            else:
                shutil.rmtree(os.path.join(directory, "log"), ignore_errors=True)
                out = subprocess.run([os.path.join(build, "startbench"), "start", directory, program],
                                     capture_output=True, text=True, check=True).stdout
                supervisor.append(float(out))
    shutil.rmtree(directory, ignore_errors=True)
    return child, supervisor


def start_idle(build, seconds):
    directory = os.path.join(WORK, "idle")
    program = prepare_start_dir(build, directory, str(seconds + 30))
    proc = subprocess.Popen([os.path.join(build, "startbench"), "idle", directory, program, str(seconds)],
                            stdout=subprocess.PIPE, text=True)
    started_processes.append(proc)
    return proc


def status_kb(pid, key, filename="status"):
    with open("/proc/%d/%s" % (pid, filename)) as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return -1


def qt_floor(build):
    """RSS, Pss and anonymous memory of the smallest Qt program with the supervisor's needs."""
    proc = subprocess.Popen([os.path.join(build, "qtfloor")])
    started_processes.append(proc)
    time.sleep(2)
    floor = {"rss": status_kb(proc.pid, "VmRSS:"), "pss": status_kb(proc.pid, "Pss:", "smaps_rollup"),
             "anon": status_kb(proc.pid, "Anonymous:", "smaps_rollup")}
    proc.kill()
    proc.wait()
    return floor


def finish_idle(proc, build):
    out, _ = proc.communicate()
    shutil.rmtree(os.path.join(WORK, "idle"), ignore_errors=True)
    rss0, rss1, hwm, ticks, hz, switches, seconds, pss, anon = map(int, out.split())
    return {"rss_start": rss0, "rss_end": rss1, "hwm": hwm, "cpu_ms": ticks * 1000.0 / hz,
            "switches": switches, "seconds": seconds, "pss": pss, "anon": anon,
            "floor": qt_floor(build)}


# ---------------------------------------------------------------------------------------------
# Report


def fmt(value, digits=2):
    return ("%%.%df" % digits) % value


def check(ok):
    return "met" if ok else "**missed**"


def write_chart(install, filesystems, out_png):
    data = os.path.join(WORK, "install-ratios.dat")
    rows = []
    for fs, _ in filesystems:
        for package in PACKAGES:
            for mode in ("fresh", "over"):
                p = install[(fs, package, mode, "product")]
                label = "%s %s %s" % (package, "fresh" if mode == "fresh" else "backup", fs)
                ratios = [median(ratio_series(p, install[(fs, package, mode, t)], "wall"))
                          for t in ("before", "cmodel", "gnutar", "bsdtar")]
                ratios.append(median(ratio_series(p, install[(fs, package, "floor", "floor")], "wall")))
                rows.append('"%s" %s' % (label, " ".join(fmt(x, 3) for x in ratios)))
    with open(data, "w") as f:
        f.write("\n".join(rows) + "\n")
    script = """
set terminal pngcairo size 1500,760 font "DejaVu Sans,11"
set output '%s'
set title "Installation wall time of TinyTarUnpacker divided by each reference's, median of the per-round ratios (below 1: the product is faster)"
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set ylabel "product time / reference time"
set yrange [0:1.2<*]
set grid ytics
set xtics rotate by -30 left
set key outside top center horizontal
set arrow from graph 0, first 1.0 to graph 1, first 1.0 nohead lw 2 dt 2 lc rgb "black"
set arrow from graph 0, first 1.05 to graph 1, first 1.05 nohead lw 1 dt 3 lc rgb "red"
set label "1.05" at graph 1.005, first 1.05 tc rgb "red"
set bmargin 9
set rmargin 14
plot '%s' using 2:xtic(1) title "÷ the revision before" lc rgb "#70ad47", \\
     '' using 3 title "÷ plain-C model (target ≤ 1.05)" lc rgb "#4472c4", \\
     '' using 4 title "÷ GNU tar -xzf (target ≤ 1.0)" lc rgb "#ed7d31", \\
     '' using 5 title "÷ bsdtar -xzf (target ≤ 0.7)" lc rgb "#a5a5a5", \\
     '' using 6 title "÷ floor (target ≤ 1.3)" lc rgb "#7030a0"
""" % (out_png, data)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def report(args, info, load_start, load_end, sections, out_md):
    L = []
    L.append("# Benchmarks")
    L.append("")
    L.append("Generated by `scripts/bench.sh` (see README). Do not edit by hand: the notes at the end "
             "come from `bench/benchmarks-notes.md`.")
    L.append("")
    L.append("| | |")
    L.append("|---|---|")
    for key, label in (("date", "date"), ("commit", "commit measured"), ("nproc", "nproc"), ("cpu", "CPU"),
                       ("memory", "memory"), ("kernel", "kernel"), ("qt", "Qt"), ("zlib", "zlib"), ("isal", "ISA-L"),
                       ("libdeflate", "libdeflate"), ("tar", "tar"),
                       ("bsdtar", "bsdtar"), ("gzip", "gzip"), ("compiler", "compiler")):
        L.append("| %s | %s |" % (label, info.get(key, "")))
    L.append("| load average (1, 5, 15 min) | %s at the start, %s at the end |" % (load_start, load_end))
    L.append("| rounds | %d (installation), %d (commands), %d (start), %d (log) |"
             % (args["rounds"], args["ipc_rounds"], 2 * args["ipc_rounds"], 3 * args["rounds"]))
    L.append("")
    L.append("The machine is shared with other developers' builds and tests, so absolute times move from run "
             "to run; the ratios are taken between runs of the same round and are what the targets are "
             "judged on. Wall time is the target's measure; CPU time (user + system) is shown beside it "
             "because it is far less disturbed by other load.")
    L.append("")
    verdicts = []
    for title, lines, verdict in sections:
        L.append("## " + title)
        L.append("")
        L.extend(lines)
        L.append("")
        verdicts.extend(verdict)
    L.append("## Targets")
    L.append("")
    L.append("| target | measured | |")
    L.append("|---|---|---|")
    L.extend(verdicts)
    L.append("")
    notes = os.path.join(REPO, "bench", "benchmarks-notes.md")
    if os.path.exists(notes):
        with open(notes) as f:
            L.append(f.read().rstrip())
        L.append("")
    with open(out_md, "w") as f:
        f.write("\n".join(L))


def install_section(install, verified, filesystems, ext4_note, rounds, before_name):
    sizes = package_sizes()
    lines = []
    lines.append("Packages (made by `bench/genpkg.py`, seeded): many-small = 5,000 files of 1–64 KiB in 100 "
                 "directories; typical = a program directory of 320 files; few-large = 4 × 64 MiB. "
                 "\"fresh\" installs into an empty directory; \"backup\" installs the same package again over "
                 "the tree just installed: the product and the C model move every replaced file into a "
                 "mirror backup tree, GNU tar keeps a simple backup beside each file (`--backup=simple`), "
                 "bsdtar just overwrites. The product is `TinyTarUnpacker` run by `bench/installbench` at "
                 "LogLevel 5 (the supervisor's default); \"before\" is the same driver built from %s in "
                 "its own directory. The floor is `igzip -dc` to nothing plus `tar -xf` of the plain tar "
                 "into an empty directory, the sum of the two. Packages are read from tmpfs in every "
                 "case." % before_name)
    lines.append("")
    lines.append("| package | compressed | tar stream | files |")
    lines.append("|---|---|---|---|")
    files = {"many-small": 5000, "typical": 320, "few-large": 4}
    for package in PACKAGES:
        c, t = sizes[package]
        lines.append("| %s | %.1f MB | %.1f MB | %d |" % (package, c / 1e6, t / 1e6, files[package]))
    lines.append("")
    if verified:
        lines.append("Installed trees checked identical (paths, sizes, MD5) to GNU tar's for: %s; every "
                     "replaced file found in the backup tree." % ", ".join(verified))
        lines.append("")
    if ext4_note:
        lines.append("ext4: " + ext4_note)
        lines.append("")
    verdicts = []
    for fs, _ in filesystems:
        lines.append("### %s" % ("tmpfs (/dev/shm)" if fs == "tmpfs" else "ext4, fresh loop-mounted image"))
        lines.append("")
        lines.append("Median wall time in seconds (median CPU seconds in brackets), peak RSS in MB, and the "
                     "product's time divided by each reference's, median of the per-round ratios "
                     "(wall / CPU).")
        lines.append("")
        lines.append("| package | mode | product | before | C model | GNU tar | bsdtar | floor | product RSS | "
                     "÷ before | ÷ C model | ÷ GNU tar | ÷ bsdtar | ÷ floor |")
        lines.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for package in PACKAGES:
            floor = install[(fs, package, "floor", "floor")]
            for mode in ("fresh", "over"):
                runs = {t: install[(fs, package, mode, t)] for t in TOOLS}
                cells = ["%s (%s)" % (fmt(median([x["wall"] for x in runs[t]])), fmt(median([x["cpu"] for x in runs[t]])))
                         for t in TOOLS]
                cells.append("%s (%s)" % (fmt(median([x["wall"] for x in floor])), fmt(median([x["cpu"] for x in floor]))))
                rss = max(x["rss"] for x in runs["product"]) / 1024.0
                ratios = []
                for ref in ("before", "cmodel", "gnutar", "bsdtar"):
                    w = median(ratio_series(runs["product"], runs[ref], "wall"))
                    c = median(ratio_series(runs["product"], runs[ref], "cpu"))
                    ratios.append("%s / %s" % (fmt(w), fmt(c)))
                w = median(ratio_series(runs["product"], floor, "wall"))
                c = median(ratio_series(runs["product"], floor, "cpu"))
                ratios.append("%s / %s" % (fmt(w), fmt(c)))
                lines.append("| %s | %s | %s | %.0f | %s |" % (package, "fresh" if mode == "fresh" else "backup",
                                                              " | ".join(cells), rss, " | ".join(ratios)))
                wm = median(ratio_series(runs["product"], runs["cmodel"], "wall"))
                wt = median(ratio_series(runs["product"], runs["gnutar"], "wall"))
                wb = median(ratio_series(runs["product"], runs["bsdtar"], "wall"))
                wf = median(ratio_series(runs["product"], floor, "wall"))
                where = "%s, %s, %s" % (package, "fresh" if mode == "fresh" else "backup", fs)
                verdicts.append("| install ≤ 1.05 × C model (%s) | %s | %s |" % (where, fmt(wm), check(wm <= 1.05)))
                verdicts.append("| install ≤ 1.0 × GNU tar (%s) | %s | %s |" % (where, fmt(wt), check(wt <= 1.0)))
                verdicts.append("| install ≤ 0.7 × bsdtar (%s) | %s | %s |" % (where, fmt(wb), check(wb <= 0.7)))
                verdicts.append("| install ≤ 1.3 × floor (%s) | %s | %s |" % (where, fmt(wf), check(wf <= 1.3)))
                if mode == "over":
                    wo = median(ratio_series(runs["product"], install[(fs, package, "fresh", "product")], "wall"))
                    verdicts.append("| backup ≤ 1.1 × fresh (%s, %s) | %s | %s |"
                                    % (package, fs, fmt(wo), check(wo <= 1.1)))
                if fs == "tmpfs":
                    c, t = sizes[package]
                    limit = t / 1048576.0 + 16
                    verdicts.append("| peak RSS ≤ tar + 16 MB (%s, %s) | %.0f MB (limit %.0f MB) | %s |"
                                    % (package, "fresh" if mode == "fresh" else "backup", rss, limit, check(rss <= limit)))
        lines.append("")
    lines.append("Decompression alone, to nothing (tmpfs), in the same rounds: `bench/inflatebench` reading "
                 "the package and decompressing it in memory with `inflateArchive`, with its zlib path "
                 "alone (the code of `inflateArchive` before the fast path), and with ISA-L and libdeflate "
                 "alone (whole package in memory, as `inflateArchive` has it); then the command-line "
                 "tools, which stream. Median wall seconds (CPU), whole processes, and `inflateArchive`'s "
                 "time divided by each other's, median of the per-round ratios (wall / CPU).")
    lines.append("")
    lines.append("| package | %s | %s |" % (" | ".join(DECOMPRESSOR_NAMES[t] for t in DECOMPRESSORS),
                                          " | ".join("÷ " + DECOMPRESSOR_NAMES[t] for t in DECOMPRESSORS[1:])))
    lines.append("|---|%s" % ("---|" * (2 * len(DECOMPRESSORS) - 1)))
    for package in PACKAGES:
        runs = {t: install[("tmpfs", package, "decompress", t)] for t in DECOMPRESSORS}
        cells = ["%s (%s)" % (fmt(median([x["wall"] for x in runs[t]])), fmt(median([x["cpu"] for x in runs[t]])))
                 for t in DECOMPRESSORS]
        cells += ["%s / %s" % (fmt(median(ratio_series(runs["product"], runs[t], "wall"))),
                               fmt(median(ratio_series(runs["product"], runs[t], "cpu"))))
                  for t in DECOMPRESSORS[1:]]
        lines.append("| %s | %s |" % (package, " | ".join(cells)))
    lines.append("")
    lines.append("What the 1 KiB inflate steps of the design cost (tmpfs, fresh): the plain-C model with "
                 "its steps at 64 KiB instead, in the same rounds; median seconds wall (CPU).")
    lines.append("")
    lines.append("| package | C model, 1 KiB steps | C model, 64 KiB steps | 1 KiB ÷ 64 KiB (CPU) |")
    lines.append("|---|---|---|---|")
    for package in PACKAGES:
        small = install[("tmpfs", package, "fresh", "cmodel")]
        large = install[("tmpfs", package, "fresh", "cmodel64")]
        lines.append("| %s | %s (%s) | %s (%s) | %s |" % (
            package, fmt(median([x["wall"] for x in small])), fmt(median([x["cpu"] for x in small])),
            fmt(median([x["wall"] for x in large])), fmt(median([x["cpu"] for x in large])),
            fmt(median(ratio_series(small, large, "cpu")))))
    lines.append("")
    lines.append("![Installation time ratios](benchmarks-install.png)")
    return lines, verdicts


def ipc_section(ipc, count):
    lines = ["%d round trips per command and round (one command at a time, each waiting for its answer), from "
             "127.0.0.1 to the supervisor (copied into a temporary directory, `cashsim` idling as the cash "
             "application) and to a minimal C echo peer (`bench/udpecho`) in the same rounds. Then a burst of "
             "100 commands sent back to back, counting the answers. Latencies in µs, medians over the rounds." % count,
             "",
             "| peer | command | p50 | p99 | max | commands/s | lost | wrong answers | burst answered |",
             "|---|---|---|---|---|---|---|---|---|"]
    verdicts = []
    echo = {}
    for (name, command), rows in ipc.items():
        if name == "C echo peer":
            echo[command] = rows
    for (name, command), rows in sorted(ipc.items()):
        lines.append("| %s | %s | %.0f | %.0f | %.0f | %.0f | %d | %d | %d/%d |" % (
            name, command, median([x["p50"] for x in rows]), median([x["p99"] for x in rows]),
            max(x["max"] for x in rows), median([x["rate"] for x in rows]), sum(x["lost"] for x in rows),
            sum(x["wrong"] for x in rows), min(x["answered"] for x in rows), rows[0]["burst"]))
    lines.append("")
    lines.append("| peer | command | p99 ÷ echo p99 (median of per-round ratios) | p50 ÷ echo p50 |")
    lines.append("|---|---|---|---|")
    for (name, command), rows in sorted(ipc.items()):
        if name == "C echo peer":
            continue
        ref = echo[command]
        r99 = median([a["p99"] / b["p99"] for a, b in zip(rows, ref)])
        r50 = median([a["p50"] / b["p50"] for a, b in zip(rows, ref)])
        lines.append("| %s | %s | %s | %s |" % (name, command, fmt(r99), fmt(r50)))
        verdicts.append("| command p99 ≤ 2 × echo (%s, %s) | %s | %s |" % (name, command, fmt(r99), check(r99 <= 2.0)))
        lost = sum(x["lost"] + x["wrong"] for x in rows) + sum(x["burst"] - x["answered"] for x in rows)
        verdicts.append("| no command lost (%s, %s) | %d lost | %s |" % (name, command, lost, check(lost == 0)))
    return lines, verdicts


def log_section(logres, filesystems, lines_count, length):
    lines = ["%d lines of %d bytes per run, a fresh file each run, same directory; lines per second, "
             "median over the rounds." % (lines_count, length), "",
             "| file system | Log::write | plain C fopen/fputs/fflush/fclose | ratio (median of per-round ratios) |",
             "|---|---|---|---|"]
    verdicts = []
    for fs, _ in filesystems:
        p, c = logres[(fs, "product")], logres[(fs, "plain")]
        ratio = median([a / b for a, b in zip(p, c)])
        lines.append("| %s | %.0f | %.0f | %s |" % (fs, median(p), median(c), fmt(ratio)))
        verdicts.append("| log ≥ 0.8 × plain C (%s) | %s | %s |" % (fs, fmt(ratio), check(ratio >= 0.8)))
    return lines, verdicts


def start_section(child, supervisor, idle):
    lines = []
    verdicts = []
    if child:
        extra = median(supervisor) - median(child)
        lines += ["Time from fork to the line \"%s\" in the supervisor's log (cash application: `bench/sleeper`), "
                  "and from fork to the first output of `bench/sleeper` started alone; ms, %d runs each, "
                  "alternating." % (STARTED_LINE, len(child)), "",
                  "| | median | min | max |", "|---|---|---|---|",
                  "| supervisor to its start line | %.1f | %.1f | %.1f |" % (median(supervisor), min(supervisor), max(supervisor)),
                  "| the cash application alone | %.1f | %.1f | %.1f |" % (median(child), min(child), max(child)),
                  "| difference of the medians | %.1f | | |" % extra, ""]
        verdicts.append("| start ≤ 30 ms beyond the child's own start | %.1f ms | %s |" % (extra, check(extra <= 30)))
    if idle:
        lines += ["Idle supervisor (cash application sleeping, maintenance off) over %d s, from 2 s after its start: "
                  "RSS from /proc/PID/status, CPU from utime + stime in /proc/PID/stat, context switches "
                  "(voluntary + involuntary)." % idle["seconds"], "",
                  "| RSS at start | RSS at end | peak RSS (VmHWM) | Pss | anonymous | CPU used | context switches |",
                  "|---|---|---|---|---|---|---|",
                  "| %.1f MB | %.1f MB | %.1f MB | %.1f MB | %.1f MB | %.0f ms | %d |" % (
                      idle["rss_start"] / 1024.0, idle["rss_end"] / 1024.0, idle["hwm"] / 1024.0,
                      idle["pss"] / 1024.0, idle["anon"] / 1024.0, idle["cpu_ms"], idle["switches"]),
                  "",
                  "Beside it, `bench/qtfloor`: the smallest program on the same Qt that binds a UDP socket, "
                  "loads the Windows-1251 codec and waits in its event loop with a one-minute timer.",
                  "",
                  "| | RSS | Pss | anonymous |", "|---|---|---|---|",
                  "| Qt floor | %.1f MB | %.1f MB | %.1f MB |" % (
                      idle["floor"]["rss"] / 1024.0, idle["floor"]["pss"] / 1024.0, idle["floor"]["anon"] / 1024.0),
                  "| supervisor | %.1f MB | %.1f MB | %.1f MB |" % (
                      idle["rss_end"] / 1024.0, idle["pss"] / 1024.0, idle["anon"] / 1024.0)]
        rss = max(idle["rss_start"], idle["rss_end"]) / 1024.0
        verdicts.append("| idle RSS ≤ 12 MB | %.1f MB (Qt floor %.1f MB) | %s |"
                        % (rss, idle["floor"]["rss"] / 1024.0, check(rss <= 12)))
        # One wake-up a minute for the maintenance timer; anything more is work between ticks.
        quiet = idle["cpu_ms"] <= 10 and idle["switches"] <= 2 + idle["seconds"] // 60 * 2
        verdicts.append("| no CPU between ticks | %.0f ms CPU, %d switches in %d s | %s |"
                        % (idle["cpu_ms"], idle["switches"], idle["seconds"], check(quiet)))
    return lines, verdicts


# ---------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--before-build", help="build directory of the revision to compare with")
    parser.add_argument("--before-name", default="the revision before")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--ipc-rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--only", default="install,ipc,log,start,idle")
    parser.add_argument("--no-ext4", action="store_true")
    parser.add_argument("--out", default=os.path.join(REPO, "docs"))
    parser.add_argument("--report-only", action="store_true",
                        help="rewrite benchmarks.md from the results of the last run (new notes)")
    args = parser.parse_args()
    saved = os.path.join(os.path.abspath(args.build), "bench-results.json")
    if args.report_only:
        with open(saved) as f:
            r = json.load(f)
        report(r["args"], r["info"], r["load_start"], r["load_end"], r["sections"],
               os.path.join(args.out, "benchmarks.md"))
        return
    build = os.path.abspath(args.build)
    only = set(args.only.split(","))
    os.makedirs(WORK, exist_ok=True)
    os.makedirs(args.out, exist_ok=True)

    def on_signal(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    info = machine_info(build)
    load_start = load_average()
    log("machine: %s × %s, load %s" % (info["nproc"], info["cpu"], load_start))
    sections = []
    filesystems = [("tmpfs", os.path.join(WORK, "fs"))]
    ext4_note = ""
    idle_proc = None
    try:
        if "idle" in only:
            idle_proc = start_idle(build, 60)
        if "install" in only or "log" in only:
            if args.no_ext4:
                ext4_note = "skipped (--no-ext4)"
            else:
                mount, why = mount_ext4()
                if mount:
                    filesystems.append(("ext4", mount))
                else:
                    ext4_note = "skipped: " + why
                    log("ext4 " + ext4_note)
            for _, root in filesystems:
                os.makedirs(root, exist_ok=True)
        if "install" in only:
            log("generating packages (cached in %s)" % DATA)
            sh([sys.executable, os.path.join(REPO, "bench", "genpkg.py"), DATA])
            if not args.before_build:
                parser.error("the installation benchmark needs --before-build")
            builds = {"product": build, "before": os.path.abspath(args.before_build)}
            install, verified = bench_install(builds, args.rounds, filesystems)
            lines, verdicts = install_section(install, verified, filesystems, ext4_note, args.rounds,
                                              args.before_name)
            write_chart(install, filesystems, os.path.join(args.out, "benchmarks-install.png"))
            sections.append(("Update installation", lines, verdicts))
        if "ipc" in only:
            ipc = bench_ipc(build, args.ipc_rounds, args.count,
                            os.path.abspath(args.before_build) if args.before_build else None,
                            args.before_name)
            sections.append(("Command round trip", *ipc_section(ipc, args.count)))
        if "log" in only:
            logres = bench_log(build, 3 * args.rounds, filesystems, 20000, 100)
            sections.append(("Log", *log_section(logres, filesystems, 20000, 100)))
        child = supervisor = None
        if "start" in only:
            child, supervisor = bench_start(build, 2 * args.ipc_rounds)
            log("start done")
        idle = None
        if idle_proc:
            log("waiting for the idle measurement")
            idle = finish_idle(idle_proc, build)
        if child or idle:
            sections.append(("Start and idle", *start_section(child or [], supervisor or [], idle)))
        results = {"args": {"rounds": args.rounds, "ipc_rounds": args.ipc_rounds}, "info": info,
                   "load_start": load_start, "load_end": load_average(), "sections": sections}
        with open(saved, "w") as f:
            json.dump(results, f, indent=1)
        report(results["args"], info, load_start, results["load_end"], sections,
               os.path.join(args.out, "benchmarks.md"))
        log("wrote %s" % os.path.join(args.out, "benchmarks.md"))
    finally:
        for proc in started_processes:
            if proc.poll() is None:
                end_process_tree(proc)
        for fs, root in filesystems:
            shutil.rmtree(root, ignore_errors=True)
        unmount_ext4()
        for sub in ("ipc", "start", "idle", "fs"):
            shutil.rmtree(os.path.join(WORK, sub), ignore_errors=True)


if __name__ == "__main__":
    main()
