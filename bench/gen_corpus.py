#!/usr/bin/python3
"""Writes the benchmark corpora under bench/corpora/ (git-ignored).

    bench/gen_corpus.py [--quick] [--force] [corpus ...]

With no corpus named, writes the full-size set (or the small set with
--quick). Output is deterministic: seeded RNG, fixed entry dates, stored
(uncompressed) entries with real CRC-32s. A corpus is written again only when
its metadata file is missing or records other parameters (or --force).

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
    # Smaller variants for a smoke run (run.py --quick).
    "medium-small": {"kind": "medium", "archives": 200, "entries": 500, "repeat": 0.30,
                     "pool": 3000, "seed": 11},
    "pair-small": {"kind": "pair", "entries": 20000, "copies": 2, "seed": 22},
    "single-small": {"kind": "pair", "entries": 20000, "copies": 1, "seed": 22},
    "shared-small": {"kind": "shared", "archives": 100, "files": 100, "seed": 33},
    "nosig-small": {"kind": "nosig", "size": 64 << 20},
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


WRITERS = {"medium": gen_medium, "pair": gen_pair, "shared": gen_shared, "nosig": gen_nosig}


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
    WRITERS[p["kind"]](root, p, rec)
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
    }
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
