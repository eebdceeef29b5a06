#!/usr/bin/python3
"""zorv against verify_baseline.py on a corpus with member data to check.

    python3 bench/verify_run.py [--zorv PATH] [--zorv-opts="-c -R"]
                                [--baseline-opts=OPTS] [--runs N] [corpus]

Default corpus `verify` (bench/gen_corpus.py writes it when missing or
out of date, a couple of minutes). Runs `zorv <zorv-opts> bench/corpora/<corpus>`
and `/usr/bin/python3 bench/verify_baseline.py <baseline-opts> <same path>`:
one warm-up each (its report kept for the comparison), then N measured runs
alternating zorv, baseline, zorv, baseline ... (the same process handling as
bench/run.py: report into a pipe checked against the warm-up's, user and sys
from wait4, peak RSS from GNU time).

Prints a Markdown table of medians, and for a command with -c the rate of
member data verified: the uncompressed bytes of every member in a CRC-32 and
size group of two or more (what -c must read; the generator records it as
verify_bytes) over the median wall time. The two reports are compared as
multisets of groups, each group its CRC-32 and the sorted (archive, name)
pairs of its members, so the order of groups and members does not matter;
the groups are also checked against those the generator wrote for the
baseline's options (plain, -s or -c). Exit status 1 when they disagree or a
tool fails.

zorv defaults to a Release build in build/bench, as bench/run.py makes it;
--zorv names any other binary. To test the harness with a zorv that has no
-c: --zorv-opts=-R --baseline-opts="-s -R" (no group in the corpus shares a
CRC-32 with another size, so both print the same groups).
"""

import argparse
import collections
import json
import os
import shlex
import statistics
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402
import run  # noqa: E402  (process handling, build, machine description)


def mode(opts):
    """'c', 's' or '' from a command's options: which groups it prints."""
    letters = set("".join(w[1:] for w in opts if w.startswith("-") and w != "--"))
    return "c" if "c" in letters else "s" if "s" in letters else ""


EXPECTED = {"": "expected_digest", "s": "size_digest", "c": "content_digest"}


def parse_groups(path, prefix):
    """A zorv-format report as a Counter of (crc, sorted member tuple), archive
    paths relative to the corpus; and a list of problems (unexpected lines)."""
    groups, problems = collections.Counter(), []
    crc, members = None, None
    with open(path, "rb") as f:
        for raw in f:
            line = raw.rstrip(b"\n")
            if line.startswith(b"CRC32: 0x") and members is None:
                crc, members = int(line[9:], 16), []
            elif line.startswith(b"file: ") and members is not None:
                archive, _, name = line[6:].partition(b", ")
                archive = os.fsdecode(archive)
                if archive.startswith(prefix):
                    archive = archive[len(prefix):]
                members.append((archive, name.decode("utf-8", "surrogateescape")))
            elif line == b"-------" and members is not None:
                groups[(crc, tuple(sorted(members)))] += 1
                crc, members = None, None
            elif len(problems) < 5:
                problems.append("unexpected line %r" % line[:80])
    if members is not None:
        problems.append("last group not terminated")
    return groups, problems


def describe(groups):
    n = sum(groups.values())
    return "%d (%d)" % (n, sum(len(m) * c for (_, m), c in groups.items()))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus", nargs="?", default="verify",
                    help="a corpus of bench/gen_corpus.py (default verify)")
    ap.add_argument("--zorv", help="this zorv binary (default: build one in build/bench)")
    ap.add_argument("--zorv-opts", default="-c -R", help='zorv\'s options (default "-c -R")')
    ap.add_argument("--baseline-opts", help="verify_baseline.py's options (default: zorv's)")
    ap.add_argument("--runs", type=int, default=5, help="measured runs per tool (default 5)")
    ap.add_argument("--timeout", type=float, default=3600,
                    help="kill a run after this many seconds (default 3600; 0: never)")
    ap.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    args = ap.parse_args()

    os.chdir(run.ROOT)
    if args.corpus not in gen_corpus.CORPORA:
        ap.error("unknown corpus %r (known: %s)" % (args.corpus, ", ".join(gen_corpus.CORPORA)))
    for path in (run.SYSTEM_PYTHON, run.TIME):
        if not os.access(path, os.X_OK):
            ap.error("%s is needed" % path)
    zorv = os.path.abspath(args.zorv or run.build(args.jobs))
    meta = gen_corpus.generate(args.corpus)
    target = os.path.normpath(os.path.join("bench", "corpora", args.corpus, meta["target"]))
    prefix = os.path.join("bench", "corpora", args.corpus) + "/"
    out_dir = os.path.join(run.OUT_DIR, args.corpus)
    os.makedirs(out_dir, exist_ok=True)
    stale = os.path.join(out_dir, "verify-disagreement.txt")
    if os.path.exists(stale):
        os.remove(stale)
    opts = {"zorv": shlex.split(args.zorv_opts),
            "baseline": shlex.split(args.baseline_opts if args.baseline_opts is not None
                                    else args.zorv_opts)}
    argvs = {"zorv": [zorv] + opts["zorv"] + [target],
             "baseline": [run.SYSTEM_PYTHON, os.path.join("bench", "verify_baseline.py")] +
                         opts["baseline"] + [target]}
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    verify_bytes = meta.get("verify_bytes")

    def once(tool, what):
        stem = os.path.join(out_dir, "verify-%s.%s" % (tool, what))
        r = run.run_once(argvs[tool], env, stem + ".out", stem + ".err", args.timeout,
                         stream=(what != "warmup"))
        run.log("  %-8s %-6s wall %8.3f s  user %7.3f  sys %7.3f  rss %7.1f MiB  exit %d%s" %
                (tool, what, r.wall, r.user, r.sys, r.maxrss_kib / 1024, r.exit,
                 "  TIMED OUT" if r.timed_out else ""))
        return r

    run.log("%s: %d archives, %d entries, %s member bytes to verify" %
            (args.corpus, meta["archives"], meta["entries"], verify_bytes))
    for tool in argvs:
        run.log("  %s: %s" % (tool, shlex.join(argvs[tool])))
    warm = {tool: once(tool, "warmup") for tool in argvs}
    notes = []
    failed = [t for t, r in warm.items() if r.exit != 0 or r.timed_out]
    for tool in failed:
        notes.append("%s: %s; stderr: %s" % (
            tool, "timed out" if warm[tool].timed_out else "exit status %d" % warm[tool].exit,
            run.first_line(warm[tool].err_path) or "-"))
    runs = {tool: [] for tool in argvs}
    if not failed:
        for _ in range(args.runs):
            for tool in argvs:
                runs[tool].append(once(tool, "run"))

    parsed = {tool: parse_groups(warm[tool].out_path, prefix) for tool in argvs}
    expected = meta.get(EXPECTED[mode(opts["baseline"])])
    if failed:
        agree = "n/a (a tool failed)"
    elif parsed["zorv"][0] == parsed["baseline"][0]:
        digest = gen_corpus.subgroup_digest(list(parsed["zorv"][0].elements()))
        agree = "yes" if digest == expected else "NO: both differ from the generator's groups"
    else:
        z, b = parsed["zorv"][0], parsed["baseline"][0]
        only_z, only_b = z - b, b - z
        agree = "NO: %d groups only in zorv, %d only in the baseline" % (
            sum(only_z.values()), sum(only_b.values()))
        path = os.path.join(out_dir, "verify-disagreement.txt")
        with open(path, "w") as f:
            for label, diff in (("only zorv", only_z), ("only baseline", only_b)):
                for (crc, members), _ in sorted(diff.items())[:20]:
                    f.write("%s: 0x%08x %r\n" % (label, crc, members[:4]))
        notes.append("differences listed in %s" % path)

    head = ("| corpus | tool | command | runs | wall s | user s | sys s | peak RSS MiB "
            "| member data MB/s | zorv/baseline wall | groups (members) | agree |")
    lines = [head, "|" + "---|" * head.count(" | ") + "---|"]
    walls = {t: statistics.median(r.wall for r in runs[t]) if runs[t] else None for t in argvs}
    for tool in argvs:
        rs = runs[tool]
        first = tool == "zorv"
        cells = [args.corpus if first else "", tool,
                 "`%s`" % " ".join(opts[tool] + [args.corpus]), str(len(rs))]
        if rs:
            wall = walls[tool]
            cells += ["%.3f" % wall, "%.3f" % statistics.median(r.user for r in rs),
                      "%.3f" % statistics.median(r.sys for r in rs),
                      "%.1f" % (statistics.median(r.maxrss_kib for r in rs) / 1024),
                      "%.0f" % (verify_bytes / 1e6 / wall)
                      if mode(opts[tool]) == "c" and verify_bytes else "-"]
        else:
            cells += ["-"] * 5
        if first and walls["zorv"] and walls["baseline"]:
            cells.append("%.3f" % (walls["zorv"] / walls["baseline"]))
        else:
            cells.append("")
        cells.append(describe(parsed[tool][0]))
        cells.append(agree if first else "")
        lines.append("| " + " | ".join(cells) + " |")

    for tool in argvs:
        for p in parsed[tool][1]:
            notes.append("%s report: %s" % (tool, p))
        if os.path.getsize(warm[tool].err_path) > 0 and tool not in failed:
            with open(warm[tool].err_path, "rb") as f:
                n_err = sum(1 for _ in f)
            notes.append("%s stderr: %d line(s), first: %s" %
                         (tool, n_err, run.first_line(warm[tool].err_path)))
        if any(r.out_digest != warm[tool].out_digest or r.exit != warm[tool].exit
               for r in runs[tool]):
            notes.append("%s: a measured run's report or exit status differs from the warm-up's"
                         % tool)
        notes.append("%s wall per run: %s (warm-up %.3f)" %
                     (tool, " ".join("%.3f" % r.wall for r in runs[tool]) or "-",
                      warm[tool].wall))
    text = "\n".join([
        "Corpus %s: %d archives, %d entries, %.0f MB uncompressed (%s on disk); "
        "member data to verify: %s MB in %s members. zorv: `%s`. Machine: %s. "
        "Load average at the end: %.2f." %
        (args.corpus, meta["archives"], meta["entries"],
         meta.get("uncompressed_bytes", 0) / 1e6, "%.0f MB" % (meta["disk_bytes"] / 1e6),
         "%.1f" % (verify_bytes / 1e6) if verify_bytes else "?",
         meta.get("verify_members", "?"), zorv, run.machine(), os.getloadavg()[0]),
        "",
        "\n".join(lines),
        "",
        "\n".join("- " + n for n in notes),
        ""])
    print(text)
    with open(os.path.join(out_dir, "verify-run.md"), "w") as f:
        f.write(text)
    run.log("also written to %s" % os.path.join(out_dir, "verify-run.md"))
    ok = not failed and agree == "yes" and not any(
        r.out_digest != warm[t].out_digest for t in argvs for r in runs[t])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
