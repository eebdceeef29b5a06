#!/usr/bin/python3
"""zorv-dask on a LocalCluster of this machine against single-host zorv.

    bench/cluster_run.py [--runs N] [--workers W] [-c] [--zorv PATH] [corpus]

The corpus (default medium-10m: 20,000 archives x 500 entries, written on
demand by bench/gen_corpus.py) is named to both as its archive files, in
one list: single-host `zorv -s --files-from=LIST` and `zorv-dask
--scheduler ADDR --files-from=LIST`, which packs the archives into 4 x W
shards of consecutive archives. Each run of zorv-dask gets a fresh cluster of W
worker processes (one thread each, on 127.0.0.1), started before the clock
starts, so that each worker's peak RSS is that run's; the cluster's start
is timed apart (what `--local W` adds). Runs alternate, N of each after one
warm-up of each (which also fills the page cache); medians. Reports:
wall time; peak RSS of single-host zorv, of the largest Dask worker
process, alone and with the zorv runs below it (their sum sampled every 10
ms), of the largest zorv run of each mode (--keys and --resolve on the
workers, --print-groups for the client; GNU time through a wrapper), and of
the client (the largest of zorv-dask and the zorv that prints); the key
pass's bytes on the wire (the keys' records as the workers' zorv wrote
them, per entry) and what Dask moved between workers. The two reports must hold the same groups (as multisets of
member sets), else the run says so and exits 1. Not a test.
"""
import argparse
import collections
import os
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
sys.path.insert(0, BENCH)
import gen_corpus  # noqa: E402


def groups_in(path):
    """The groups of a text report as a multiset of sorted member tuples."""
    groups, members = collections.Counter(), None
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"CRC32: 0x"):
                members = [line[9:17]]
            elif line.startswith(b"file: "):
                members.append(line[6:-1])
            elif line == b"-------\n":
                groups[tuple(sorted(members))] += 1
    return groups


def timed(argv, out_path, cwd):
    """(wall s, largest peak RSS KiB of the process and what it waited for)."""
    code = ("import resource, subprocess, sys\n"
            "with open(sys.argv[1], 'wb') as out:\n"
            "    rc = subprocess.run(sys.argv[2:], stdout=out).returncode\n"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
            "sys.exit(rc)\n")
    start = time.perf_counter()
    p = subprocess.run(["/usr/bin/python3", "-c", code, out_path] + argv, cwd=cwd,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if p.returncode != 0:
        sys.exit("cluster_run.py: %s exited with status %d: %s"
                 % (argv[0], p.returncode, p.stderr.decode(errors="replace")[-2000:]))
    return wall, int(p.stdout.split()[-1])


def worker_rss(dask_worker):
    """A worker process's own peak RSS, KiB, and the bytes it sent. VmHWM,
    not getrusage's ru_maxrss: that one keeps the high-water mark of the
    process it was forked from before its exec (the nanny), which grows
    from run to run of this script."""
    with open("/proc/self/status") as f:
        hwm = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return hwm, dask_worker.transfer_outgoing_bytes_total


def tree_rss(pid):
    """RSS, KiB, of a process and everything below it, now (0 once gone)."""
    total = 0
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    total = int(line.split()[1])
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            kids = [int(w) for w in f.read().split()]
    except (OSError, ValueError):
        return total
    return total + sum(tree_rss(k) for k in kids)


class TreeSampler:
    """Samples, every 10 ms, each worker process with its zorv runs (the
    wrapper's shell and GNU time too: a few hundred KiB over): the largest
    sum seen per worker, KiB. What lives less than a sample may be missed."""

    def __init__(self, pids):
        import threading

        self.pids = pids
        self.peak = {p: 0 for p in pids}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.wait(0.01):
            for p in self.pids:
                self.peak[p] = max(self.peak[p], tree_rss(p))

    def finish(self):
        self.stop.set()
        self.thread.join()
        return max(self.peak.values())


def zorv_wrapper(zorv, work):
    """A zorv that logs each run's peak RSS and mode: GNU time measures the
    program alone (a forked Python's pages, counted in a child's ru_maxrss
    before its exec, would not be zorv's)."""
    log = os.path.join(work, "zorv-rss.log")
    wrapper = os.path.join(work, "zorv")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\nexec /usr/bin/time -a -o %s -f "%%M %%C" %s "$@"\n' % (log, zorv))
    os.chmod(wrapper, 0o755)
    return wrapper, log


def zorv_peaks(log):
    """The largest peak RSS, KiB, of the logged runs of each mode."""
    peaks = collections.defaultdict(int)
    with open(log) as f:
        for line in f:
            words = line.split()
            if not words or not words[0].isdigit():
                continue
            mode = next((w.split("=")[0][2:] for w in words[2:]
                         if w.startswith(("--keys=", "--resolve=", "--print-groups="))), "other")
            peaks[mode] = max(peaks[mode], int(words[0]))
    os.remove(log)
    return peaks


def start_cluster(workers):
    import logging

    from distributed import Client, LocalCluster

    start = time.perf_counter()
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address=None,
                           silence_logs=logging.CRITICAL)
    client = Client(cluster)
    client.wait_for_workers(workers)
    return cluster, client, time.perf_counter() - start


def key_bytes(zorv, paths_list, workdir, cwd):
    """The keys one host writes for the whole list, in bytes and entries."""
    d = tempfile.mkdtemp(dir=workdir)
    subprocess.run([zorv, "--keys=" + d, "--partitions=4", "--files-from=" + paths_list],
                   cwd=cwd, check=True)
    total = sum(os.path.getsize(os.path.join(d, "keys.%d" % k)) for k in range(4))
    for name in os.listdir(d):
        os.remove(os.path.join(d, name))
    os.rmdir(d)
    return total - 4 * 16, (total - 4 * 16) // 20


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus", nargs="?", default="medium-10m")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("-c", dest="content", action="store_true", help="compare zorv -c runs")
    ap.add_argument("--zorv", default=os.path.join(ROOT, "build", "release", "zorv"))
    ap.add_argument("--zorv-dask", default=os.path.join(ROOT, "cluster", "zorv-dask"))
    args = ap.parse_args()
    gen_corpus.generate(args.corpus)
    root = gen_corpus.corpus_dir(args.corpus)
    entries = gen_corpus.load_meta(args.corpus)["entries"]
    work = tempfile.mkdtemp(prefix="zorv-cluster-bench-")
    listing = os.path.join(work, "archives.list")
    with open(listing, "wb") as f:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                if name.endswith(".zip"):
                    f.write(os.path.relpath(os.path.join(dirpath, name), root).encode() + b"\n")
    split = ["-c"] if args.content else ["-s"]
    single = [args.zorv] + split + ["--files-from=" + listing]
    single_out = os.path.join(work, "single.txt")
    cluster_out = os.path.join(work, "cluster.txt")
    wrapper, rss_log = zorv_wrapper(args.zorv, work)
    walls = {"single": [], "cluster": [], "start": []}
    rss = {"single": [], "client": [], "worker": [], "tree": [], "keys": [], "resolve": [], "print-groups": []}
    moved = []
    for i in range(args.runs + 1):
        wall, peak = timed(single, single_out, root)
        cluster, client, started = start_cluster(args.workers)
        try:
            address = cluster.scheduler_address
            argv = ["/usr/bin/python3", args.zorv_dask, "--zorv=" + wrapper,
                    "--scheduler=" + address, "--progress=never"] + split + \
                ["--files-from=" + listing]
            sampler = TreeSampler(list(client.run(os.getpid).values()))
            cwall, cpeak = timed(argv, cluster_out, root)
            tree = sampler.finish()
            per_worker = list(client.run(worker_rss).values())
        finally:
            client.close()
            cluster.close()
        peaks = zorv_peaks(rss_log)
        if i == 0:
            continue  # the warm-up
        walls["single"].append(wall)
        walls["cluster"].append(cwall)
        walls["start"].append(started)
        rss["single"].append(peak)
        rss["client"].append(cpeak)
        rss["worker"].append(max(w[0] for w in per_worker))
        rss["tree"].append(tree)
        for mode in ("keys", "resolve", "print-groups"):
            rss[mode].append(peaks[mode])
        moved.append(sum(w[1] for w in per_worker))
        print("run %d: single %.2f s %d MiB; cluster %.2f s (start %.2f s), client %d MiB, "
              "worker processes %s MiB (with their zorv runs, sampled: %d), zorv --keys %d, "
              "--resolve %d, --print-groups %d MiB, moved %d MB"
              % (i, wall, peak // 1024, cwall, started, cpeak // 1024,
                 "/".join(str(w[0] // 1024) for w in per_worker), tree // 1024, peaks["keys"] // 1024,
                 peaks["resolve"] // 1024, peaks["print-groups"] // 1024, moved[-1] // 10**6),
              file=sys.stderr)
    a, b = groups_in(single_out), groups_in(cluster_out)
    same = a == b
    wire, keyed = key_bytes(args.zorv, listing, work, root)
    med = {k: statistics.median(v) for k, v in walls.items()}
    mrss = {k: statistics.median(v) / 1024 for k, v in rss.items()}
    print("| %s, %d entries | wall s | peak RSS MiB |" % (args.corpus, entries))
    print("|---|---|---|")
    print("| single-host `zorv %s` | %.2f | %.0f |" % (split[0], med["single"], mrss["single"]))
    print("| zorv-dask, %d workers, cluster running | %.2f (x%.2f) | client %.0f (its "
          "`zorv --print-groups` %.0f); each Dask worker process %.0f, with its zorv runs "
          "(sampled) %.0f; each worker's `zorv --keys` %.0f, `--resolve` %.0f |"
          % (args.workers, med["cluster"], med["cluster"] / med["single"], mrss["client"],
             mrss["print-groups"], mrss["worker"], mrss["tree"], mrss["keys"], mrss["resolve"]))
    print("| the cluster's start (`--local %d` adds it) | %.2f | |" % (args.workers, med["start"]))
    print()
    print("Key pass: %d bytes of records for %d keyed entries (%.1f bytes/entry, headers aside); "
          "Dask moved %.0f MB between workers (median). Groups: %d, %s."
          % (wire, keyed, wire / max(keyed, 1), statistics.median(moved) / 1e6,
             sum(a.values()), "the same" if same else "NOT THE SAME"))
    for name in (single_out, cluster_out, listing, wrapper):
        os.remove(name)
    os.rmdir(work)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
