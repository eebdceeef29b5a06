#!/usr/bin/python3
"""zorv against a plain-Python baseline on generated corpora, in one command.

    python3 bench/run.py [--quick] [options] [corpus ...]

Builds zorv in Release in build/bench, writes the corpora that are missing
(bench/gen_corpus.py), then for each corpus runs `zorv -R <corpus>` (the file
itself for nosig) and `/usr/bin/python3 bench/baseline.py -R <corpus>`: one
warm-up each, then the measured runs, alternating zorv and baseline. Prints a
Markdown table of medians (wall, user, sys, ns per central-directory entry,
peak RSS, zorv/baseline wall) and whether the two reports hold the same
groups, and appends it to bench/results-<date>.md. See bench/README.md.

    python3 bench/run.py --slow US[,US...] [--variant CMD ...] [options] [corpus ...]

Slow storage (as root): the corpus (default medium) mounted behind
bench/fuse_latency.c, which waits US microseconds in every operation it
serves; the --variant zorv commands and the baseline alternate, the page
cache dropped before every run.

    python3 bench/run.py --scale [--runs N] [--zorv PATH] [corpus ...]

zorv against bench/scale_probe.cc at one and ten million entries
(bench/scale.py).

    python3 bench/run.py --cache [--runs N] [--zorv PATH] [--touch 0.1] [corpus]

-c with no cache, a cold one, a warm one and a warm one after touching a
tenth of the archives, alternating (bench/cache_run.py).
"""

import argparse
import contextlib
import datetime
import fcntl
import os
import platform
import re
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402

BUILD_DIR = "build/bench"
# The system interpreter: a version-manager shim on PATH costs ~0.5 s a start.
SYSTEM_PYTHON = "/usr/bin/python3"
TIME = "/usr/bin/time"  # GNU time (Debian package "time"), for the peak RSS
OUT_DIR = os.path.join("bench", "corpora", "_out")  # git-ignored with the corpora


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def build(jobs):
    configure = ["cmake", "-S", ".", "-B", BUILD_DIR, "-DCMAKE_BUILD_TYPE=Release",
                 "-DZORV_WERROR=ON", "-DZORV_TESTS=OFF"]
    if not os.path.exists(os.path.join(BUILD_DIR, "CMakeCache.txt")):
        configure[1:1] = ["-G", "Ninja"]
    for cmd in (configure, ["cmake", "--build", BUILD_DIR, "-j", str(jobs), "--target", "zorv"]):
        log("$ " + shlex.join(cmd))
        subprocess.run(cmd, check=True, stdout=sys.stderr)
    return os.path.join(BUILD_DIR, "zorv")


class Run:
    """One finished process: times in seconds, peak RSS in KiB."""

    def __init__(self, wall, ru, maxrss_kib, status, timed_out, out_path, err_path, digest):
        self.wall = wall
        self.user = ru.ru_utime
        self.sys = ru.ru_stime
        self.maxrss_kib = maxrss_kib
        self.exit = os.waitstatus_to_exitcode(status)
        self.timed_out = timed_out
        self.out_path = out_path
        self.err_path = err_path
        self.out_digest = digest if digest is not None else file_digest(out_path)


class Checksum:
    """What shows a report did not change between runs: its length and
    CRC-32. Cheap on purpose: the measured runs check their report as it
    comes out of the pipe, and a reader slower than the tool makes the tool
    wait (SHA-256 here ran at about 1.5 GB/s, slower than zorv writes)."""

    def __init__(self):
        self.crc = 0
        self.length = 0

    def update(self, data):
        self.crc = zlib.crc32(data, self.crc)
        self.length += len(data)

    def hexdigest(self):
        return "%d:%08x" % (self.length, self.crc)


def file_digest(path):
    c = Checksum()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            c.update(block)
    return c.hexdigest()


F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)


def drain(fd, c):
    """Reads a pipe to its end into checksum c, through one buffer: a fresh
    1 MiB object per read would cost the reader a page fault per 4 KiB."""
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    with os.fdopen(fd, "rb", buffering=0) as f:
        while True:
            n = f.readinto(view)
            if not n:
                break
            c.update(view[:n])


def run_once(argv, env, out_path, err_path, timeout, stream=False):
    """Runs argv with stdout and stderr to files, or with stdout into a pipe
    that is read and checked as it comes (stream=True).

    The measured runs stream: written to a file, a report of tens of MB is
    billed for the file system's work (ext4 flushes a file that was
    truncated and written again when it is closed, and runs reuse names), and
    that work varies with whatever writeback is going on. The warm-up run of
    each tool writes its report to a file, for the comparison.

    User and sys time come from wait4 on the child, which includes the
    grandchildren it reaped. Peak RSS comes from GNU time, which runs the
    command: Linux carries the largest RSS seen across exec, so ru_maxrss of
    a process spawned straight from this (much larger) interpreter would
    report the interpreter's RSS, not the command's.
    """
    rss_path = out_path + ".rss"
    argv = [TIME, "-f", "%M", "-o", rss_path] + argv
    digest, reader = None, None
    if stream:
        read_fd, out_fd = os.pipe()
        # A 1 MiB pipe: with the default 64 KiB the tool waits on the reader
        # every few lines of a large report.
        try:
            fcntl.fcntl(out_fd, F_SETPIPE_SZ, 1 << 20)
        except OSError:
            pass
    else:
        out_fd = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    with open(err_path, "wb") as err, open(os.devnull, "rb") as devnull:
        actions = [(os.POSIX_SPAWN_DUP2, devnull.fileno(), 0),
                   (os.POSIX_SPAWN_DUP2, out_fd, 1),
                   (os.POSIX_SPAWN_DUP2, err.fileno(), 2)]
        killed = threading.Event()
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, env, file_actions=actions, setpgroup=0)
        os.close(out_fd)
        if stream:
            digest = Checksum()
            reader = threading.Thread(target=drain, args=(read_fd, digest))
            reader.start()

        def kill():
            killed.set()
            os.killpg(pid, signal.SIGKILL)

        timer = threading.Timer(timeout, kill) if timeout > 0 else None
        if timer:
            timer.start()
        try:
            _, status, ru = os.wait4(pid, 0)
        except BaseException:  # Ctrl-C: the tool has its own process group
            if timer:
                timer.cancel()
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            os.waitpid(pid, 0)
            raise
        wall = time.perf_counter() - start
        if timer:
            timer.cancel()
        if reader:
            reader.join()
    try:
        with open(rss_path) as f:
            maxrss_kib = int(f.read().split()[-1])
    except (OSError, ValueError, IndexError):
        maxrss_kib = 0
    return Run(wall, ru, maxrss_kib, status, killed.is_set(), out_path, err_path,
               digest.hexdigest() if digest is not None else None)


def parse_report(path, prefix):
    """Groups in a zorv-format report: {crc: sorted tuple of (archive, name)}.

    Archive paths are made relative to the corpus by removing `prefix`.
    Also returns a list of problems (unexpected lines, a CRC-32 twice).
    """
    groups, problems = {}, []
    crc, members = None, None
    with open(path, "rb") as f:
        for raw in f:
            line = raw.rstrip(b"\n")
            if line.startswith(b"CRC32: 0x"):
                crc, members = int(line[9:], 16), []
            elif line.startswith(b"file: ") and members is not None:
                archive, _, name = line[6:].partition(b", ")
                archive = os.fsdecode(archive)
                if archive.startswith(prefix):
                    archive = archive[len(prefix):]
                members.append((archive, name.decode("utf-8", "surrogateescape")))
            elif line == b"-------" and members is not None:
                if crc in groups:
                    problems.append("CRC32 0x%08x reported twice" % crc)
                    members = list(groups[crc]) + members
                groups[crc] = tuple(sorted(members))
                crc, members = None, None
            elif len(problems) < 5:
                problems.append("unexpected line %r" % line[:80])
    if members is not None:
        problems.append("last group not terminated")
    return groups, problems


def compare(zorv_groups, base_groups, expected_digest):
    """'yes', or a description of what differs."""
    if zorv_groups == base_groups:
        if gen_corpus.group_digest(zorv_groups) == expected_digest:
            return "yes", []
        return "NO: both differ from the generator's groups", []
    only_z = sorted(set(zorv_groups) - set(base_groups))
    only_b = sorted(set(base_groups) - set(zorv_groups))
    differ = sorted(c for c in set(zorv_groups) & set(base_groups)
                    if zorv_groups[c] != base_groups[c])
    details = []
    for c in only_z[:20]:
        details.append("only zorv: 0x%08x %r" % (c, zorv_groups[c][:4]))
    for c in only_b[:20]:
        details.append("only baseline: 0x%08x %r" % (c, base_groups[c][:4]))
    for c in differ[:20]:
        z, b = set(zorv_groups[c]), set(base_groups[c])
        details.append("0x%08x: zorv-only %r, baseline-only %r" %
                       (c, sorted(z - b)[:4], sorted(b - z)[:4]))
    return ("NO: %d groups only in zorv, %d only in baseline, %d with other members" %
            (len(only_z), len(only_b), len(differ))), details


def first_line(path):
    with open(path, "rb") as f:
        return f.readline().decode("utf-8", "replace").strip()


def bench_corpus(name, meta, tools, args):
    target = os.path.normpath(os.path.join("bench", "corpora", name, meta["target"]))
    prefix = os.path.join("bench", "corpora", name) + "/"
    out_dir = os.path.join(OUT_DIR, name)
    os.makedirs(out_dir, exist_ok=True)
    argvs = {tool: cmd + [target] for tool, cmd in tools.items()}
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)

    def run(tool, what):
        stem = os.path.join(out_dir, "%s.%s" % (tool, what))
        r = run_once(argvs[tool], env, stem + ".out", stem + ".err", args.timeout,
                     stream=(what != "warmup"))
        log("  %-8s %-6s wall %8.3f s  user %7.3f  sys %7.3f  rss %7.1f MiB%s" %
            (tool, what, r.wall, r.user, r.sys, r.maxrss_kib / 1024,
             "  TIMED OUT" if r.timed_out else ""))
        return r

    log("%s: %d archives, %d entries; %s" % (name, meta["archives"], meta["entries"],
                                            " | ".join(shlex.join(a) for a in argvs.values())))
    warm = {tool: run(tool, "warmup") for tool in tools}
    counts = {}
    for tool, r in warm.items():
        if r.timed_out:
            counts[tool] = 0
        elif args.budget > 0:
            counts[tool] = max(1, min(args.runs, int(args.budget // max(r.wall, 1e-9))))
        else:
            counts[tool] = args.runs
    runs = {tool: [] for tool in tools}
    for i in range(args.runs):
        for tool in tools:
            if i < counts[tool]:
                runs[tool].append(run(tool, "run"))

    result = {"name": name, "meta": meta, "warm": warm, "runs": runs, "notes": []}
    for tool in tools:
        w = warm[tool]
        if w.exit != 0:
            result["notes"].append("%s exit status %d" % (tool, w.exit))
        if os.path.getsize(w.err_path) > 0:
            result["notes"].append("%s stderr: %s" % (tool, first_line(w.err_path)))
        if any(r.out_digest != w.out_digest for r in runs[tool]):
            result["notes"].append("%s output changed between runs" % tool)
        if counts[tool] < args.runs and not w.timed_out:
            result["notes"].append("%s: %d measured run(s), warm-up took %.0f s (--budget %g)" %
                                   (tool, counts[tool], w.wall, args.budget))
    if any(warm[t].timed_out for t in tools):
        result["agree"] = "n/a (timed out)"
        result["groups"] = {}
        return result
    parsed = {tool: parse_report(warm[tool].out_path, prefix) for tool in tools}
    for tool, (_, problems) in parsed.items():
        for p in problems:
            result["notes"].append("%s report: %s" % (tool, p))
    result["groups"] = {tool: gen_corpus.group_counts(g) for tool, (g, _) in parsed.items()}
    agree, details = compare(parsed["zorv"][0], parsed["baseline"][0], meta["expected_digest"])
    result["agree"] = agree
    if details:
        path = os.path.join(out_dir, "disagreement.txt")
        with open(path, "w") as f:
            f.write("\n".join(details) + "\n")
        result["notes"].append("differences listed in %s" % path)
    log("  groups: %s; agree: %s" % (result["groups"], agree))
    return result


def median(runs, attr):
    return statistics.median(getattr(r, attr) for r in runs)


def table(results, tools, args):
    head = ("| corpus | archives | entries | tool | runs | wall s | user s | sys s | ns/entry "
            "| peak RSS MiB | zorv/baseline wall | groups (members) | agree |")
    lines = [head, "|" + "---|" * head.count(" | ") + "---|"]
    for res in results:
        meta = res["meta"]
        walls = {t: median(res["runs"][t], "wall") if res["runs"][t] else None for t in tools}
        for tool in tools:
            runs = res["runs"][tool]
            first = tool == "zorv"
            cells = [res["name"] if first else "", str(meta["archives"]) if first else "",
                     str(meta["entries"]) if first else "", tool]
            if runs:
                wall = walls[tool]
                cells += [str(len(runs)), "%.3f" % wall, "%.3f" % median(runs, "user"),
                          "%.3f" % median(runs, "sys"),
                          "%.0f" % (wall * 1e9 / meta["entries"]) if meta["entries"] else "-",
                          "%.1f" % (median(runs, "maxrss_kib") / 1024)]
            else:
                cells += ["0", "timed out (> %g)" % args.timeout, "", "", "", ""]
            if first:
                ratio = (walls["zorv"] / walls["baseline"]
                         if walls["zorv"] and walls["baseline"] else None)
                cells.append("%.2f" % ratio if ratio is not None else "-")
            else:
                cells.append("")
            g = res["groups"].get(tool)
            cells.append("%d (%d)" % g if g else "-")
            cells.append(res["agree"] if first else "")
            lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def machine():
    model = "?"
    mem = "?"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
        with open("/proc/meminfo") as f:
            kib = int(next(l.split()[1] for l in f if l.startswith("MemTotal")))
            mem = "%.1f GiB" % (kib / 1024 / 1024)
    except (OSError, StopIteration, ValueError):
        pass
    try:
        cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout
        cxx = cxx.splitlines()[0]
    except (OSError, IndexError):
        cxx = "?"
    return ("nproc %d; %s; RAM %s; kernel %s; %s; baseline %s (Python %s)" %
            (os.cpu_count(), model, mem, platform.release(), cxx, SYSTEM_PYTHON,
             subprocess.run([SYSTEM_PYTHON, "-c", "import platform;"
                             "print(platform.python_version())"],
                            capture_output=True, text=True).stdout.strip()))


# Pairs of corpora whose zorv times are compared as a ratio: the second is
# the first without its copies, so the ratio is what the duplicates cost.
RATIOS = [("pair", "single"), ("pair-small", "single-small")]


def interleaved_ratio(big, small, metas, tools, args, results):
    """zorv on `big` and on `small`, alternating, args.runs times each.

    The table's medians for two corpora come from runs minutes apart (each
    corpus runs beside the baseline), and this VM's speed drifts over
    minutes; alternating the two zorv runs puts them under the same
    conditions, so their ratio is steadier. A run that fails, times out or
    prints another report than the corpus's warm-up run counts for nothing:
    the note says so and gives no ratio."""
    warm = {r["name"]: r["warm"]["zorv"] for r in results}
    if warm[big].timed_out or warm[small].timed_out:
        return "- %s/%s, zorv runs alternating: not measured (a warm-up run timed out)" % (big, small)
    env = dict(os.environ)
    walls = {big: [], small: []}
    problems = []
    for _ in range(max(1, args.runs)):
        for name in (big, small):
            target = os.path.normpath(os.path.join("bench", "corpora", name, metas[name]["target"]))
            stem = os.path.join(OUT_DIR, name, "zorv.ratio")
            r = run_once(tools["zorv"] + [target], env, stem + ".out", stem + ".err",
                         args.timeout, stream=True)
            if r.timed_out or r.exit != warm[name].exit or r.out_digest != warm[name].out_digest:
                problems.append("%s: %s" % (name, "timed out" if r.timed_out else
                                            "exit status %d, report %s" % (r.exit, r.out_digest)))
            walls[name].append(r.wall)
    if problems:
        log("  %s/%s interleaved: runs failed: %s" % (big, small, "; ".join(problems)))
        return ("- %s/%s, zorv runs alternating: no ratio, runs differed from the warm-up: %s" %
                (big, small, "; ".join(problems)))
    b, s = statistics.median(walls[big]), statistics.median(walls[small])
    log("  %s/%s interleaved: %.3f / %.3f = %.2f" % (big, small, b, s, b / s))
    return ("- %s/%s, zorv runs alternating (%d each): medians %.3f s / %.3f s = %.2f; "
            "%s: %s; %s: %s" % (big, small, len(walls[big]), b, s, b / s, big,
                                " ".join("%.3f" % w for w in walls[big]), small,
                                " ".join("%.3f" % w for w in walls[small])))


def report(results, tools, args, zorv, started, load_before, extra_notes=()):
    now = datetime.datetime.now()
    notes = list(extra_notes)
    for res in results:
        for n in res["notes"]:
            notes.append("- %s: %s" % (res["name"], n))
        for tool in tools:
            walls = " ".join("%.3f" % r.wall for r in res["runs"][tool])
            notes.append("- %s: %s wall per run: %s (warm-up %.3f)" %
                         (res["name"], tool, walls or "-", res["warm"][tool].wall))
    text = "\n".join([
        "## Run of %s" % started.strftime("%Y-%m-%d %H:%M"),
        "",
        "Command: `python3 bench/%s`; zorv binary: `%s`; medians of the measured runs "
        "(warm-up excluded); user and sys from wait4, peak RSS from GNU time (%%M)." % (shlex.join(["run.py"] + sys.argv[1:]), zorv),
        "",
        "Machine: %s. Load average before: %.2f, after: %.2f." %
        (machine(), load_before, os.getloadavg()[0]),
        "",
        table(results, tools, args),
        "",
        "Notes:",
        "",
        "\n".join(notes) if notes else "- none",
        "",
        "Finished %s." % now.strftime("%Y-%m-%d %H:%M"),
        "",
    ])
    return text, append_results(text, started)


def append_results(text, started):
    """Appends a section to bench/results-<date>.md; returns its path."""
    path = os.path.join("bench", "results-%s.md" % started.strftime("%Y-%m-%d"))
    fresh = not os.path.exists(path)
    with open(path, "a") as f:
        if fresh:
            f.write("# zorv benchmark results, %s\n\n" % started.strftime("%Y-%m-%d"))
        f.write(text + "\n")
    return path


# --- Slow storage (--slow): the corpus behind bench/fuse_latency.c ---------

FUSE_SRC = os.path.join("bench", "fuse_latency.c")
FUSE_BIN = os.path.join(BUILD_DIR, "fuse_latency")
DROP_CACHES = "/proc/sys/vm/drop_caches"


def build_fuse():
    """Compiles bench/fuse_latency.c when its binary is missing or older."""
    if (os.path.exists(FUSE_BIN) and
            os.path.getmtime(FUSE_BIN) >= os.path.getmtime(FUSE_SRC)):
        return FUSE_BIN
    try:
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "fuse3"], check=True,
                               capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        raise SystemExit("run.py: pkg-config finds no fuse3: install fuse3 and libfuse3-dev "
                         "(scripts/setup-debian)")
    os.makedirs(BUILD_DIR, exist_ok=True)
    cmd = ["cc", "-O2", "-Wall", "-Wextra", "-o", FUSE_BIN, FUSE_SRC] + flags
    log("$ " + shlex.join(cmd))
    subprocess.run(cmd, check=True, stdout=sys.stderr)
    return FUSE_BIN


def drop_caches():
    """`sync; echo 3 > /proc/sys/vm/drop_caches`: page cache, dentries and
    inodes, of the FUSE mount and of the file system under it."""
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


def is_mounted(path):
    """From /proc/self/mounts, which never touches the FUSE file system."""
    with open("/proc/self/mounts") as f:
        return any(line.split()[1] == path for line in f)


@contextlib.contextmanager
def slow_mount(source, latency_us, fuse_args, log_path):
    """Mounts `source` behind fuse_latency at a fresh directory under /tmp;
    unmounts it (fusermount3 -u, lazily if busy) and stops the daemon on the
    way out, whether by return, error or Ctrl-C."""
    mnt = tempfile.mkdtemp(prefix="zorv-slow-%dus-" % latency_us, dir="/tmp")
    proc = None
    try:
        argv = [os.path.abspath(FUSE_BIN), "--latency-us=%d" % latency_us] + fuse_args + \
               ["-f", source, mnt]
        log("$ " + shlex.join(argv))
        with open(log_path, "wb") as err:
            # A session of its own: Ctrl-C reaches run.py, which unmounts first.
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                    start_new_session=True)
        deadline = time.monotonic() + 10
        while not is_mounted(mnt):
            if proc.poll() is not None:
                raise RuntimeError("fuse_latency exited with status %d before mounting: %s" %
                                   (proc.returncode, first_line(log_path)))
            if time.monotonic() > deadline:
                raise RuntimeError("fuse_latency did not mount %s in 10 s" % mnt)
            time.sleep(0.02)
        yield mnt
    finally:
        if is_mounted(mnt):
            r = subprocess.run(["fusermount3", "-u", mnt], capture_output=True, text=True)
            if r.returncode != 0:
                log("  fusermount3 -u: %s; unmounting lazily" % r.stderr.strip())
                subprocess.run(["fusermount3", "-u", "-z", mnt])
        if proc is not None:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        try:
            os.rmdir(mnt)
        except OSError as e:
            log("  could not remove %s: %s" % (mnt, e))


def slow_contenders(args, zorv):
    """[(label, argv without the path)]: the --variant commands, whose word
    `zorv` stands for the binary measured, then the baseline."""
    out = []
    for v in args.variant or ["zorv"]:
        words = shlex.split(v)
        if not words:
            raise SystemExit("run.py: empty --variant")
        binary = zorv if words[0] == "zorv" else words[0]
        out.append((v, [os.path.abspath(binary)] + words[1:] + ["-R"]))
    out.append(("baseline", [SYSTEM_PYTHON, os.path.join("bench", "baseline.py"), "-R"]))
    labels = [label for label, _ in out]
    if len(set(labels)) != len(labels):
        raise SystemExit("run.py: two contenders named alike: %s" % labels)
    return out


def bench_slow(name, meta, latency_us, contenders, args):
    """All contenders on one corpus behind one latency: alternating, page
    cache dropped before every run. Every run counts: the first of each
    contender writes its report to a file (for the comparison; tens of ms
    in runs of seconds), the others stream it into the checked pipe."""
    source = os.path.abspath(os.path.join("bench", "corpora", name))
    out_dir = os.path.join(OUT_DIR, name, "slow-%dus" % latency_us)
    os.makedirs(out_dir, exist_ok=True)
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    counts = {}
    for label, _ in contenders:
        if label == "baseline":
            skip = latency_us in args.skip_baseline
            counts[label] = 0 if skip else (args.runs if args.baseline_runs is None
                                            else args.baseline_runs)
        else:
            counts[label] = args.runs
    files = {label: re.sub(r"[^A-Za-z0-9_.=-]+", "_", label) for label, _ in contenders}
    runs = {label: [] for label, _ in contenders}
    notes = []
    log("%s at %d us: %d archives, %d entries" % (name, latency_us, meta["archives"],
                                                 meta["entries"]))
    with slow_mount(source, latency_us, args.fuse_args,
                    os.path.join(out_dir, "fuse_latency.log")) as mnt:
        target = os.path.normpath(os.path.join(mnt, meta["target"]))
        prefix = mnt + "/"
        for i in range(max(counts.values())):
            for label, argv in contenders:
                if i >= counts[label]:
                    continue
                drop_caches()
                stem = os.path.join(out_dir, "%s.%s" % (files[label], "first" if i == 0 else "run"))
                r = run_once(argv + [target], env, stem + ".out", stem + ".err", args.timeout,
                             stream=(i > 0))
                log("  %-20s %-5s wall %8.3f s  user %7.3f  sys %7.3f  rss %7.1f MiB%s" %
                    (label, "first" if i == 0 else "run", r.wall, r.user, r.sys,
                     r.maxrss_kib / 1024, "  TIMED OUT" if r.timed_out else ""))
                runs[label].append(r)
                if i == 0:
                    budget = (max(1, int(args.budget // max(r.wall, 1e-9)))
                              if args.budget > 0 else counts[label])
                    if r.timed_out:
                        budget = 1
                    if budget < counts[label]:
                        notes.append("%s: %d run(s), the first took %.0f s (--budget %g)" %
                                     (label, budget, r.wall, args.budget))
                        counts[label] = budget
    result = {"name": name, "latency": latency_us, "meta": meta, "runs": runs, "notes": notes,
              "groups": {}, "agree": {}, "labels": [label for label, _ in contenders]}
    parsed = {}
    for label, _ in contenders:
        rs = runs[label]
        if not rs:
            continue
        first = rs[0]
        if first.exit != 0:
            notes.append("%s exit status %d" % (label, first.exit))
        if os.path.getsize(first.err_path) > 0:
            notes.append("%s stderr: %s" % (label, first_line(first.err_path)))
        if any(r.out_digest != first.out_digest for r in rs[1:]):
            notes.append("%s: report changed between runs" % label)
        if any(r.timed_out for r in rs):
            notes.append("%s: timed out (> %g s)" % (label, args.timeout))
        elif first.exit == 0:
            groups, problems = parse_report(first.out_path, prefix)
            for p in problems:
                notes.append("%s report: %s" % (label, p))
            parsed[label] = groups
            result["groups"][label] = gen_corpus.group_counts(groups)
    # Each report against the baseline's (the first variant's when the
    # baseline did not run), and the generator's groups.
    ref = "baseline" if "baseline" in parsed else next(iter(parsed), None)
    for label in parsed:
        agree, details = compare(parsed[label], parsed[ref], meta["expected_digest"])
        # compare() names its two sides zorv and baseline.
        result["agree"][label] = agree.replace("only in zorv", "only here").replace(
            "only in baseline", "only in %s" % ref)
        if details:
            path = os.path.join(out_dir, "disagreement-%s.txt" % files[label])
            with open(path, "w") as f:
                f.write("zorv: %s; baseline: %s\n" % (label, ref) + "\n".join(details) + "\n")
            notes.append("%s: differences listed in %s" % (label, path))
    for label, _ in contenders:
        if runs[label] and label not in parsed:
            result["agree"][label] = "n/a (failed)"
    log("  groups: %s; agree: %s" % (result["groups"], result["agree"]))
    return result


def slow_table(results):
    labels = results[0]["labels"]
    first = labels[0]
    variants = [label for label in labels if label != "baseline"]
    several = len(variants) > 1  # then a column for the first variant over each other
    head = ("| corpus | latency | contender | runs | wall s | user s | sys s | peak RSS MiB "
            "| baseline / this |%s groups (members) | agree |" %
            (" `%s` / this |" % first if several else ""))
    lines = [head, "|" + "---|" * head.count(" | ") + "---|"]
    for res in results:
        walls = {label: median(res["runs"][label], "wall") if res["runs"][label] else None
                 for label in labels}
        for k, label in enumerate(labels):
            rs = res["runs"][label]
            cells = [res["name"] if k == 0 else "", "%g ms" % (res["latency"] / 1000) if k == 0 else "",
                     "`%s`" % label if label != "baseline" else "baseline", str(len(rs))]
            if not rs:
                cells += ["skipped", "", "", ""]
            else:
                cells += ["%.3f" % walls[label], "%.3f" % median(rs, "user"),
                          "%.3f" % median(rs, "sys"), "%.1f" % (median(rs, "maxrss_kib") / 1024)]
            cells.append("%.2f" % (walls["baseline"] / walls[label])
                         if label != "baseline" and walls.get("baseline") and walls[label]
                         else "")
            if several:
                cells.append("%.2f" % (walls[first] / walls[label])
                             if label in variants[1:] and walls[first] and walls[label] else "")
            g = res["groups"].get(label)
            cells.append("%d (%d)" % g if g else "-")
            cells.append(res["agree"].get(label, "-"))
            lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def slow_report(results, args, zorv, started, load_before):
    notes = []
    for res in results:
        where = "%s at %g ms" % (res["name"], res["latency"] / 1000)
        for n in res["notes"]:
            notes.append("- %s: %s" % (where, n))
        for label in res["labels"]:
            walls = " ".join("%.3f" % r.wall for r in res["runs"][label])
            notes.append("- %s: %s wall per run: %s" % (where, label, walls or "-"))
    text = "\n".join([
        "## Slow storage run of %s" % started.strftime("%Y-%m-%d %H:%M"),
        "",
        "Command: `python3 bench/%s`; zorv binary: `%s`; the corpus behind "
        "`bench/fuse_latency.c` (`%s`), page cache dropped before every run, contenders "
        "alternating; medians of all runs (the first of each writes its report to a file); "
        "user and sys from wait4, peak RSS from GNU time (%%M)." %
        (shlex.join(["run.py"] + sys.argv[1:]), zorv,
         shlex.join(["fuse_latency", "--latency-us=N"] + args.fuse_args)),
        "",
        "Machine: %s. Load average before: %.2f, after: %.2f." %
        (machine(), load_before, os.getloadavg()[0]),
        "",
        slow_table(results),
        "",
        "Notes:",
        "",
        "\n".join(notes) if notes else "- none",
        "",
        "Finished %s." % datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "",
    ])
    return text, append_results(text, started)


def latencies(text):
    try:
        values = [int(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError("microseconds, comma-separated: %r" % text)
    if not values or min(values) < 0:
        raise argparse.ArgumentTypeError("microseconds, comma-separated: %r" % text)
    return values


def main_slow(args, names):
    if os.geteuid() != 0:
        raise SystemExit("run.py: --slow needs root (mounting, %s)" % DROP_CACHES)
    if not shutil.which("fusermount3") or not os.path.exists("/dev/fuse"):
        raise SystemExit("run.py: --slow needs fusermount3 (package fuse3) and /dev/fuse")
    # SIGTERM unwinds like Ctrl-C: the tool is killed, the mount undone.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    started = datetime.datetime.now()
    load_before = os.getloadavg()[0]
    zorv = args.zorv or build(args.jobs)
    build_fuse()
    contenders = slow_contenders(args, zorv)
    metas = {name: gen_corpus.generate(name) for name in names}
    results = [bench_slow(name, metas[name], lat, contenders, args)
               for name in names for lat in args.slow]
    text, path = slow_report(results, args, zorv, started, load_before)
    print(text)
    log("written to %s" % path)
    ok = all(a == "yes" for res in results for a in res["agree"].values())
    return 0 if ok else 1


def main():
    # The cost per entry at scale has a script of its own; --scale runs it.
    if "--cache" in sys.argv[1:]:  # -c with and without --cache
        rest = [a for a in sys.argv[1:] if a != "--cache"]
        return subprocess.call(["/usr/bin/python3", os.path.join(os.path.dirname(
            os.path.abspath(__file__)), "cache_run.py")] + rest)
    if "--scale" in sys.argv[1:]:
        rest = [a for a in sys.argv[1:] if a != "--scale"]
        return subprocess.call(["/usr/bin/python3", os.path.join(os.path.dirname(
            os.path.abspath(__file__)), "scale.py")] + rest)
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus", nargs="*",
                    help="corpora to run (default: %s; with --quick: %s)" %
                         (" ".join(gen_corpus.FULL_SET), " ".join(gen_corpus.QUICK_SET)))
    ap.add_argument("--quick", action="store_true", help="the small corpora: a smoke run")
    ap.add_argument("--runs", type=int, default=5, help="measured runs per tool (default 5)")
    ap.add_argument("--budget", type=float, default=600,
                    help="seconds per tool and corpus: a tool whose warm-up is slower gets "
                         "fewer measured runs, at least one (default 600; 0: no limit)")
    ap.add_argument("--timeout", type=float, default=3600,
                    help="kill a run after this many seconds (default 3600; 0: never)")
    ap.add_argument("--zorv", help="benchmark this zorv binary instead of building one")
    ap.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    slow = ap.add_argument_group("slow storage", "the corpus behind bench/fuse_latency.c; "
                                 "needs root (see bench/README.md)")
    slow.add_argument("--slow", type=latencies, metavar="US[,US...]",
                      help="latencies in microseconds: run every contender on each corpus "
                           "(default: medium; --quick: medium-small) mounted behind each, "
                           "page cache dropped before every run")
    slow.add_argument("--variant", action="append", metavar="CMD",
                      help="a zorv command line without its path, e.g. \"zorv -j 1\" (the word "
                           "zorv: the binary measured; or a path to another binary); repeat "
                           "for several; -R and the path are appended (default: \"zorv\")")
    slow.add_argument("--baseline-runs", type=int, metavar="N",
                      help="runs of the baseline per latency (default: --runs; 0: none)")
    slow.add_argument("--skip-baseline", type=latencies, default=[], metavar="US[,US...]",
                      help="latencies at which the baseline does not run")
    slow.add_argument("--fuse-args", type=shlex.split, default=[], metavar="ARGS",
                      help="more arguments for fuse_latency, e.g. \"--serial-dirops\"")
    args = ap.parse_args()
    if args.slow is None and (args.variant or args.baseline_runs is not None or
                              args.skip_baseline or args.fuse_args):
        ap.error("--variant, --baseline-runs, --skip-baseline and --fuse-args go with --slow")

    os.chdir(ROOT)
    if args.slow is not None:
        default = ["medium-small"] if args.quick else ["medium"]
    else:
        default = gen_corpus.QUICK_SET if args.quick else gen_corpus.FULL_SET
    names = args.corpus or default
    for name in names:
        if name not in gen_corpus.CORPORA:
            ap.error("unknown corpus %r (known: %s)" % (name, ", ".join(gen_corpus.CORPORA)))
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        ap.error("%s is needed to run the baseline" % SYSTEM_PYTHON)
    if not os.access(TIME, os.X_OK):
        ap.error("%s (GNU time: apt-get install time) is needed for the peak RSS" % TIME)
    if args.slow is not None:
        return main_slow(args, names)
    started = datetime.datetime.now()
    load_before = os.getloadavg()[0]
    zorv = args.zorv or build(args.jobs)
    tools = {"zorv": [os.path.abspath(zorv), "-R"],
             "baseline": [SYSTEM_PYTHON, os.path.join("bench", "baseline.py"), "-R"]}
    metas = {name: gen_corpus.generate(name) for name in names}
    results = [bench_corpus(name, metas[name], tools, args) for name in names]
    ratios = [interleaved_ratio(big, small, metas, tools, args, results)
              for big, small in RATIOS
              if big in names and small in names]
    text, path = report(results, tools, args, zorv, started, load_before, ratios)
    print(text)
    log("written to %s" % path)
    return 0 if all(r["agree"] == "yes" for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
