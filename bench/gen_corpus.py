#!/usr/bin/python3
"""Writes the benchmark corpora under bench/corpora/ (git-ignored).

    bench/gen_corpus.py [--quick] [--force] [corpus ...]

With no corpus named, writes the full-size set (or the small set with
--quick). Output is deterministic: seeded RNG, fixed entry dates, stored
(uncompressed) entries with real CRC-32s. A corpus is written again only when
its metadata file is missing or records other parameters (or --force).
The verify corpora (named only explicitly: `gen_corpus.py verify verify-small`)
differ: compressed members with contents to read, for runs that check them.

Each corpus is a directory bench/corpora/<name>/ and a metadata file
bench/corpora/<name>.json, written last, holding the parameters, the number
of archives and central-directory entries, the path to give zorv, and the
duplicate groups the generator knows it wrote (counts and a digest of the
canonical group set; see group_digest).

Python 3 standard library only.
"""

import argparse
import hashlib
import json
import math
import os
import random
import shutil
import sys
import time
import zipfile
import zlib

GENERATOR_VERSION = 1
CORPORA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpora")
DATE_TIME = (2020, 1, 2, 3, 4, 6)

# name -> parameters. "kind" picks the writer below.
CORPORA = {
    # 2,000 archives x 500 entries over nested directories; about 30% of the
    # entries draw their contents from a shared pool, so they repeat across
    # archives. One directory entry per archive (CRC-32 zero).
    "medium": {"kind": "medium", "archives": 2000, "entries": 500, "repeat": 0.30,
               "pool": 30000, "seed": 11},
    # One archive of 200,000 entries with distinct CRC-32s, and a byte-identical
    # copy: 200,000 groups of two. "single" is the same archive alone: no groups.
    "pair": {"kind": "pair", "entries": 200000, "copies": 2, "seed": 22},
    "single": {"kind": "pair", "entries": 200000, "copies": 1, "seed": 22},
    # 1,000 archives that all hold the same 100 files: 100 groups of 1,000.
    "shared": {"kind": "shared", "archives": 1000, "files": 100, "seed": 33},
    # A 1 GiB file named big.zip that holds no archive (sparse, all zero bytes).
    "nosig": {"kind": "nosig", "size": 1 << 30},
    # The same size written out: bytes on disk (and in the page cache) that an
    # exact end-record search must read, where a sparse file's holes need not be.
    "nosig-dense": {"kind": "nosig", "size": 1 << 30, "dense": True},
    # medium ten times over, on demand only (not in the full set; 1.6 GB):
    # 10,000,000 entries, for the cost per entry at scale (run.py --scale).
    "medium-10m": {"kind": "medium", "archives": 20000, "entries": 500, "repeat": 0.30,
                   "pool": 300000, "seed": 11},
    # The two extreme shapes, on demand (bench/scale.py): one archive whose
    # entries all differ (no group), and one whose entries all hold the same
    # bytes (one group of all of them); at 100,000 and 1,000,000 entries.
    "distinct-100k": {"kind": "pair", "entries": 100000, "copies": 1, "seed": 55},
    "distinct-1m": {"kind": "pair", "entries": 1000000, "copies": 1, "seed": 55},
    "collide-100k": {"kind": "same", "entries": 100000},
    "collide-1m": {"kind": "same", "entries": 1000000},
    # Smaller variants for a smoke run (run.py --quick).
    "medium-small": {"kind": "medium", "archives": 200, "entries": 500, "repeat": 0.30,
                     "pool": 3000, "seed": 11},
    "pair-small": {"kind": "pair", "entries": 20000, "copies": 2, "seed": 22},
    "single-small": {"kind": "pair", "entries": 20000, "copies": 1, "seed": 22},
    "shared-small": {"kind": "shared", "archives": 100, "files": 100, "seed": 33},
    "nosig-small": {"kind": "nosig", "size": 64 << 20},
    # Members with contents worth reading, for the runs that check them (zorv
    # -s / -c against verify_baseline.py): about 1 GB uncompressed in 60
    # archives over 6 directories, text-like and semi-random data (2.2x
    # smaller on disk, stored members included), mostly deflated at level 1 or 9 (per archive), 5% stored;
    # 30% of the members copied into 1 or 2 other archives, a third of the
    # copies compressed again at the other level (or deflated, when stored),
    # so equal contents do not always mean equal compressed bytes. "bytes" is
    # the uncompressed total aimed at, copies included; "large" the range of
    # the few big members (share "large_share"); the rest are 100 B-4 KiB
    # (5%) and 4 KiB-1 MiB, log-uniform. "layout" changes with the writer, so
    # an older corpus is written again.
    "verify": {"kind": "verify", "layout": 1, "bytes": 1000000000, "archives": 60,
               "large": [1 << 20, 50 << 20], "large_share": 0.01, "stored": 0.05,
               "copied": 0.30, "recompressed": 1 / 3, "seed": 44},
    # ~50 MB for a smoke run; big members up to 5 MiB.
    "verify-small": {"kind": "verify", "layout": 1, "bytes": 50000000, "archives": 12,
                     "large": [1 << 20, 5 << 20], "large_share": 0.02, "stored": 0.05,
                     "copied": 0.30, "recompressed": 1 / 3, "seed": 44},
}
FULL_SET = ["medium", "pair", "single", "shared", "nosig", "nosig-dense"]
QUICK_SET = ["medium-small", "pair-small", "single-small", "shared-small", "nosig-small"]


def group_digest(groups):
    """Digest of a set of duplicate groups, independent of group and member order.

    `groups` maps CRC-32 (int) to a list of (archive, name) pairs, archive
    relative to the corpus directory; only lists of two or more count.
    """
    h = hashlib.sha256()
    for crc in sorted(groups):
        members = groups[crc]
        if len(members) < 2:
            continue
        h.update(b"%08x\n" % crc)
        for archive, name in sorted(members):
            h.update(archive.encode("utf-8", "surrogateescape") + b"\0" +
                     name.encode("utf-8", "surrogateescape") + b"\n")
    return h.hexdigest()


def subgroup_digest(groups):
    """Digest of a list of (crc, members) groups, where one CRC-32 may head
    several groups (split by size or by content); independent of group and
    member order. For one group per CRC-32 it equals group_digest."""
    h = hashlib.sha256()
    for crc, members in sorted((crc, tuple(sorted(m))) for crc, m in groups if len(m) >= 2):
        h.update(b"%08x\n" % crc)
        for archive, name in members:
            h.update(archive.encode("utf-8", "surrogateescape") + b"\0" +
                     name.encode("utf-8", "surrogateescape") + b"\n")
    return h.hexdigest()


def group_counts(groups):
    sizes = [len(m) for m in groups.values() if len(m) >= 2]
    return len(sizes), sum(sizes)


class Recorder:
    """Remembers every non-zero CRC-32 entry written, for the expected groups."""

    def __init__(self):
        self.groups = {}
        self.entries = 0
        self.archives = 0

    def add_archive(self, relpath, entries):
        self.archives += 1
        for name, crc in entries:
            self.entries += 1
            if crc != 0:
                self.groups.setdefault(crc, []).append((relpath, name))


def entry_info(name):
    info = zipfile.ZipInfo(name, date_time=DATE_TIME)
    info.compress_type = zipfile.ZIP_STORED
    info.external_attr = (0o40755 << 16 | 0x10) if name.endswith("/") else 0o100644 << 16
    return info


def write_archive(path, items):
    """Writes (name, data) items stored; returns [(name, crc32)]."""
    written = []
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as zf:
        for name, data in items:
            zf.writestr(entry_info(name), data)
            written.append((name, zlib.crc32(data)))
    return written


def distinct_contents(rng, count, tag):
    """`count` small byte strings with distinct, non-zero CRC-32s."""
    seen = set()
    out = []
    i = 0
    while len(out) < count:
        data = b"%s %d " % (tag, i) + rng.randbytes(rng.randint(8, 40))
        i += 1
        crc = zlib.crc32(data)
        if crc == 0 or crc in seen:
            continue
        seen.add(crc)
        out.append(data)
    return out


def medium_dir(i):
    """A few nested directories: root, g0..g3, g*/s0..s2, g*/s*/deep."""
    if i % 10 == 0:
        return ""
    parts = ["g%d" % (i % 4)]
    if i % 3 != 0:
        parts.append("s%d" % (i % 3))
        if i % 7 == 0:
            parts.append("deep")
    return os.path.join(*parts)


def gen_medium(root, p, rec):
    rng = random.Random(p["seed"])
    pool = [b"shared %d " % k + rng.randbytes(rng.randint(8, 40)) for k in range(p["pool"])]
    for i in range(p["archives"]):
        sub = medium_dir(i)
        os.makedirs(os.path.join(root, sub), exist_ok=True)
        # Some upper-case extensions: both tools take ".zip" in any case.
        name = "arch%05d.%s" % (i, "ZIP" if i % 50 == 49 else "zip")
        rel = os.path.join(sub, name)
        items = [("data/", b"")]
        for e in range(1, p["entries"]):
            if rng.random() < p["repeat"]:
                data = pool[rng.randrange(len(pool))]
            else:
                data = b"a%d e%d " % (i, e) + rng.randbytes(rng.randint(8, 40))
            items.append(("data/part%d/file%04d.dat" % (e % 7, e), data))
        rec.add_archive(rel, write_archive(os.path.join(root, rel), items))
    for sub in {medium_dir(i) for i in range(p["archives"])}:
        with open(os.path.join(root, sub, "notes.txt"), "w") as f:
            f.write("not an archive: skipped by both tools\n")


def gen_pair(root, p, rec):
    rng = random.Random(p["seed"])
    contents = distinct_contents(rng, p["entries"], b"item")
    items = [("tree%03d/item%06d.bin" % (k // 1000, k), data) for k, data in enumerate(contents)]
    first = os.path.join(root, "a.zip")
    written = write_archive(first, items)
    rec.add_archive("a.zip", written)
    for c in range(1, p["copies"]):
        name = "%s.zip" % chr(ord("a") + c)
        shutil.copyfile(first, os.path.join(root, name))
        rec.add_archive(name, written)


def gen_same(root, p, rec):
    items = [("same/file%07d.txt" % k, b"the same bytes\n") for k in range(p["entries"])]
    rec.add_archive("same.zip", write_archive(os.path.join(root, "same.zip"), items))


def gen_shared(root, p, rec):
    rng = random.Random(p["seed"])
    contents = distinct_contents(rng, p["files"], b"common")
    items = [("common/file%03d.txt" % k, data) for k, data in enumerate(contents)]
    first = None
    for i in range(p["archives"]):
        sub = "b%02d" % (i // 100)
        os.makedirs(os.path.join(root, sub), exist_ok=True)
        rel = os.path.join(sub, "copy%04d.zip" % i)
        if first is None:
            written = write_archive(os.path.join(root, rel), items)
            first = rel
        else:
            shutil.copyfile(os.path.join(root, first), os.path.join(root, rel))
        rec.add_archive(rel, written)


def gen_nosig(root, p, rec):
    with open(os.path.join(root, "big.zip"), "wb") as f:
        if not p.get("dense"):
            f.truncate(p["size"])
            return
        # Every byte value but 'P' (0x50), so no signature can occur.
        block = bytes(b for b in range(256) if b != 0x50) * 4096
        left = p["size"]
        while left > 0:
            f.write(block[:left])
            left -= min(left, len(block))


# Pools the verify members are cut from. Deflate takes words from a Zipf-like
# vocabulary down to about 1/2.5-1/2.9 (level 1-9), log lines to 1/4.4-1/5.7,
# bytes over 16 symbols to 1/1.7, random bytes not at all; mixed 50/30/12/8
# that came to 2.3x on verify's deflated members. Slices of 4-64 KiB: longer
# than deflate's 32 KiB window, so a member gains nothing from the pools'
# repeats.
VERIFY_MIX = ((0.5, "text"), (0.8, "log"), (0.92, "hex"), (1.0, "random"))
HEX_TABLE = bytes.maketrans(bytes(range(256)), bytes(b"0123456789abcdef"[b & 15]
                                                        for b in range(256)))


def verify_pools(seed, size=8 << 20):
    rng = random.Random(seed)
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    words = ["".join(rng.choices(letters, weights=range(26, 0, -1),
                                 k=min(12, 1 + int(rng.expovariate(1 / 5.0)))))
             for _ in range(6000)]
    cum, acc = [], 0.0
    for k in range(len(words)):
        acc += 1.0 / (k + 1)
        cum.append(acc)
    lines, n = [], 0
    while n < size:
        line = " ".join(rng.choices(words, cum_weights=cum, k=rng.randint(8, 16)))
        lines.append(line)
        n += len(line) + 1
    text = "\n".join(lines).encode()
    levels = ["INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"]
    parts = ["worker", "sched", "db", "http", "cache"]
    lines, n, t = [], 0, 0
    while n < size:
        line = ("2020-01-%02d %02d:%02d:%02d.%03d %-5s %s-%d: request %d took %d ms status %d\n" %
                (1 + t // 86400 % 28, t // 3600 % 24, t // 60 % 60, t % 60, rng.randrange(1000),
                 rng.choice(levels), rng.choice(parts), rng.randrange(16),
                 t * 7 + rng.randrange(7), rng.randrange(2000), rng.choice((200, 200, 404, 500))))
        lines.append(line)
        n += len(line)
        t += rng.randint(1, 3)
    return {"text": text, "log": "".join(lines).encode()}


def verify_content(pools, key, size):
    """Member `key`'s bytes, made again for each copy (cheaper than holding
    hundreds of MB). The first line names the key, so two members never
    share contents."""
    rng = random.Random(key)
    head = b"member %d\n" % key
    parts, n = [head[:size]], min(size, len(head))
    while n < size:
        k = min(size - n, rng.randint(4096, 65536))
        x = rng.random()
        kind = next(name for limit, name in VERIFY_MIX if x < limit)
        if kind in pools:
            at = rng.randrange(len(pools[kind]) - k)
            parts.append(pools[kind][at:at + k])
        elif kind == "hex":
            parts.append(rng.randbytes(k).translate(HEX_TABLE))
        else:
            parts.append(rng.randbytes(k))
        n += k
    return b"".join(parts)


def verify_size(rng, p):
    x = rng.random()
    if x < p["large_share"]:
        lo, hi = p["large"]
    elif x < p["large_share"] + 0.05:
        lo, hi = 100, 4096
    else:
        lo, hi = 4096, 1 << 20
    return int(math.exp(rng.uniform(math.log(lo), math.log(hi))))


VERIFY_DIRS = ["", "projects", "projects/old", "backup/2019", "backup/2020", "media"]
VERIFY_FOLDERS = ["docs", "src", "logs", "data", "assets/img", "build/out"]
VERIFY_EXT = ["txt", "log", "c", "json", "bin", "dat", "csv", "xml"]


def gen_verify(root, p, rec):
    rng = random.Random(p["seed"])
    pools = verify_pools(p["seed"])
    n = p["archives"]
    paths = [os.path.join(VERIFY_DIRS[a % len(VERIFY_DIRS)], "set%03d.zip" % a) for a in range(n)]
    level = [rng.choice((1, 9)) for _ in range(n)]
    # Per archive: [name, key, size, method, level, original's (archive, name) or None]
    plan = [[] for _ in range(n)]
    total, key = 0, 0
    while total < p["bytes"]:
        key += 1
        size = verify_size(rng, p)
        home = rng.randrange(n)
        method = zipfile.ZIP_STORED if rng.random() < p["stored"] else zipfile.ZIP_DEFLATED
        name = "%s/f%05d.%s" % (rng.choice(VERIFY_FOLDERS), key, rng.choice(VERIFY_EXT))
        plan[home].append([name, key, size, method, level[home], None])
        copies = 0
        if rng.random() < p["copied"]:
            copies = 1 if rng.random() < 0.75 else 2
        for other in rng.sample([a for a in range(n) if a != home], copies):
            c_method, c_level = method, level[home]
            if rng.random() < p["recompressed"]:
                if method == zipfile.ZIP_STORED:
                    c_method, c_level = zipfile.ZIP_DEFLATED, 9
                else:
                    c_level = 10 - c_level  # 1 <-> 9
            c_name = name if rng.random() < 0.5 else "copy/" + name
            plan[other].append([c_name, key, size, c_method, c_level, (home, name)])
        total += size * (1 + copies)

    entries = []  # (archive, name, crc, size, key)
    csize = {}    # (archive index, name) -> compressed size
    stats = {"members": key, "copies": 0, "recompressed": 0, "stored_entries": 0,
             "uncompressed_bytes": 0, "compressed_bytes": 0, "largest_member": 0}
    for a in range(n):
        rng.shuffle(plan[a])  # copies among the originals, not after them
        os.makedirs(os.path.join(root, VERIFY_DIRS[a % len(VERIFY_DIRS)]), exist_ok=True)
        written = []
        with zipfile.ZipFile(os.path.join(root, paths[a]), "w") as zf:
            for name, k, size, method, lvl, _ in plan[a]:
                data = verify_content(pools, k, size)
                info = entry_info(name)
                zf.writestr(info, data, compress_type=method,
                            compresslevel=lvl if method == zipfile.ZIP_DEFLATED else None)
                crc = zlib.crc32(data)
                written.append((name, crc))
                entries.append((paths[a], name, crc, size, k))
            for info in zf.infolist():
                csize[(a, info.filename)] = info.compress_size
                stats["compressed_bytes"] += info.compress_size
                stats["stored_entries"] += info.compress_type == zipfile.ZIP_STORED
        rec.add_archive(paths[a], written)
        stats["uncompressed_bytes"] += sum(e[2] for e in plan[a])
        stats["largest_member"] = max([stats["largest_member"]] + [e[2] for e in plan[a]])

    # How many recompressed copies came out with another compressed size
    # than the original: a tiny member can compress alike at levels 1 and 9.
    differ = 0
    for a in range(n):
        for name, k, size, method, lvl, orig in plan[a]:
            if orig is None:
                continue
            stats["copies"] += 1
            o_home, o_name = orig
            o_method, o_level = next((e[3], e[4]) for e in plan[o_home] if e[0] == o_name)
            if (method, lvl) != (o_method, o_level):
                stats["recompressed"] += 1
                differ += csize[(a, name)] != csize[(o_home, o_name)]
    stats["recompressed_size_differs"] = differ

    # The groups each option should print: by CRC-32 and size (-s), and
    # those split by contents (-c; the key decides, every key's bytes differ).
    by_size, by_content = {}, {}
    for archive, name, crc, size, k in entries:
        if crc:
            by_size.setdefault((crc, size), []).append((archive, name, k))
    verify_members, verify_bytes = 0, 0
    for (crc, size), members in by_size.items():
        if len(members) < 2:
            continue
        verify_members += len(members)
        verify_bytes += size * len(members)
        for archive, name, k in members:
            by_content.setdefault((crc, size, k), []).append((archive, name))
    size_groups = [(crc, [(a, nm) for a, nm, _ in m]) for (crc, _), m in by_size.items()]
    content_groups = [(ck[0], m) for ck, m in by_content.items()]
    for label, groups in (("size", size_groups), ("content", content_groups)):
        full = [m for _, m in groups if len(m) >= 2]
        stats[label + "_groups"] = len(full)
        stats[label + "_members"] = sum(len(m) for m in full)
        stats[label + "_digest"] = subgroup_digest(groups)
    # What -c has to read: every member of a CRC-32 and size group of two or more.
    stats["verify_members"] = verify_members
    stats["verify_bytes"] = verify_bytes
    return stats


WRITERS = {"medium": gen_medium, "pair": gen_pair, "shared": gen_shared, "nosig": gen_nosig,
           "verify": gen_verify, "same": gen_same}


def meta_path(name):
    return os.path.join(CORPORA_DIR, name + ".json")


def corpus_dir(name):
    return os.path.join(CORPORA_DIR, name)


def load_meta(name):
    try:
        with open(meta_path(name)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def is_current(name):
    meta = load_meta(name)
    return (meta is not None and meta.get("generator") == GENERATOR_VERSION and
            meta.get("params") == CORPORA[name] and os.path.isdir(corpus_dir(name)))


def dir_bytes(root):
    total = 0
    for dirpath, _, files in os.walk(root):
        for f in files:
            total += os.stat(os.path.join(dirpath, f)).st_blocks * 512
    return total


def generate(name, force=False, log=sys.stderr):
    """Makes sure corpus `name` exists as its parameters say; returns its metadata."""
    if not force and is_current(name):
        return load_meta(name)
    p = CORPORA[name]
    root = corpus_dir(name)
    if os.path.exists(meta_path(name)):
        os.remove(meta_path(name))
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    print("gen_corpus: writing %s ..." % name, file=log, flush=True)
    start = time.monotonic()
    rec = Recorder()
    extra = WRITERS[p["kind"]](root, p, rec) or {}
    n_groups, n_members = group_counts(rec.groups)
    meta = {
        "generator": GENERATOR_VERSION,
        "name": name,
        "params": p,
        "archives": rec.archives,
        "entries": rec.entries,
        # What to give zorv and the baseline, relative to the corpus directory.
        "target": "big.zip" if p["kind"] == "nosig" else ".",
        "disk_bytes": dir_bytes(root),
        "expected_groups": n_groups,
        "expected_members": n_members,
        "expected_digest": group_digest(rec.groups),
        "seconds": round(time.monotonic() - start, 1),
    }
    meta.update(extra)
    with open(meta_path(name) + ".tmp", "w") as f:
        json.dump(meta, f, indent=1, sort_keys=True)
        f.write("\n")
    os.replace(meta_path(name) + ".tmp", meta_path(name))
    print("gen_corpus: %s: %d archives, %d entries, %.0f MB on disk, %d groups, %.1f s" %
          (name, rec.archives, rec.entries, meta["disk_bytes"] / 1e6, n_groups,
           time.monotonic() - start), file=log, flush=True)
    return meta


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="the small variants")
    ap.add_argument("--force", action="store_true", help="write even when up to date")
    ap.add_argument("corpus", nargs="*", help="names: " + ", ".join(CORPORA))
    args = ap.parse_args()
    names = args.corpus or (QUICK_SET if args.quick else FULL_SET)
    for name in names:
        if name not in CORPORA:
            ap.error("unknown corpus %r (known: %s)" % (name, ", ".join(CORPORA)))
    for name in names:
        meta = generate(name, force=args.force)
        print("%s: %d archives, %d entries -> %s" %
              (name, meta["archives"], meta["entries"], meta_path(name)))


if __name__ == "__main__":
    main()
