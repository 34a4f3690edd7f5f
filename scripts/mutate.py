#!/usr/bin/env python3
"""The mutation check behind scripts/mutate.sh: applies the mutations of scripts/mutations.txt one
at a time to a copy of the tree, rebuilds it incrementally and runs the tests until one fails.
scripts/mutate.sh --help describes its use."""

import argparse
import datetime
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FINAL = ("killed", "timeout", "survived", "stale", "nocompile")
COLUMNS = ("id", "folder", "file", "status", "test", "seconds", "description")


class Mutation:
    def __init__(self, ident, path, line):
        self.id = ident
        self.path = path
        self.line = line
        self.description = ""
        self.find = []
        self.replace = []

    @property
    def folder(self):
        parts = self.path.split("/")
        return parts[1] if len(parts) > 2 and parts[0] in ("src", "tools") else parts[0]

    def apply(self, text):
        """The mutated text, or None with the number of times the text was found."""
        needle = "\n".join(self.find)
        count = text.count(needle)
        if count != 1:
            return None, count
        return text.replace(needle, "\n".join(self.replace), 1), 1


def parse_list(path):
    mutations = []
    current = None
    header = re.compile(r"^\[([A-Za-z0-9_.-]+)\]\s+(\S+)\s*$")
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            match = header.match(line)
            if match:
                current = Mutation(match.group(1), match.group(2), number)
                mutations.append(current)
            elif line.startswith("#") or not line.strip():
                continue
            elif current is None:
                sys.exit(f"{path}:{number}: text before the first [id] line")
            elif line == "-" or line.startswith("- "):
                current.find.append(line[2:])
            elif line == "+" or line.startswith("+ "):
                current.replace.append(line[2:])
            elif not current.description and not current.find:
                current.description = line.strip()
            else:
                sys.exit(f"{path}:{number}: expected '- ', '+ ' or a new [id] line")
    seen = set()
    for m in mutations:
        if m.id in seen:
            sys.exit(f"{path}:{m.line}: id {m.id} used twice")
        seen.add(m.id)
        if not m.find or not m.description:
            sys.exit(f"{path}:{m.line}: {m.id} needs a description and a '- ' line")
    return mutations


def select(mutations, wanted):
    if not wanted:
        return mutations
    chosen = [m for m in mutations if m.id in wanted or m.folder in wanted]
    unknown = [w for w in wanted if not any(w in (m.id, m.folder) for m in mutations)]
    if unknown:
        sys.exit("no mutation or folder named " + ", ".join(unknown))
    return chosen


def read_results(path):
    """Rows of a result file by id, and its comment lines."""
    rows, notes = {}, []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("#"):
                notes.append(line)
                continue
            cells = line.split("\t")
            if cells[0] == "id" or len(cells) < len(COLUMNS):
                continue
            rows[cells[0]] = dict(zip(COLUMNS, cells))
    return rows, notes


def write_results(path, rows, notes):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        for note in notes:
            f.write(note + "\n")
        f.write("\t".join(COLUMNS) + "\n")
        for row in rows:
            f.write("\t".join(str(row[c]).replace("\t", " ") for c in COLUMNS) + "\n")
    os.replace(tmp, path)


def summary(rows):
    folders = []
    for row in rows:
        if row["folder"] not in folders:
            folders.append(row["folder"])
    lines = ["%-12s %5s %7s %8s %8s %6s %9s %6s" % ("folder", "total", "killed", "timeout",
                                                     "survived", "stale", "nocompile", "score")]
    for folder in folders + ["all"]:
        chosen = [r for r in rows if folder in ("all", r["folder"])]
        n = {s: sum(1 for r in chosen if r["status"] == s) for s in FINAL}
        judged = n["killed"] + n["timeout"] + n["survived"]
        score = "%5.0f%%" % (100.0 * (n["killed"] + n["timeout"]) / judged) if judged else "-"
        lines.append("%-12s %5d %7d %8d %8d %6d %9d %6s" % (folder, len(chosen), n["killed"],
                                                            n["timeout"], n["survived"],
                                                            n["stale"], n["nocompile"], score))
    return "\n".join(lines)


def compare(before_path, after_path):
    before, _ = read_results(before_path)
    after, _ = read_results(after_path)
    lost, unknown = [], []
    for ident, row in before.items():
        if row["status"] not in ("killed", "timeout"):
            continue
        other = after.get(ident)
        if other is None or other["status"] in ("stale", "nocompile"):
            unknown.append((ident, other["status"] if other else "not run", row["description"]))
        elif other["status"] == "survived":
            lost.append((ident, row["test"], row["description"]))
    for ident, test, description in lost:
        print(f"LOST     {ident:16} killed by {test} before, survives after: {description}")
    for ident, status, description in unknown:
        print(f"UNKNOWN  {ident:16} killed before, {status} after (fix the list): {description}")
    killed_before = sum(1 for r in before.values() if r["status"] in ("killed", "timeout"))
    print(f"{killed_before} killed in {before_path}; {len(lost)} of them survive in {after_path}; "
          f"{len(unknown)} not compared")
    return 1 if lost else (2 if unknown else 0)


# ---------------------------------------------------------------------------------- the tree

def source_files():
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                         cwd=ROOT, check=True, stdout=subprocess.PIPE).stdout
    return [p for p in out.decode().split("\0") if p and os.path.isfile(os.path.join(ROOT, p))]


def sync_tree(tree):
    """Copies the working tree (without build directories) into tree, touching only the files
    that differ, so that the build there stays incremental from run to run."""
    wanted = set(source_files())
    for path in sorted(wanted):
        src, dst = os.path.join(ROOT, path), os.path.join(tree, path)
        with open(src, "rb") as f:
            data = f.read()
        if os.path.isfile(dst) and not os.path.islink(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)
    for base, _dirs, files in os.walk(tree):
        for name in files:
            rel = os.path.relpath(os.path.join(base, name), tree)
            if rel not in wanted:
                os.remove(os.path.join(base, name))


def commit_description():
    def git(*args):
        return subprocess.run(["git", *args], cwd=ROOT, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout.strip()
    # What the tests run against: the code, not the documents or this script.
    code = ("src", "tools", "tests", "CMakeLists.txt", "cmake")
    dirty = git("status", "--porcelain", "--untracked-files=no", "--", *code)
    return "%s (code as of %s%s)" % (git("rev-parse", "HEAD"),
                                     git("log", "-1", "--format=%h", "--", *code),
                                     ", with uncommitted changes" if dirty else "")


# -------------------------------------------------------------------------------- processes

def end_stragglers(marker):
    """Ends every process that carries this run's marker in its environment: whatever a test
    left running (a supervisor, its cash application, a restart script), and nothing else."""
    token = marker.encode()
    me = os.getpid()
    for _ in range(3):
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit() or int(pid) == me:
                continue
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if token in f.read().split(b"\0"):
                        found.append(int(pid))
            except OSError:
                continue
        if not found:
            return
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        time.sleep(0.2)


def run_limited(command, cwd, env, limit, log):
    """Runs command (a list, or a shell text) with a time limit; 'passed', 'failed' or
    'timeout'."""
    shell = isinstance(command, str)
    with open(log, "ab") as out:
        out.write(f"\n$ {command if shell else shlex.join(command)}\n".encode())
        out.flush()
        started = time.monotonic()
        proc = subprocess.Popen(command, shell=shell, cwd=cwd, env=env, stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            code = proc.wait(timeout=limit)
        except BaseException as e:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except OSError:
                pass
            proc.wait()
            if not isinstance(e, subprocess.TimeoutExpired):
                raise
            out.write(f"\n*** no end after {limit:.0f} s\n".encode())
            return "timeout"
        out.write(f"[exit status {code} after {time.monotonic() - started:.1f} s]\n".encode())
    return "passed" if code == 0 else "failed"


class Runner:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.tree = os.path.join(self.work, "tree")
        self.build = os.path.join(self.work, "build")
        self.tmp = os.path.join(self.work, "tmp")
        self.logs = os.path.join(self.work, "logs")
        for d in (self.tree, self.build, self.tmp, self.logs):
            os.makedirs(d, exist_ok=True)
        self.marker = f"LCS_MUTATE_RUN={os.getpid()}-{int(time.time())}"
        self.env = dict(os.environ)
        self.env["TMPDIR"] = self.tmp
        self.env["LCS_MUTATE_RUN"] = self.marker.split("=", 1)[1]
        self.env.setdefault("CCACHE_DIR", os.path.join(self.work, "ccache"))
        self.durations = {}
        self.commands = {}  # test -> (command, environment, directory)
        self.output = ""
        self.killers = {}  # file -> tests that killed a mutation there, and folder -> the same

    # The build ---------------------------------------------------------------------------

    def configure(self):
        if os.path.exists(os.path.join(self.build, "build.ninja")):
            return True
        command = ["cmake", "-S", self.tree, "-B", self.build, "-G", "Ninja",
                   "-DCMAKE_BUILD_TYPE=Debug", "-DLCS_WERROR=ON",
                   f"-DLCS_QT_VERSION={self.args.qt}"]
        if shutil.which("ccache"):
            command.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        command += self.args.cmake_arg
        return run_limited(command, self.work, self.env, None,
                           os.path.join(self.logs, "configure.log")) == "passed"

    def build_tree(self, log):
        if self.args.build_cmd:
            command = self.args.build_cmd
        else:
            command = ["cmake", "--build", self.build, "-j", str(self.args.jobs)]
        return run_limited(command, self.tree, self.env, self.args.build_timeout, log)

    # The tests ---------------------------------------------------------------------------

    def list_tests(self):
        out = subprocess.run(["ctest", "-N", *self.args.ctest_arg], cwd=self.build, env=self.env,
                             stdout=subprocess.PIPE, text=True, check=True).stdout
        return re.findall(r"Test\s+#\d+: (\S+)", out)

    def limit(self, test):
        if test not in self.durations:
            # A test not timed yet (the baseline) gets what the project's test script allows.
            return max(self.args.timeout, 600)
        return max(self.args.timeout, self.args.timeout_factor * self.durations[test])

    def load_commands(self):
        """Each test's command line, environment and directory, as CTest runs it."""
        out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build, env=self.env,
                             stdout=subprocess.PIPE, text=True, check=True).stdout
        for test in json.loads(out).get("tests", []):
            env, cwd = dict(self.env), self.build
            for prop in test.get("properties", []):
                if prop["name"] == "ENVIRONMENT":
                    env.update(v.split("=", 1) for v in prop["value"] if "=" in v)
                elif prop["name"] == "WORKING_DIRECTORY":
                    cwd = prop["value"]
            if test.get("command"):
                self.commands[test["name"]] = (test["command"], env, cwd)

    def fresh_start(self):
        for entry in os.listdir(self.tmp):
            shutil.rmtree(os.path.join(self.tmp, entry), ignore_errors=True)

    def run_logged(self, command, cwd, env, limit, log):
        """run_limited, keeping the output of this one run in self.output."""
        start = os.path.getsize(log)
        outcome = run_limited(command, cwd, env, limit, log)
        end_stragglers(self.marker)
        with open(log, "rb") as f:
            f.seek(start)
            self.output = f.read().decode("utf-8", "replace")
        return outcome

    def run_test(self, test, log):
        self.fresh_start()
        command = ["ctest", "-R", f"^{re.escape(test)}$", "--output-on-failure",
                   "--timeout", "%.0f" % self.limit(test)]
        started = time.monotonic()
        outcome = self.run_logged(command, self.build, self.env, self.limit(test) + 60, log)
        seconds = time.monotonic() - started
        if outcome == "failed" and "***Timeout" in self.output:
            outcome = "timeout"
        return outcome, seconds

    def confirm(self, test, outcome, log):
        """Whether a failure repeats: the test functions that failed are run again alone when
        the output names them (a slow test need not run whole twice), else the whole test.
        Returns the outcome of the repetition."""
        failed = sorted(set(f"{m.group(1)}:{m.group(2)}" if m.group(2) else m.group(1)
                            for m in re.finditer(r"^FAIL!  : \w+::(\w+)\((.*?)\) ",
                                                 self.output, re.M)))
        if outcome == "failed" and failed and test in self.commands:
            command, env, cwd = self.commands[test]
            self.fresh_start()
            again = self.run_logged(command + failed, cwd, env, self.limit(test), log)
            if again == "passed" or (again == "failed" and "FAIL!  : " in self.output):
                return again
        return self.run_test(test, log)[0]

    def order(self, tests, mutation=None):
        """Fast tests first; before them, those that killed mutations of the same file, then
        of the same folder (this run's and the seed file's), fast ones first too."""
        def rank(test):
            group = 2
            if mutation is not None:
                if test in self.killers.get(mutation.path, ()):
                    group = 0
                elif test in self.killers.get(mutation.folder, ()):
                    group = 1
            return (group, self.durations.get(test, float("inf")), test)
        return sorted(tests, key=rank)

    def learn(self, row):
        if row["status"] in ("killed", "timeout") and row["test"]:
            for key in (row["file"], row["folder"]):
                self.killers.setdefault(key, set()).add(row["test"])

    def run_suite(self, tests, mutation, log):
        """('survived', '') or ('killed'|'timeout', test). A failure counts once it repeats:
        the machine is shared, and a test starved once must not pass for a kill."""
        unstable = []
        for test in self.order(tests, mutation):
            outcome, _ = self.run_test(test, log)
            if outcome == "passed":
                continue
            again = self.confirm(test, outcome, log)
            if again != "passed":
                return ("timeout" if "timeout" in (outcome, again) else "killed", test)
            unstable.append(test)
        return ("survived", ",".join(f"{t}?" for t in unstable))

    def baseline(self, tests):
        log = os.path.join(self.logs, "baseline.log")
        open(log, "w").close()
        print(f"baseline: {len(tests)} tests without mutation", flush=True)
        for test in self.order(tests):
            outcome, seconds = self.run_test(test, log)
            if outcome != "passed":
                outcome, seconds = self.run_test(test, log)
            if outcome != "passed":
                sys.exit(f"baseline: {test} {outcome} without any mutation (see {log})")
            self.durations[test] = seconds
            print(f"  {test:28} {seconds:7.1f} s", flush=True)
        with open(os.path.join(self.work, "durations.tsv"), "w") as f:
            for test, seconds in self.durations.items():
                f.write(f"{test}\t{seconds:.1f}\n")
        print(f"baseline: {sum(self.durations.values()):.0f} s for the whole suite", flush=True)

    def load_durations(self):
        path = os.path.join(self.work, "durations.tsv")
        if not os.path.exists(path):
            return False
        with open(path) as f:
            for line in f:
                test, seconds = line.split("\t")
                self.durations[test] = float(seconds)
        return True

    # One mutation ------------------------------------------------------------------------

    def mutate(self, mutation, tests):
        started = time.monotonic()
        row = {"id": mutation.id, "folder": mutation.folder, "file": mutation.path,
               "status": "", "test": "", "seconds": 0, "description": mutation.description}
        path = os.path.join(self.tree, mutation.path)
        log = os.path.join(self.logs, mutation.id + ".log")
        open(log, "w").close()
        original = None
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as f:
                original = f.read()
        mutated, count = mutation.apply(original) if original is not None else (None, 0)
        if mutated is None:
            row["status"] = "stale"
            row["test"] = f"found {count} times" if original is not None else "no such file"
        else:
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(mutated)
                outcome = self.build_tree(log)
                if outcome != "passed":
                    row["status"] = "nocompile"
                    row["test"] = "build " + outcome
                elif self.args.test_cmd:
                    outcome = run_limited(self.args.test_cmd, self.build, self.env,
                                          self.args.suite_timeout, log)
                    end_stragglers(self.marker)
                    row["status"] = {"passed": "survived", "failed": "killed"}.get(outcome,
                                                                                   outcome)
                    row["test"] = "test command" if outcome != "passed" else ""
                else:
                    row["status"], row["test"] = self.run_suite(tests, mutation, log)
            finally:
                # A fresh time stamp on the restored file makes the next build compile it again.
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
        row["seconds"] = int(time.monotonic() - started)
        return row


def check_list(mutations):
    """Applies nothing: tells for each mutation whether its text is found exactly once."""
    bad = 0
    for m in mutations:
        path = os.path.join(ROOT, m.path)
        if not os.path.isfile(path):
            print(f"{m.id:16} stale: no file {m.path}")
            bad += 1
            continue
        with open(path, encoding="utf-8") as f:
            _, count = m.apply(f.read())
        if count != 1:
            print(f"{m.id:16} stale: its text is found {count} times in {m.path}")
            bad += 1
    print(f"{len(mutations) - bad} of {len(mutations)} mutations apply")
    return 1 if bad else 0


def interrupt(signum, _frame):
    raise KeyboardInterrupt(signal.Signals(signum).name)


def main():
    # Ended from outside, the run still puts the mutated file back and keeps its results.
    signal.signal(signal.SIGTERM, interrupt)
    if signal.getsignal(signal.SIGHUP) != signal.SIG_IGN:  # not under nohup
        signal.signal(signal.SIGHUP, interrupt)
    parser = argparse.ArgumentParser(
        prog="scripts/mutate.sh",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Tells which faults of a fixed list the tests catch.\n\n"
        "Applies each mutation of the list to a copy of the tree in WORK/tree, rebuilds the Qt\n"
        "build in WORK/build incrementally and runs the tests, fast ones first (those that killed\n"
        "mutations of the same file before them), until one fails (killed) or passes its time\n"
        "limit (timeout); a failure counts when it repeats (the failed test functions run again\n"
        "alone, or the whole test when its output names none). A mutation no test\n"
        "notices survived; one whose text is not found exactly once is stale, one that does not\n"
        "build nocompile: fix both in the list. Results go to WORK/results.tsv after each\n"
        "mutation, the output of each to WORK/logs/ID.log.",
        epilog="Exit status: 0 when no mutation survived and none is stale or failed to build;\n"
        "1 otherwise; with --compare, 1 when a mutation killed in BEFORE survives in AFTER, 2\n"
        "when some could not be compared.")
    parser.add_argument("only", nargs="*", metavar="ID|FOLDER",
                        help="run only these mutations, or those of these folders (log, config, "
                        "ipc, process, maintenance, update, app, cashpkg)")
    parser.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutations.txt"),
                        help="the list of mutations (default: scripts/mutations.txt)")
    parser.add_argument("--work", default="/dev/shm/lcs-mutate",
                        help="work area for the copy, the build and the results "
                        "(default: /dev/shm/lcs-mutate); kept for the next run")
    parser.add_argument("--results", help="result file (default: WORK/results.tsv)")
    parser.add_argument("--resume", action="store_true",
                        help="keep the results already in the result file and run the rest")
    parser.add_argument("--qt", default="6", choices=("5", "6"), help="Qt version (default 6)")
    parser.add_argument("--cmake-arg", action="append", default=[],
                        help="one more argument for configuring the build (repeatable)")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build jobs (default 2)")
    parser.add_argument("--build-cmd", help="build with this shell command, run in WORK/tree, "
                        "instead of 'cmake --build WORK/build'")
    parser.add_argument("--test-cmd", help="test with this shell command, run in WORK/build, "
                        "instead of the tests one by one: non-zero exit status kills")
    parser.add_argument("--ctest-arg", action="append", default=[],
                        help="selects the tests, as an argument to 'ctest -N' (repeatable; e.g. "
                        "--ctest-arg=-LE --ctest-arg=load)")
    parser.add_argument("--timeout", type=float, default=60,
                        help="least time limit of one test in seconds (default 60)")
    parser.add_argument("--timeout-factor", type=float, default=5,
                        help="a test's limit is this many times its baseline time, if more "
                        "(default 5)")
    parser.add_argument("--suite-timeout", type=float, default=3600,
                        help="time limit of --test-cmd (default 3600 s)")
    parser.add_argument("--build-timeout", type=float, default=1800,
                        help="time limit of one build (default 1800 s)")
    parser.add_argument("--skip-baseline", action="store_true",
                        help="take the test times from the last baseline run (WORK/durations.tsv) "
                        "instead of running the tests without mutation first")
    parser.add_argument("--seed", help="result file whose killing tests are tried first "
                        "(default: docs/mutation-baseline.tsv; '' for none)")
    parser.add_argument("--check", action="store_true",
                        help="only tell which mutations no longer apply to the source; build "
                        "nothing")
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                        help="list the mutations killed in result file BEFORE that survive in "
                        "AFTER; run nothing")
    args = parser.parse_args()

    if args.compare:
        return compare(*args.compare)
    mutations = select(parse_list(args.list), set(args.only))
    if args.check:
        return check_list(mutations)

    runner = Runner(args)
    results = args.results or os.path.join(runner.work, "results.tsv")
    kept = {}
    if args.resume and os.path.exists(results):
        kept = {i: r for i, r in read_results(results)[0].items() if r["status"] in FINAL}
    notes = [f"# scripts/mutate.sh on {commit_description()}",
             f"# started {datetime.datetime.now().isoformat(timespec='seconds')}, Qt {args.qt}, "
             f"{len(mutations)} mutations from {os.path.relpath(args.list, ROOT)}"]

    print(f"copying the tree to {runner.tree}", flush=True)
    sync_tree(runner.tree)
    if not runner.configure():
        sys.exit(f"cannot configure the build (see {runner.logs}/configure.log)")
    print(f"building in {runner.build}", flush=True)
    if runner.build_tree(os.path.join(runner.logs, "build.log")) != "passed":
        sys.exit(f"the tree does not build without mutation (see {runner.logs}/build.log)")
    tests = runner.list_tests() if not args.test_cmd else []
    runner.load_commands()
    if not args.test_cmd:
        if not (args.skip_baseline and runner.load_durations()):
            runner.baseline(tests)
    seed = args.seed if args.seed is not None else os.path.join(ROOT, "docs",
                                                                  "mutation-baseline.tsv")
    if seed and os.path.exists(seed):
        for row in read_results(seed)[0].values():
            runner.learn(row)
    for row in kept.values():
        runner.learn(row)

    rows = []
    interrupted = False
    try:
        for number, mutation in enumerate(mutations, 1):
            if mutation.id in kept:
                rows.append(kept[mutation.id])
                continue
            row = runner.mutate(mutation, tests)
            runner.learn(row)
            rows.append(row)
            write_results(results, rows, notes)
            print(f"[{number}/{len(mutations)}] {row['id']:16} {row['status']:9} "
                  f"{row['test']:28} {row['seconds']:5d} s  {row['description']}", flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print("\ninterrupted: the tree is restored; --resume goes on from here", flush=True)
    notes.append(f"# finished {datetime.datetime.now().isoformat(timespec='seconds')}"
                 + (" (interrupted)" if interrupted else ""))
    write_results(results, rows, notes)
    print()
    print(summary(rows))
    survivors = [r for r in rows if r["status"] not in ("killed", "timeout")]
    for row in survivors:
        print(f"{row['status']:9} {row['id']:16} {row['file']}: {row['description']}")
    print(f"results: {results}")
    return 1 if survivors or interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
