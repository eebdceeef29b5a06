#!/usr/bin/python3
"""Where zorv's time goes, phase by phase, on one corpus.

    bench/phases.py [corpus] [--zorv PATH]      (default: medium)

Samples one run with `perf record --call-graph dwarf` and counts, for each
phase, the samples whose call stack passes through it. Phases are functions of
zorv's own, so they nest: reading and decoding happen inside indexing, page
faults inside whatever touched the memory. Also prints the entry count and
ns per entry / per tree insert. Needs perf (Debian: linux-perf) and a build
with symbols (the Release build has them unless stripped).
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# (label, symbol, required caller or None). A sample counts for a phase when
# its stack holds the symbol (and the caller, further out; "!name": a stack
# without that name anywhere).
PHASES = [
    ("indexing: every archive read and recorded", "zorv::process_archive", None),
    ("  open, find end record, read directory", "zorv::openzip", "zorv::process_archive"),
    ("  decode central headers (readzip)", "zorv::readzip", "zorv::process_archive"),
    ("  warm search paths of a batch (rbtree_prefetch)", "zorv::rbtree_prefetch", None),
    ("  CRC-32 index (record_entry)", "zorv::(anonymous namespace)::record_entry", None),
    ("    of which group inserts (join_group)", "zorv::(anonymous namespace)::join_group", None),
    ("    of which pooled records (fsa_alloc)", "zorv::fsa_alloc",
     "zorv::(anonymous namespace)::record_entry"),
    ("directory walk itself (readdir, stat)", "zorv::scandir", "!zorv::process_archive"),
    ("report, gather: members copied out of the groups", "zorv::report_gather", None),
    ("report, print: names fetched again, groups printed", "zorv::report_print", None),
    ("  resolve batches: sort, walks, names kept", "zorv::(anonymous namespace)::flush_batch",
     "zorv::report_print"),
    ("  reopen and walk archives", "zorv::openzip", "zorv::report_print"),
    ("write lines (text sink)", "fwrite_unlocked", "zorv::TextSink::flush"),
    ("page faults, anywhere (first touch of memory)", "asm_exc_page_fault", None),
    ("system calls, anywhere", "entry_SYSCALL_64_after_hwframe", None),
]


def stacks(data):
    """Yields the list of symbols of every sample, innermost first."""
    out = subprocess.run(["perf", "script", "-i", data, "-F", "ip,sym"],
                         capture_output=True, text=True, check=True).stdout
    frames = []
    for line in out.splitlines():
        if not line.strip():
            if frames:
                yield frames
            frames = []
            continue
        parts = line.strip().split(None, 1)
        frames.append(parts[1] if len(parts) > 1 else "")
    if frames:
        yield frames


def matches(frame, symbol):
    return frame == symbol or frame.startswith(symbol + "<") or frame.startswith(symbol + "(") \
        or frame.startswith("__GI_" + symbol) or frame.startswith(symbol + " ")


def shares(data):
    counts = [0] * len(PHASES)
    total = 0
    for frames in stacks(data):
        total += 1
        for i, (_, symbol, caller) in enumerate(PHASES):
            # Walk outwards: the symbol, then (if required) its caller.
            at = next((k for k, f in enumerate(frames) if matches(f, symbol)), None)
            if at is None:
                continue
            if caller is not None and caller.startswith("!"):
                if not any(matches(f, caller[1:]) for f in frames):
                    counts[i] += 1
            elif caller is None or any(matches(f, caller) for f in frames[at + 1:]):
                counts[i] += 1
    return [100.0 * c / max(total, 1) for c in counts], total


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus", nargs="?", default="medium")
    ap.add_argument("--zorv", default=os.path.join(ROOT, "build", "bench", "zorv"))
    args = ap.parse_args()
    meta_path = os.path.join(HERE, "corpora", args.corpus + ".json")
    with open(meta_path) as f:
        meta = json.load(f)
    target = os.path.join(HERE, "corpora", args.corpus, meta.get("target", "."))
    entries = meta["entries"]
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        # Warm the page cache, then sample the measured run.
        subprocess.run([args.zorv, "-R", target], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        with open(os.devnull, "w") as null:
            subprocess.run(["perf", "record", "-q", "--call-graph", "dwarf", "-F", "2000",
                            "-o", data, args.zorv, "-R", target],
                           stdout=null, stderr=null, check=False)
        stat = subprocess.run(
            ["perf", "stat", "-x", ",", "-e", "task-clock,page-faults", args.zorv, "-R", target],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
        counters = {}
        for line in stat.splitlines():
            parts = line.split(",")
            if len(parts) > 2 and parts[0].replace(".", "").isdigit():
                counters[parts[2]] = float(parts[0])
        pcts, samples = shares(data)
    ms = counters.get("task-clock", 0.0)
    print("corpus %s: %d entries, %.0f ms CPU, %d page faults, %.0f ns CPU per entry"
          % (args.corpus, entries, ms, counters.get("page-faults", 0), ms * 1e6 / max(entries, 1)))
    print()
    print("| phase | share of CPU | ms |")
    print("|---|---|---|")
    for (label, _, _), pct in zip(PHASES, pcts):
        print("| %s | %.1f%% | %.0f |" % (label.replace("  ", "&nbsp;&nbsp;"), pct, ms * pct / 100))
    inserts = pcts[3] + pcts[4]
    print()
    print("CRC-32 index: %.0f ns per entry recorded (warming, tree inserts, group inserts "
          "and their records)" % (ms * inserts / 100 * 1e6 / max(entries, 1)))


if __name__ == "__main__":
    sys.exit(main())
