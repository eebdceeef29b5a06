#!/usr/bin/python3
"""Two zorv builds (or two command lines) against each other, alternating.

    bench/ab.py OLD NEW [corpus ...] [--runs N] [--args "-R"]
                [--old-args ARGS] [--new-args ARGS]

For each corpus (default: medium pair shared) runs `OLD <args> <corpus>` and
`NEW <args> <corpus>` in turn, N times each after one warm-up of each, so
that drift of the machine (page cache, memory, other load) falls on both
alike. Both reports go to a pipe that is hashed (zlib CRC-32 and length);
they must agree with each other and so must the exit status and stderr,
else the run is refused. Prints the median wall time and peak RSS of each,
and NEW/OLD. Corpora come from bench/gen_corpus.py.

--old-args / --new-args give one side other options (default: --args), e.g.
what an option costs with the same binary on both sides:

    bench/ab.py build/release/zorv build/release/zorv medium --new-args "-s -R"

Two different command lines may print different reports, so then each
side's runs are only checked against its own warm-up, not against the other.
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
import zlib

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))


def run_once(binary, args, cwd):
    """Wall seconds, peak RSS in MiB, (status, report digest, stderr)."""
    start = time.perf_counter()
    proc = subprocess.Popen([binary] + args, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    crc, length = 0, 0
    while True:
        block = proc.stdout.read(1 << 20)
        if not block:
            break
        crc = zlib.crc32(block, crc)
        length += len(block)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    return wall, usage.ru_maxrss / 1024, (status, crc, length, err)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("corpus", nargs="*", default=["medium", "pair", "shared"])
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--args", default="-R", help="zorv's options before the corpus (default -R)")
    ap.add_argument("--old-args", help="OLD's options instead of --args")
    ap.add_argument("--new-args", help="NEW's options instead of --args")
    opts = ap.parse_args()
    binaries = [os.path.abspath(opts.old), os.path.abspath(opts.new)]
    options = [(opts.old_args if opts.old_args is not None else opts.args).split(),
               (opts.new_args if opts.new_args is not None else opts.args).split()]
    if options[0] != options[1]:
        print("OLD: %s; NEW: %s" % (" ".join([opts.old] + options[0]),
                                    " ".join([opts.new] + options[1])))
        print()
    corpora = os.path.join(BENCH_DIR, "corpora")
    print("| corpus | old wall | new wall | new/old | old RSS MiB | new RSS MiB |")
    print("|---|---|---|---|---|---|")
    for name in opts.corpus:
        argvs = [options[0] + [name], options[1] + [name]]
        walls = [[], []]
        rss = [[], []]
        outcome = [run_once(b, a, corpora)[2] for b, a in zip(binaries, argvs)]  # warm-ups
        for b, a, (status, _, _, err) in zip(binaries, argvs, outcome):
            if status != 0:  # e.g. an option this build does not have
                sys.exit("%s: %s exited with status %d: %s" %
                         (name, " ".join([b] + a), os.waitstatus_to_exitcode(status),
                          err.decode(errors="replace").strip()[:200]))
        if options[0] == options[1] and outcome[0] != outcome[1]:
            sys.exit("%s: the two builds disagree (status, report or stderr)" % name)
        if outcome[0] != outcome[1]:
            print("%s: the two reports differ (%d and %d bytes)" %
                  (name, outcome[0][2], outcome[1][2]), file=sys.stderr)
        for _ in range(opts.runs):
            for i, b in enumerate(binaries):
                wall, peak, result = run_once(b, argvs[i], corpora)
                if result != outcome[i]:
                    sys.exit("%s: a measured run differs from its warm-up" % name)
                walls[i].append(wall)
                rss[i].append(peak)
        old, new = statistics.median(walls[0]), statistics.median(walls[1])
        print("| %s | %.3f s | %.3f s | %.3f | %.1f | %.1f |" %
              (name, old, new, new / old, statistics.median(rss[0]), statistics.median(rss[1])))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
