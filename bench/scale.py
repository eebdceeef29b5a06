#!/usr/bin/python3
"""zorv against the limit probe at one and ten million entries, alternating.

    bench/scale.py [--runs N] [--zorv PATH] [corpus ...]

Corpora default to medium (1,000,000 entries) and medium-10m (10,000,000;
written on demand by bench/gen_corpus.py, 1.6 GB, about three minutes).
Builds the probe (bench/scale_probe.cc: read every directory, keep
(CRC-32, archive, position) per entry in flat arrays, radix-sort, read the
names of group members once more, print the groups) into build/bench, then
per corpus runs `probe -R <corpus>` and `zorv -R <corpus>` in turn, N times
each after one warm-up of each (which also fills the page cache), output to
a file. Prints a Markdown table of medians: wall, user, sys,
peak RSS, bytes of peak RSS per entry, zorv/probe wall; and the growth from
the first corpus to each other one (time and RSS ratios). The probe's and
zorv's groups must agree (compared as sets: the probe prints them in CRC-32
order), else the run says so and exits 1. Not a test.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
sys.path.insert(0, BENCH)
import gen_corpus  # noqa: E402


def build_probe():
    out = os.path.join(ROOT, "build", "bench", "scale_probe")
    src = os.path.join(BENCH, "scale_probe.cc")
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(src):
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run(["c++", "-O2", "-std=c++20", "-Wall", "-Wextra", "-o", out, src], check=True)
    return out


def run_once(argv, cwd, out_path):
    """(wall s, user s, sys s, peak RSS KiB); the report goes to `out_path`.

    GNU time reports the peak RSS of the program alone (a forked Python's
    pages would count in ru_maxrss), and the report goes to a file, not to
    a reader competing for the cores."""
    rss_path = out_path + ".rss"
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_path] + argv, cwd=cwd,
                                stdout=out, stderr=subprocess.DEVNULL)
        _, status, ru = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    if status != 0:
        sys.exit("scale.py: %s exited with status %d" % (argv[0], status))
    with open(rss_path) as f:
        rss = int(f.read().split()[-1])
    return wall, ru.ru_utime, ru.ru_stime, rss


def groups_in(path):
    """{crc: sorted members} of a zorv-format report."""
    groups, crc, members = {}, None, None
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"CRC32: 0x"):
                crc, members = int(line[9:17], 16), []
            elif line.startswith(b"file: "):
                members.append(line[6:-1])
            elif line == b"-------\n":
                groups[crc] = tuple(sorted(members))
    return groups


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus", nargs="*", default=["medium", "medium-10m"])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--zorv", default=os.path.join(ROOT, "build", "release", "zorv"))
    args = ap.parse_args()
    subprocess.run(["/usr/bin/python3", os.path.join(BENCH, "gen_corpus.py")] + args.corpus,
                   check=True)
    probe = build_probe()
    corpora = os.path.join(BENCH, "corpora")
    tools = [("probe", probe), ("zorv", os.path.abspath(args.zorv))]
    rows, agree = [], True
    for name in args.corpus:
        entries = gen_corpus.load_meta(name)["entries"]
        runs = {label: [] for label, _ in tools}
        out = {label: os.path.join(ROOT, "build", "bench", "scale-%s.out" % label)
               for label, _ in tools}
        for _ in range(args.runs + 1):  # the first round is the warm-up
            for label, binary in tools:
                runs[label].append(run_once([binary, "-R", name], corpora, out[label]))
        seen = {label: groups_in(path) for label, path in out.items()}
        if seen["probe"] != seen["zorv"]:
            agree = False
            print("scale.py: %s: the probe's and zorv's groups differ" % name, file=sys.stderr)
        med = {label: [statistics.median(r[k] for r in rs[1:]) for k in range(4)]
               for label, rs in runs.items()}
        rows.append((name, entries, med, len(seen["zorv"])))
    print("| corpus | entries | tool | wall s | user s | sys s | peak RSS MiB | bytes/entry |"
          " zorv/probe |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, entries, med, groups in rows:
        for label, _ in tools:
            wall, user, sys_, rss = med[label]
            ratio = "%.2f" % (wall / med["probe"][0]) if label == "zorv" else ""
            print("| %s | %d | %s | %.3f | %.3f | %.3f | %.1f | %.1f | %s |" %
                  (name, entries, label, wall, user, sys_, rss / 1024, rss * 1024 / entries, ratio))
    first = rows[0]
    for name, entries, med, _ in rows[1:]:
        for label, _ in tools:
            print("growth %s -> %s, %s: time x%.1f, peak RSS x%.1f (entries x%.1f)" %
                  (first[0], name, label, med[label][0] / first[2][label][0],
                   med[label][3] / first[2][label][3], entries / first[1]))
    print("groups agree: %s" % ("yes" if agree else "NO"))
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
