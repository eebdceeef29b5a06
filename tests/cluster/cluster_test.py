#!/usr/bin/python3
# zorv-dask against single-host zorv on real Dask clusters on 127.0.0.1: the
# same groups (as multisets of members), the same -l and summary lines, exit
# statuses and warnings, over a made collection with the hard cases and over
# random ones also checked against a model of the groups built with Python's
# zipfile; a worker killed in the middle of the run; a scheduler out of reach.
#
#   cluster_test.py --zorv build/release/zorv --zorv-dask cluster/zorv-dask

import argparse
import base64
import collections
import json
import logging
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import zipfile
import zlib

PY = "/usr/bin/python3"
# zorv-dask reads every file of another task through a task with this set.
FETCH = "ZORV_DASK_FETCH"

# ---------------------------------------------------------------------------
# Making archives

CRC_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ 0xEDB88320 if _c & 1 else _c >> 1
    CRC_TABLE.append(_c)
CRC_TOP = {t >> 24: i for i, t in enumerate(CRC_TABLE)}


def forge_crc(prefix, target):
    """prefix and 4 bytes more whose CRC-32 is target: two different
    contents with one CRC-32, of equal or of different sizes."""
    t = target ^ 0xFFFFFFFF
    steps = []
    for _ in range(4):
        i = CRC_TOP[t >> 24]
        steps.append(i)
        t = ((t ^ CRC_TABLE[i]) << 8) & 0xFFFFFFFF
    reg = zlib.crc32(prefix) ^ 0xFFFFFFFF
    tail = bytearray()
    for i in reversed(steps):
        tail.append((reg ^ i) & 0xFF)
        reg = (reg >> 8) ^ CRC_TABLE[i]
    out = prefix + bytes(tail)
    assert zlib.crc32(out) == target
    return out


def write_zip(path, members):
    """members: (name, data or None for a directory, method)."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with zipfile.ZipFile(path, "w") as z:
        for name, data, method in members:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            info.compress_type = method
            if data is None:
                info.external_attr = 0o40755 << 16 | 0x10
                data = b""
            z.writestr(info, data)


def patch_bytes(path, old, new):
    """Every occurrence of old (a placeholder name) becomes new, of the same
    length: a stored name in bytes that zipfile would not write."""
    assert len(old) == len(new)
    with open(path, "rb") as f:
        data = f.read()
    assert data.count(old) == 2, (path, old)  # local and central header
    with open(path, "wb") as f:
        f.write(data.replace(old, new))


def make_fixed(root):
    """The collection with the hard cases. Returns the PATHS to give."""
    S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
    x = b"the same text in several archives\n" * 7
    y = b"twice in one archive\n"
    z = bytes(range(256)) * 3
    w1 = forge_crc(b"first content of one size, one CRC-32.....", 0x5EED1234)
    w2 = forge_crc(b"other content of that size and CRC-32.....", 0x5EED1234)
    assert len(w1) == len(w2) and w1 != w2
    xl = forge_crc(b"longer than x, with x's CRC-32", zlib.crc32(x))
    assert len(xl) != len(x)
    write_zip(os.path.join(root, "a.zip"), [
        ("a.txt", x, D), ("same1.txt", y, S), ("same2.txt", y, D), ("dir/", None, S),
        ("empty.txt", b"", S), ("cafQ.txt", z, D), ("\u00fcber.txt", z, S), ("w.bin", w1, S),
        ("unique-a", b"only in a", S)])
    patch_bytes(os.path.join(root, "a.zip"), b"cafQ.txt", b"caf\x82.txt")
    write_zip(os.path.join(root, "b.zip"), [
        ("a.txt", x, S), ("copy/a.txt", x, D), ("z.dat", z, D), ("w.bin", w2, D),
        ("xl.bin", xl, S), ("unique-b", b"only in b", D)])
    write_zip(os.path.join(root, "c.zip"), [("x", x, D), ("y", y, S)])
    write_zip(os.path.join(root, "sub", "deep", "d.zip"), [("d/x.txt", x, S), ("d/y.txt", y, D),
                                                          ("d/w.bin", w1, D)])
    write_zip(os.path.join(root, "sub", "e.zip"), [("xl-again", xl, D)])
    # Cut short: no end record any more.
    write_zip(os.path.join(root, "truncated.zip"), [("t/x", x, S), ("t/z", z, S)])
    with open(os.path.join(root, "truncated.zip"), "r+b") as f:
        f.truncate(300)
    # A directory whose second header is damaged: the walk keeps the first
    # entry and stops, so the archive is never complete.
    write_zip(os.path.join(root, "halfdir.zip"), [("h/x", x, S), ("h/y", y, S), ("h/z", z, S)])
    with open(os.path.join(root, "halfdir.zip"), "r+b") as f:
        data = bytearray(f.read())
        first = data.find(b"PK\x01\x02")
        second = data.find(b"PK\x01\x02", first + 4)
        data[second:second + 4] = b"PK\x09\x09"
        f.seek(0)
        f.write(data)
    # A member whose data no longer matches its CRC-32: -s groups it by the
    # directory, -c cannot verify it.
    write_zip(os.path.join(root, "baddata.zip"), [("bad/x", x, S), ("bad/y", y, S)])
    with open(os.path.join(root, "baddata.zip"), "r+b") as f:
        data = bytearray(f.read())
        at = data.find(x)
        data[at + 5] ^= 0xFF
        f.seek(0)
        f.write(data)
    # ZIP64: zipfile writes its extra fields and end records past limits
    # lowered for this one archive.
    limits = zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT
    zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 64, 1
    try:
        write_zip(os.path.join(root, "sub", "z64.zip"), [("z64/x", x, S), ("z64/z", z, D)])
    finally:
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = limits
    with open(os.path.join(root, "sub", "z64.zip"), "rb") as f:
        assert b"PK\x06\x06" in f.read(), "no ZIP64 end record"
    # Archives only --known-exts and --any-name take.
    write_zip(os.path.join(root, "sub", "f.jar"), [("META-INF/x", x, D), ("y", y, S)])
    write_zip(os.path.join(root, "sub", "g.dat"), [("g/z", z, D)])
    write_zip(os.path.join(root, "lonely.zip"), [("nothing", b"nothing like it anywhere", D)])
    return ["a.zip", "b.zip", "c.zip", "sub", "truncated.zip", "halfdir.zip", "baddata.zip",
            "missing.zip"]


def make_random(root, rng):
    """A random collection drawn from a small pool of contents (so many
    duplicates), and the PATHS to give: archives and directories."""
    pool = [rng.randbytes(rng.randint(0, 200)) for _ in range(rng.randint(4, 12))]
    pool.append(b"")
    paths = []
    top = []
    for a in range(rng.randint(2, 7)):
        where = rng.choice(["", "", "d1", os.path.join("d1", "d2"), "d3"])
        name = os.path.join(where, "r%d.zip" % a)
        members = []
        used = set()
        for m in range(rng.randint(0, 10)):
            n = "m%d-%s" % (m, rng.choice(["a", "b", "dir/c", "dir/d"]))
            if n in used:
                continue
            used.add(n)
            if rng.random() < 0.08:
                members.append((n + "/", None, zipfile.ZIP_STORED))
            else:
                members.append((n, rng.choice(pool), rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])))
        write_zip(os.path.join(root, name), members)
        if where == "":
            top.append(name)
    paths = top + [d for d in ("d1", "d3") if os.path.isdir(os.path.join(root, d))]
    rng.shuffle(paths)
    return paths


def model_groups(root, paths):
    """The groups zorv -s must report, from zipfile's own reading: per
    (CRC-32, size) with a non-zero CRC-32, the entries holding it, when two
    or more."""
    archives = []
    for p in paths:
        full = os.path.join(root, p)
        if os.path.isdir(full):
            for dirpath, dirs, files in os.walk(full):
                for f in files:
                    if f.endswith(".zip"):
                        archives.append(os.path.relpath(os.path.join(dirpath, f), root))
        else:
            archives.append(p)
    keyed = collections.defaultdict(list)
    for a in archives:
        with zipfile.ZipFile(os.path.join(root, a)) as z:
            for info in z.infolist():
                if info.CRC != 0:
                    keyed[(info.CRC, info.file_size)].append((a.encode(), info.filename.encode()))
    return collections.Counter((crc, tuple(sorted(m))) for (crc, size), m in keyed.items() if len(m) >= 2)


# ---------------------------------------------------------------------------
# Reading reports

PROGRESS = re.compile(rb"\rzorv-dask: \d+/\d+ tasks\x1b\[K|\r\x1b\[K")


class Report:
    def __init__(self, proc, jsonl):
        self.status = proc.returncode
        self.stdout = proc.stdout
        self.stderr_raw = proc.stderr
        self.stderr = PROGRESS.sub(b"", proc.stderr)
        self.warnings = set(line for line in self.stderr.split(b"\n") if line)
        self.groups = collections.Counter()
        self.lists = []
        self.summary = []
        self.unverified = collections.Counter()
        self.order = []  # the groups' (CRC-32, size), size 0 in text, as printed
        if jsonl:
            self.read_jsonl()
        else:
            self.read_text()

    def read_text(self):
        crc, members = None, None
        for line in self.stdout.split(b"\n"):
            if line.startswith(b"CRC32: 0x"):
                assert members is None, line
                crc, members = int(line[9:], 16), []
            elif line.startswith(b"file: "):
                archive, sep, name = line[6:].partition(b", ")
                assert members is not None and sep, line
                members.append((archive, name))
            elif line == b"-------":
                assert members is not None and len(members) >= 2, members
                self.groups[(crc, tuple(sorted(members)))] += 1
                self.order.append((crc, 0))
                crc, members = None, None
            elif line.startswith(b"FileListName: "):
                self.lists.append(line)
            elif line.startswith(b"Summary: "):
                self.summary.append(line)
            else:
                assert line == b"", b"unexpected report line: " + line
        assert members is None, "a group not ended"

    def read_jsonl(self):
        for line in self.stdout.split(b"\n"):
            if not line:
                continue
            r = json.loads(line)
            if r["type"] == "group":
                ms = tuple(sorted((m["archive"], m.get("name_b64") or m["name"], m["size"], m["csize"],
                                   m["method"]) for m in r["members"]))
                assert len(ms) >= 2
                self.groups[(int(r["crc32"], 16), ms)] += 1
                self.order.append((int(r["crc32"], 16), r["members"][0]["size"]))
            elif r["type"] == "archive":
                self.lists.append(line)
            elif r["type"] == "summary":
                self.summary.append(line)
            elif r["type"] == "unverified":
                self.unverified[line] += 1
            else:
                raise AssertionError("unexpected record: %r" % line)


class Failure(Exception):
    pass


def check(cond, what, *detail):
    if not cond:
        raise Failure(what + "".join("\n    " + repr(d)[:3000] for d in detail))


class Env:
    def __init__(self, zorv, zorv_dask, scheduler):
        self.zorv = zorv
        self.zorv_dask = zorv_dask
        self.scheduler = scheduler

    def single(self, root, opts, paths):
        return subprocess.run([self.zorv] + opts + paths, cwd=root, capture_output=True, timeout=60)

    def cluster(self, root, opts, paths, how=None, zorv=None, **kw):
        how = how if how is not None else ["--scheduler", self.scheduler]
        cmd = [PY, self.zorv_dask] + how + ["--zorv=" + (zorv or self.zorv)] + opts + paths
        return subprocess.run(cmd, cwd=root, capture_output=True, timeout=120, **kw)


def compare(env, root, opts, paths, single_opts=None, how=None, expect_groups=True, run_env=None):
    """zorv-dask OPTS PATHS against zorv -s (or -c) OPTS PATHS."""
    jsonl = "--format=jsonl" in opts
    if single_opts is None:
        single_opts = (["-s"] if "-c" not in opts else []) + [x for x in opts if not x.startswith("--progress")]
    one = Report(env.single(root, single_opts, paths), jsonl)
    t0 = time.time()
    many = Report(env.cluster(root, opts, paths, how=how, env=run_env), jsonl)
    took = time.time() - t0
    ctx = (" ".join(opts + paths), "zorv stderr:", one.stderr, "zorv-dask stderr:", many.stderr)
    check(one.status in (0, 2), "single-host zorv failed", *ctx)
    check(many.status == one.status, "exit status %d, zorv's %d" % (many.status, one.status), *ctx)
    check(many.groups == one.groups, "other groups than zorv's", *ctx,
          "only zorv:", one.groups - many.groups, "only zorv-dask:", many.groups - one.groups)
    check(many.lists == one.lists, "other -l lines than zorv's", *ctx, one.lists, many.lists)
    check(many.summary == one.summary, "another summary than zorv's", *ctx, one.summary, many.summary)
    check(many.unverified == one.unverified, "other unverified records", *ctx, one.unverified,
          many.unverified)
    check(many.warnings == one.warnings, "other warnings than zorv's", *ctx)
    check(many.order == sorted(many.order), "zorv-dask's groups not in (CRC-32, size) order", many.order)
    if expect_groups:
        check(len(one.groups) > 0, "the case shows no group", *ctx)
    return one, many, took


# ---------------------------------------------------------------------------
# The tests


def test_fixed_modes(env, work):
    root = os.path.join(work, "fixed")
    paths = make_fixed(root)
    combos = [
        ["-R"],
        ["-R", "-s", "-l", "--summary"],
        ["-R", "--format=jsonl", "-l", "--summary"],
        ["-R", "-c", "-l", "--summary", "--exit-status"],
        ["-R", "-c", "--format=jsonl", "-l"],
        ["-R", "-s", "--exit-status", "-j", "2"],
        ["-R", "--known-exts", "--any-name", "-l", "--summary"],
        ["-R", "--ext=jar,DAT", "-l"],
    ]
    times = []
    for opts in combos:
        one, many, took = compare(env, root, opts, paths)
        times.append(took)
    # The hard cases did show: each is worth nothing if the collection lost it.
    one, many, _ = compare(env, root, ["-R", "-c", "--format=jsonl"], paths)
    names = set(m[1] for _, ms in many.groups for m in ms)
    check("\u00fcber.txt" in names, "the UTF-8 flagged name is not in a group", names)
    check(base64.b64encode(b"caf\x82.txt").decode() in names, "the code page 437 name is not in a group", names)
    check(any(m[0] == "sub/z64.zip" for _, ms in many.groups for m in ms), "the ZIP64 archive is in no group")
    check(len(many.unverified) == 1, "-c should leave the damaged member out", many.unverified)
    w_groups = [ms for (crc, ms) in many.groups if crc == 0x5EED1234]
    check(len(w_groups) == 1 and len(w_groups[0]) == 2, "-c should split the forged pair", w_groups)
    plain = Report(env.single(root, ["-R"], paths), False)
    check(plain.groups != Report(env.single(root, ["-R", "-s"], paths), False).groups,
          "the collection has no CRC-32 shared by two sizes")
    check(any(b"truncated.zip" in w for w in many.warnings) and any(b"halfdir.zip" in w for w in many.warnings)
          and any(b"missing.zip" in w for w in many.warnings), "a warning missing", many.warnings)
    # A PATH named twice lands in two shards: read twice, as zorv reads it,
    # only without zorv's warning.
    twice = paths + ["a.zip"]
    one = Report(env.single(root, ["-R", "-s", "-l", "--summary"], twice), False)
    many = Report(env.cluster(root, ["-R", "-l", "--summary"], twice), False)
    check((many.status, many.groups, many.lists, many.summary) == (one.status, one.groups, one.lists, one.summary),
          "a PATH named twice gives another report", one.stdout, many.stdout)
    check(many.warnings == one.warnings - {b"zorv: warning, duplicate file name: a.zip"},
          "a PATH named twice: other warnings", one.warnings, many.warnings)
    # Without -R the subdirectory's archives are not read.
    compare(env, root, ["--summary"], paths)
    # No group: status 0 both.
    compare(env, root, ["--exit-status", "--summary"], ["lonely.zip", "truncated.zip"], expect_groups=False)
    # --files-from, NUL-ended, read by the client.
    with open(os.path.join(root, "list0"), "wb") as f:
        f.write(b"".join(p.encode() + b"\0" for p in paths[2:]))
    one = Report(env.single(root, ["-R", "-s", "-l", "--summary"], paths), False)
    many = Report(env.cluster(root, ["-R", "-l", "--summary", "--files-from=list0", "--null"] + paths[:2], []),
                  False)
    check((many.status, many.groups, many.lists, many.summary) == (one.status, one.groups, one.lists, one.summary),
          "--files-from gives another report", one.stdout, many.stdout, many.stderr)
    # Each run takes its files away from the workers' temporary directory.
    left = [n for n in os.listdir(os.path.join(work, "tmp")) if n.startswith("zorv-dask-")]
    check(not left, "runs left their files behind", left)
    return "%d option sets, %.1f-%.1f s a run" % (len(times), min(times), max(times))


def test_fetched(env, work):
    """Every read of another task's files through a task on the host that
    holds them, as when each worker and the client are hosts of their own:
    the same reports, and the reads did go through tasks."""
    from distributed import Client, LocalCluster

    os.environ[FETCH] = "always"
    try:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None, silence_logs=logging.CRITICAL)
    finally:
        del os.environ[FETCH]
    client = Client(cluster)
    try:
        far = Env(env.zorv, env.zorv_dask, cluster.scheduler_address)
        root = os.path.join(work, "fixed")
        paths = make_fixed(root)
        client.get_task_stream()  # from here on
        t0 = time.time()
        for opts in (["-R", "-s", "-l", "--summary"], ["-R", "-c", "--format=jsonl", "-l"]):
            compare(far, root, opts, paths, run_env=dict(os.environ, **{FETCH: "always"}))
        reads = [t for t in client.get_task_stream(start=t0) if t["key"].startswith("read_span")]
        # Keys into the reduces, places into the resolves, outputs to the client.
        check(len(reads) >= 2 * len(paths), "%d reads through tasks" % len(reads))
        return "%d reads through tasks" % len(reads)
    finally:
        client.close()
        cluster.close()


def test_reduce(env, work, client):
    """The reduce task against a model, on keys made to trip it: CRC-32
    zero, and sizes 4 GiB apart whose 64-bit sort key is one."""
    sys.path.insert(0, os.path.dirname(os.path.realpath(env.zorv_dask)))
    import cloudpickle
    import zorv_dask

    cloudpickle.register_pickle_by_value(zorv_dask)  # the workers have no copy, as for zorv-dask itself
    rng = random.Random(7)
    loc = client.submit(lambda: {"id": zorv_dask.host_id(), "host": "127.0.0.1"}, pure=False).result()
    for trial in range(6):
        shards, metas = [], []
        for s in range(3):
            recs = [(rng.choice([0, 1, 2, 0xFFFFFFFF]), rng.choice([5, 5 + (1 << 32), 6, (1 << 33) + 5]),
                     rng.randrange(1 << 32), rng.randrange(1 << 32)) for _ in range(rng.randrange(0, 12))]
            shards.append(recs)
            path = os.path.join(work, "keys-%d-%d" % (trial, s))
            with open(path, "wb") as f:
                f.write(b"".join(struct.pack("<IQII", *r) for r in recs))
            # Two parts: the first one record long (or none).
            cut = 20 * min(1, len(recs))
            metas.append({"loc": loc, "path": path, "offsets": [0, cut, 20 * len(recs)]})
        seen = collections.Counter((c, z) for recs in shards for c, z, _, _ in recs[1:])
        got = client.submit(zorv_dask.reduce_parts, "t%d" % trial, 0, 1, 2, metas, env.zorv, pure=False).result()
        with open(got["path"], "rb") as f:
            data = f.read()
        for s, recs in enumerate(shards):
            want = sorted((a, p, c, z) for c, z, a, p in recs[1:] if c != 0 and seen[(c, z)] > 1)
            mine = data[got["bounds"][s]:got["bounds"][s + 1]]
            have = sorted(struct.unpack_from("<IIIQ", mine, i) for i in range(0, len(mine), 20))
            check(have == want, "trial %d shard %d: other places than the model's" % (trial, s), recs, have, want)
    client.run(zorv_dask.remove_store, "t0")
    # Its zorv runs get malloc's huge pages; a tunable of the user's stays.
    saved = os.environ.pop("GLIBC_TUNABLES", None)
    try:
        for given, want in ((None, "glibc.malloc.hugetlb=1"),
                            ("glibc.malloc.check=3", "glibc.malloc.check=3:glibc.malloc.hugetlb=1"),
                            ("glibc.malloc.hugetlb=0", "glibc.malloc.hugetlb=0")):
            if given is not None:
                os.environ["GLIBC_TUNABLES"] = given
            got = zorv_dask.zorv_env().get("GLIBC_TUNABLES")
            check(got == want, "zorv runs get GLIBC_TUNABLES=%s, not %s" % (got, want))
            os.environ.pop("GLIBC_TUNABLES", None)
    finally:
        if saved is not None:
            os.environ["GLIBC_TUNABLES"] = saved


def test_cache(env, work):
    """-c --cache=FILE: each worker's zorv keeps what it read in FILE (one
    file here, both workers on this host) and takes it back the next time;
    the reports stay zorv's."""
    root = os.path.join(work, "fixed")
    paths = make_fixed(root)
    cache = os.path.join(work, "cache.sqlite")
    for _ in range(2):
        compare(env, root, ["-R", "-c", "-l", "--summary", "--cache=" + cache], paths,
                single_opts=["-R", "-c", "-l", "--summary"])
    check(os.path.getsize(cache) > 0, "no cache written")


def test_local(env, work):
    root = os.path.join(work, "fixed")
    t0 = time.time()
    compare(env, root, ["-R", "-l", "--summary", "--progress=always"], make_fixed(root),
            how=["--local", "2"])
    return "%.1f s with its own cluster" % (time.time() - t0)


def test_progress(env, work):
    root = os.path.join(work, "fixed")
    paths = make_fixed(root)
    p = env.cluster(root, ["-R", "--progress=always"], paths)
    lines = re.findall(rb"zorv-dask: (\d+)/(\d+) tasks", p.stderr)
    check(p.returncode == 0 and lines, "no progress line", p.stderr)
    done, total = int(lines[-1][0]), int(lines[-1][1])
    # A map and a resolve per shard (one a PATH here), two reduces a worker.
    check(done == total and total == 2 * len(paths) + 2 * 2, "progress ends at %d/%d" % (done, total),
          p.stderr)
    check(p.stderr.count(b"\r\x1b[K") >= 1 and p.stderr.find(b"\r\x1b[K") < p.stderr.find(b"warning"),
          "progress not cleared before the messages", p.stderr)
    q = env.cluster(root, ["-R"], paths)
    check(b"tasks" not in q.stderr, "a progress line on a redirected run", q.stderr)


def on_terminal(cmd, cwd):
    """Runs cmd with its standard error on a pseudo-terminal: (status,
    stdout, what the terminal got, line ends as written)."""
    import pty
    import threading

    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.ONLCR  # the bytes as written: no \r added
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    got = []

    def drain():
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                return
            if not chunk:
                return
            got.append(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    p = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    out = p.stdout.read()
    p.wait(timeout=120)
    reader.join(timeout=10)
    os.close(master)
    return p.returncode, out, b"".join(got)


def test_terminal(env, work):
    """Standard error on a terminal: the progress line by itself, and the
    workers' messages with control bytes escaped as zorv escapes its own."""
    root = os.path.join(work, "fixed")
    paths = make_fixed(root) + ["gone\x1b[31m\x07.zip"]
    one = on_terminal([env.zorv, "-R", "-s", "-c", "--progress=never"] + paths, root)
    many = on_terminal([PY, env.zorv_dask, "--scheduler", env.scheduler, "--zorv=" + env.zorv, "-R", "-c"] + paths,
                       root)
    check(one[0] == many[0] == 0, "status", one, many)
    check(re.search(rb"zorv-dask: \d+/\d+ tasks", many[2]), "no progress line on a terminal", many[2])
    warn_one = set(x for x in one[2].split(b"\n") if x)
    warn_many = set(x for x in PROGRESS.sub(b"", many[2]).split(b"\n") if x)
    check(warn_one == warn_many, "other messages on a terminal", one[2], many[2])
    check(b'"gone\\x1b[31m\\x07.zip"' in many[2], "a control byte reached the terminal", many[2])
    check(Report(subprocess.CompletedProcess([], 0, many[1], b""), False).groups ==
          Report(subprocess.CompletedProcess([], 0, one[1], b""), False).groups, "other groups", one[1], many[1])


def wrapper(path, zorv, log, sleep):
    """A zorv that notes which process ran it for which paths, and waits in
    the keys pass: the test sees where each shard ran, and has time to kill
    a worker in the middle of one."""
    with open(path, "w") as f:
        f.write("""#!/bin/sh
case "$1" in
--keys=*)
    list=$(mktemp)
    cat > "$list"
    echo "$PPID $(tr '\\000' ' ' < "$list")" >> '%s'
    sleep %s
    '%s' "$@" < "$list"
    status=$?
    rm -f "$list"
    exit $status;;
esac
exec '%s' "$@"
""" % (log, sleep, zorv, zorv))
    os.chmod(path, 0o755)


def test_lost_files(env, work):
    """A host's files of the run gone in the middle (the first resolve takes
    every reduce's places away): the run starts over and gives zorv's
    report; gone every time, it ends with the error and status 1."""
    root = os.path.join(work, "fixed")
    paths = make_fixed(root)
    one = Report(env.single(root, ["-R", "-s", "-l", "--summary"], paths), False)
    notes = []
    for once in (True, False):
        marker = os.path.join(work, "lost-once-%d" % once)
        wrap = os.path.join(work, "losing-zorv-%d" % once)
        with open(wrap, "w") as f:
            f.write("""#!/bin/sh
case "$1" in
--resolve=*)
    if %s; then
        rm -f "${TMPDIR:-/tmp}"/zorv-dask-*/r*
        echo x >> '%s'
    fi;;
esac
exec '%s' "$@"
""" % ("[ ! -e '%s' ]" % marker if once else "true", marker, env.zorv))
        os.chmod(wrap, 0o755)
        many = Report(env.cluster(root, ["-R", "-l", "--summary"], paths, zorv=wrap), False)
        if once:
            check((many.status, many.groups, many.lists, many.summary, many.warnings) ==
                  (one.status, one.groups, one.lists, one.summary, one.warnings),
                  "the run started over gives another report", one.stdout, many.stdout, many.stderr)
        else:
            check(many.status == 1 and many.stdout == b"" and
                  b"zorv-dask: error, files of the run were lost four times, the last: " in many.stderr,
                  "files lost every time: not the error", many.status, many.stdout, many.stderr)
            with open(marker) as f:
                check(len(f.readlines()) >= 4, "fewer than four runs")
        notes.append("%s: status %d" % ("once" if once else "always", many.status))
    return ", ".join(notes)


def test_paths_on(env, work, client):
    root = os.path.join(work, "fixed")
    paths = make_fixed(root)
    log = os.path.join(work, "placed.log")
    wrap = os.path.join(work, "placed-zorv")
    wrapper(wrap, env.zorv, log, 0)
    info = client.scheduler_info()["workers"]
    pids = client.run(os.getpid)
    name_of = {pids[a]: str(i["name"]) for a, i in info.items()}
    check(sorted(name_of.values()) == ["0", "1"], "the test cluster's workers are not 0 and 1", name_of)
    on = {"a.zip": "0", "b.zip": "1", "sub": "1", "c.zip": "0"}
    mapping = []
    for p, w in on.items():
        mapping += ["--paths-on", "%s=%s" % (w, p)]
    one = Report(env.single(root, ["-R", "-s", "-l", "--summary"], paths), False)
    many = Report(env.cluster(root, mapping + ["-R", "-l", "--summary"], paths, zorv=wrap), False)
    check((many.status, many.groups, many.lists, many.summary, many.warnings) ==
          (one.status, one.groups, one.lists, one.summary, one.warnings),
          "--paths-on gives another report", one.stdout, many.stdout, many.stderr)
    ran = collections.defaultdict(list)
    with open(log) as f:
        for line in f:
            pid, *shard = line.split()
            for p in shard:
                ran[p].append(name_of.get(int(pid), "?" + pid))
    for p, w in on.items():
        check(ran.get(p) == [w], "%s ran on %s, not once on worker %s" % (p, ran.get(p), w), ran)
    check(sorted(ran) == sorted(paths) and all(len(v) == 1 for v in ran.values()),
          "not every PATH indexed once", ran)
    bad = env.cluster(root, ["--paths-on", "nobody=a.zip"], paths)
    check(bad.returncode == 1 and b"nobody" in bad.stderr and not bad.stdout, "an unknown worker is accepted",
          bad.stderr)


def test_changed_archive(env, work):
    """An archive rewritten between the keys pass and the resolve pass ends
    the run as zorv ends one whose archive changed under it."""
    root = os.path.join(work, "changed")
    paths = make_fixed(root)
    wrap = os.path.join(work, "changing-zorv")
    replacement = os.path.join(work, "other-b.zip")
    target = os.path.join(root, "b.zip")
    write_zip(replacement, [("a.txt", b"other", zipfile.ZIP_STORED), ("copy/a.txt", b"another", zipfile.ZIP_STORED)])
    with open(wrap, "w") as f:
        f.write("""#!/bin/sh
case "$1" in
--resolve=*) cp '%s' '%s.new' && mv '%s.new' '%s';;
esac
exec '%s' "$@"
""" % (replacement, target, target, target, env.zorv))
    os.chmod(wrap, 0o755)
    p = env.cluster(root, ["-R", "--summary"], paths, zorv=wrap)
    check(p.returncode == 1, "status %d, not 1" % p.returncode, p.stderr)
    check(p.stdout == b"", "a report after the archive changed", p.stdout)
    check(p.stderr.endswith(b"zorv: internal error, unable to match cd_pos & crc32: b.zip\n"),
          "not zorv's message for a changed archive", p.stderr)


def test_vanished_archive(env, work):
    """An archive gone before the resolve pass: its members drop out, groups
    left with one member go, and the reader says why."""
    root = os.path.join(work, "vanished")
    paths = make_fixed(root)
    one = Report(env.single(root, ["-R", "-s"], paths), False)
    wrap = os.path.join(work, "removing-zorv")
    with open(wrap, "w") as f:
        f.write("""#!/bin/sh
case "$1" in
--resolve=*) rm -f '%s';;
esac
exec '%s' "$@"
""" % (os.path.join(root, "c.zip"), env.zorv))
    os.chmod(wrap, 0o755)
    many = Report(env.cluster(root, ["-R"], paths, zorv=wrap), False)
    expected = collections.Counter()
    for (crc, ms), n in one.groups.items():
        left = tuple(m for m in ms if m[0] != b"c.zip")
        if len(left) >= 2:
            expected[(crc, left)] += n
    check(expected != one.groups, "c.zip held no group member")
    check(many.status == 0 and many.groups == expected, "other groups than zorv's without c.zip",
          expected, many.groups, many.stderr)
    check(many.warnings == one.warnings | {b"zorv: unable to open file: c.zip"}, "other warnings",
          one.warnings, many.warnings)


def test_packed(env, work):
    """More PATHs than 4 shards a worker: consecutive PATHs share shards,
    each PATH in one, and the report is still zorv's."""
    root = os.path.join(work, "packed")
    rng = random.Random(7)
    pool = [rng.randbytes(rng.randint(1, 60)) for _ in range(12)]
    paths = []
    for a in range(21):
        paths.append("p%02d.zip" % a)
        write_zip(os.path.join(root, paths[-1]), [("m%d" % m, rng.choice(pool), zipfile.ZIP_DEFLATED)
                                                  for m in range(rng.randint(1, 6))])
    log = os.path.join(work, "packed.log")
    wrap = os.path.join(work, "packed-zorv")
    wrapper(wrap, env.zorv, log, 0)
    one = Report(env.single(root, ["-s", "-l", "--summary"], paths), False)
    many = Report(env.cluster(root, ["-l", "--summary"], paths, zorv=wrap), False)
    check((many.status, many.groups, many.lists, many.summary, many.warnings) ==
          (one.status, one.groups, one.lists, one.summary, one.warnings),
          "packed shards give another report", one.stdout, many.stdout, many.stderr)
    with open(log) as f:
        shards = sorted(line.split()[1:] for line in f)
    check(len(shards) == 8 and sum(shards, []) == paths, "not 8 shards of consecutive PATHs", shards)
    return "21 PATHs in shards of %s" % [len(x) for x in shards]


def test_random(env, work):
    seeds = [11, 23, 37, 41, 59]
    for seed in seeds:
        rng = random.Random(seed)
        root = os.path.join(work, "random-%d" % seed)
        paths = make_random(root, rng)
        opts = ["-R"] + rng.choice([[], ["-l"], ["--summary"], ["-c", "-l", "--summary"], ["--exit-status"]])
        expected = model_groups(root, paths)
        one, many, _ = compare(env, root, opts, paths, expect_groups=False)
        if "-c" not in opts:
            check(many.groups == expected, "seed %d: other groups than zipfile's" % seed, opts, paths,
                  expected - many.groups, many.groups - expected)
        # Invariants of any report: a member in one group only; each group
        # one CRC-32 and two members or more.
        seen = collections.Counter(m for (crc, ms), n in many.groups.items() for m in ms for _ in range(n))
        check(all(n == 1 for n in seen.values()), "seed %d: a member in two groups" % seed, seen)
    return "seeds %s" % seeds


def test_killed_worker(env, work, client):
    """A worker killed while a keys pass runs on it: its tasks run again
    (on the other worker, or on it once its nanny has started it again when
    --paths-on ties them to it), and the report is still zorv's."""
    root = os.path.join(work, "fixed")
    paths = make_fixed(root)
    one = Report(env.single(root, ["-R", "-s", "-l", "--summary"], paths), False)
    notes = []
    for tied in (False, True):
        log = os.path.join(work, "killed-%d.log" % tied)
        wrap = os.path.join(work, "slow-zorv-%d" % tied)
        wrapper(wrap, env.zorv, log, 2)
        info = client.scheduler_info()["workers"]
        pid_of = client.run(os.getpid)
        pids = {pid_of[a]: str(i["name"]) for a, i in info.items()}
        mapping = []
        if tied:
            # Half the PATHs on worker 0, where the kill comes.
            for p in paths[::2]:
                mapping += ["--paths-on", "0=" + p]
        cmd = [PY, env.zorv_dask, "--scheduler", env.scheduler, "--zorv=" + wrap, "-R", "-l", "--summary"] + \
            mapping + paths
        proc = subprocess.Popen(cmd, cwd=root, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        victim = None
        deadline = time.time() + 30
        while victim is None and time.time() < deadline:
            time.sleep(0.1)
            if os.path.exists(log):
                with open(log) as f:
                    for line in f:
                        pid = int(line.split()[0])
                        if pid in pids and (not tied or pids[pid] == "0"):
                            victim = pid
                            break
        if victim is None:
            proc.kill()
        check(victim is not None, "no keys pass ran on the worker to kill")
        os.kill(victim, signal.SIGKILL)
        out, err = proc.communicate(timeout=120)
        many = Report(subprocess.CompletedProcess(cmd, proc.returncode, out, err), False)
        with open(log) as f:
            runs = len(f.readlines())
        check((many.status, many.groups, many.lists, many.summary, many.warnings) ==
              (one.status, one.groups, one.lists, one.summary, one.warnings),
              "the run with a killed worker gives another report (tied: %s)" % tied,
              one.stdout, many.stdout, many.stderr)
        check(runs > len(paths), "no keys pass ran again after the kill (%d runs)" % runs)
        client.wait_for_workers(2, timeout=30)
        notes.append("%d keys passes for %d shards%s" % (runs, len(paths), " (--paths-on)" if tied else ""))
    return ", ".join(notes)


def test_unreachable(env, work):
    t0 = time.time()
    p = subprocess.run([PY, env.zorv_dask, "--scheduler", "tcp://127.0.0.1:1", "--timeout=3",
                        "--zorv=" + env.zorv, "a.zip"], cwd=work, capture_output=True, timeout=60)
    took = time.time() - t0
    check(p.returncode == 1, "status %d, not 1" % p.returncode, p.stderr)
    check(p.stderr.startswith(b"zorv-dask: error, cannot reach the scheduler at tcp://127.0.0.1:1: ")
          and p.stderr.count(b"\n") == 1, "not the error message", p.stderr)
    check(took < 3 + 10, "took %.1f s" % took)
    check(p.stdout == b"", "something on standard output", p.stdout)
    return "%.1f s" % took


def test_command_errors(env, work):
    for opts, what in ((["--nested"], b"--nested"), ([], b"--scheduler"), (["--format=xml"], b"xml")):
        how = [] if what == b"--scheduler" else ["--scheduler", env.scheduler]
        p = subprocess.run([PY, env.zorv_dask] + how + opts + ["x.zip"], cwd=work, capture_output=True,
                           timeout=60)
        check(p.returncode == 1 and p.stderr.startswith(b"zorv-dask: command error") and what in p.stderr,
              "no command error for %s" % opts, p.stderr)
    # The workers' zorv refuses it: its message, once, and its status.
    root = os.path.join(work, "fixed")
    paths = make_fixed(root)
    one = env.single(root, ["-s", "-j", "300"], paths)
    many = env.cluster(root, ["-j", "300"], paths)
    check(one.returncode == 1 and one.stderr.startswith(b"zorv: command error"), "zorv takes -j 300", one.stderr)
    check((many.returncode, many.stdout, many.stderr) == (1, b"", one.stderr),
          "not the workers' zorv's error", one.stderr, many.stderr)
    usage = subprocess.run([PY, env.zorv_dask], capture_output=True, timeout=60)
    check(usage.returncode == 0 and usage.stdout.startswith(b"Usage: zorv-dask"), "no usage text", usage)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zorv", required=True)
    ap.add_argument("--zorv-dask", required=True)
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    a = ap.parse_args()
    zorv = os.path.abspath(a.zorv)
    zorv_dask = os.path.abspath(a.zorv_dask)
    work = tempfile.mkdtemp(prefix="zorv-cluster-test-")
    # The workers' temporary directories land here, also those of a zorv
    # left running by the killed worker.
    os.makedirs(os.path.join(work, "tmp"))
    os.environ["TMPDIR"] = os.path.join(work, "tmp")

    import warnings

    from distributed import Client, LocalCluster

    warnings.filterwarnings("ignore", message="Port .* is already in use")

    t_start = time.time()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=logging.CRITICAL)
    client = Client(cluster)
    env = Env(zorv, zorv_dask, cluster.scheduler_address)
    tests = [
        ("fixed collection, every report form", lambda: test_fixed_modes(env, work)),
        ("command errors", lambda: test_command_errors(env, work)),
        ("-c --cache", lambda: test_cache(env, work)),
        ("reads through tasks", lambda: test_fetched(env, work)),
        ("the reduce against a model", lambda: test_reduce(env, work, client)),
        ("--local 2", lambda: test_local(env, work)),
        ("progress line", lambda: test_progress(env, work)),
        ("on a terminal", lambda: test_terminal(env, work)),
        ("--paths-on", lambda: test_paths_on(env, work, client)),
        ("a host's files lost", lambda: test_lost_files(env, work)),
        ("archive changed during the run", lambda: test_changed_archive(env, work)),
        ("archive vanished during the run", lambda: test_vanished_archive(env, work)),
        ("many PATHs packed into shards", lambda: test_packed(env, work)),
        ("random collections", lambda: test_random(env, work)),
        ("scheduler out of reach", lambda: test_unreachable(env, work)),
        ("worker killed mid-run", lambda: test_killed_worker(env, work, client)),
    ]
    passed = failed = 0
    try:
        for name, fn in tests:
            t0 = time.time()
            try:
                note = fn()
                passed += 1
                print("PASS %s (%.1f s)%s" % (name, time.time() - t0, ": " + note if note else ""), flush=True)
            except Failure as e:
                failed += 1
                print("FAIL %s: %s" % (name, e), flush=True)
            except Exception as e:
                failed += 1
                print("FAIL %s: %s: %s" % (name, type(e).__name__, e), flush=True)
    finally:
        client.close()
        cluster.close()
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
    print("total %.1f s" % (time.time() - t_start))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
