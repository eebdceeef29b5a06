#!/usr/bin/python3
"""-c with and without --cache on a corpus with member data to check.

    python3 bench/run.py --cache [--zorv PATH] [--runs N] [--touch 0.1]
                         [--latency-us US [--also PATH]] [corpus]

Default corpus `verify` (bench/gen_corpus.py writes it when missing). Each
round runs, in turn: `zorv -c -R` with no cache; with a cache made anew
(cold); with a cache left by the runs before (warm); and with a warm cache
after touching a tenth of the archives (their times set to now, a second
before the run, so that they are read again and kept; the warm cache
reads them again in an unmeasured run before its own). Page cache warm,
report into a file checked against the run without a cache. Prints the
median wall, user and sys times and peak RSS of each, their ratios to the
cold run, and, from one more run of each under strace, the bytes read from
the corpus's archives against those of `-s` (which reads no member data).

With --latency-us, the corpus is read through bench/fuse_latency.c with
that latency, the page cache dropped before every run (no strace counts):
where opens wait, a warm cache also keeps the archives' directories.
--also adds a warm run of another zorv (a build before directory images)
with a cache of its own, alternating with the others.
"""

import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402
import run  # noqa: E402  (build)


def timed(argv, out_path):
    """Wall, user, sys seconds and peak RSS (KiB) of one run; its stdout to out_path."""
    with open(out_path, "wb") as out:
        t0 = time.perf_counter()
        p = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(argv))
    return wall, ru.ru_utime, ru.ru_stime, ru.ru_maxrss


def archive_bytes_read(argv, corpus):
    """Bytes the run reads from files under `corpus` (strace -y, a trace file
    per thread, so that no call is split in two)."""
    with tempfile.TemporaryDirectory() as tdir:
        subprocess.run(["strace", "-ff", "-qq", "-y", "-e", "trace=read,pread64", "-o",
                        os.path.join(tdir, "t")] + argv,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        total = 0
        pat = re.compile(r"^(?:pread64|read)\(\d+<%s/[^>]*>.* = (\d+)$" % re.escape(corpus))
        for name in os.listdir(tdir):
            for line in open(os.path.join(tdir, name), errors="replace"):
                m = pat.search(line.rstrip())
                if m:
                    total += int(m.group(1))
        return total


def touch(paths):
    now = time.time()
    for p in paths:
        os.utime(p, (now, now))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus", nargs="?", default="verify")
    ap.add_argument("--zorv", help="this zorv binary instead of a Release build")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--touch", type=float, default=0.1, help="share of archives touched")
    ap.add_argument("--latency-us", type=int, help="read the corpus behind fuse_latency")
    ap.add_argument("--also", help="a warm run of this zorv too")
    args = ap.parse_args()
    os.chdir(run.ROOT)
    gen_corpus.generate(args.corpus)
    source = os.path.abspath(os.path.join("bench", "corpora", args.corpus))
    zorv = os.path.abspath(args.zorv or run.build(2))
    if args.latency_us is None:
        return measure(args, zorv, source, source, False)
    run.build_fuse()
    work = tempfile.mkdtemp(prefix="zorv-cache-bench-")
    try:
        with run.slow_mount(source, args.latency_us, [], os.path.join(work, "fuse.log")) as mnt:
            return measure(args, zorv, mnt, source, True)
    finally:
        shutil.rmtree(work)


def measure(args, zorv, corpus, source, slow):
    """The runs over `corpus` (the mount of `source` when `slow`)."""
    work = tempfile.mkdtemp(prefix="zorv-cache-bench-")
    archives = sorted(os.path.join(d, f) for d, _, fs in os.walk(source) for f in fs
                      if f.endswith(".zip"))
    touched = random.Random(1).sample(archives, max(1, round(len(archives) * args.touch)))
    caches = {"cold": os.path.join(work, "cold.sqlite"), "warm": os.path.join(work, "warm.sqlite"),
              "touched": os.path.join(work, "touched.sqlite")}
    if args.also:
        caches["also"] = os.path.join(work, "also.sqlite")

    def argv(mode):
        cache = ["--cache=" + caches[mode]] if mode in caches else []
        return [os.path.abspath(args.also) if mode == "also" else zorv, "-c"] + cache + \
            ["-R", corpus]

    def prepare(mode):
        if mode == "cold":
            for suffix in ("", "-wal", "-shm"):
                if os.path.exists(caches["cold"] + suffix):
                    os.unlink(caches["cold"] + suffix)
        if mode in ("warm", "also"):
            # The archives the touched runs touch are read again here, unmeasured.
            timed(argv(mode), os.devnull)
        if mode == "touched":
            touch(touched)
            time.sleep(1.1)
        if slow:
            run.drop_caches()

    # The warm and touched caches start warm; every archive older than a second.
    time.sleep(1.1)
    modes = ["none", "cold", "warm", "touched"] + (["also"] if args.also else [])
    for mode in modes[2:]:
        timed(argv(mode), os.path.join(work, "warmup.out"))
    timed(argv("none"), os.path.join(work, "expected.out"))
    expected = open(os.path.join(work, "expected.out"), "rb").read()
    samples = {m: [] for m in modes}
    for _ in range(args.runs):
        for mode in modes:
            prepare(mode)
            out = os.path.join(work, mode + ".out")
            samples[mode].append(timed(argv(mode), out))
            if open(out, "rb").read() != expected:
                sys.exit("%s: the report differs from the run without a cache" % mode)
    reads = {}
    if shutil.which("strace") and not slow:
        reads["-s"] = archive_bytes_read([zorv, "-s", "-R", corpus], corpus)
        for mode in modes:
            prepare(mode)
            reads[mode] = archive_bytes_read(argv(mode), corpus)
    cold = statistics.median(s[0] for s in samples["cold"])
    print("corpus %s%s: %d archives, %d touched; %d runs each, alternating; medians"
          % (args.corpus, " behind %d us latency" % args.latency_us if slow else "",
             len(archives), len(touched), args.runs))
    print()
    print("| run | wall s | user s | sys s | peak RSS MiB | / cold | archive bytes read |")
    print("|---|---|---|---|---|---|---|")
    names = {"none": "`-c`, no cache", "cold": "`-c --cache`, cold",
             "warm": "`-c --cache`, warm", "touched": "`-c --cache`, %d%% touched" %
             round(args.touch * 100), "also": "`-c --cache`, warm, %s" % args.also}
    for mode in modes:
        s = samples[mode]
        wall = statistics.median(x[0] for x in s)
        print("| %s | %.3f | %.3f | %.3f | %.1f | %.2f | %s |" % (
            names[mode], wall, statistics.median(x[1] for x in s),
            statistics.median(x[2] for x in s), statistics.median(x[3] for x in s) / 1024,
            wall / cold, "{:,}".format(reads[mode]) if mode in reads else "?"))
    if "-s" in reads:
        print("| `-s` (reads no member data) | | | | | | %s |" % "{:,}".format(reads["-s"]))
    print()
    print("walls (s): " + "; ".join("%s %s" % (m, " ".join("%.3f" % x[0] for x in samples[m]))
                                    for m in modes))
    print("cache file: %d bytes (warm)" % os.path.getsize(caches["warm"]))
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
