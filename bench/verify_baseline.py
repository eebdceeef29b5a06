#!/usr/bin/python3
"""The comparison point for `zorv -s` and `zorv -c`: what a Python user would write.

    verify_baseline.py [-R] [-s | -c] <directory or archive> ...

Finds archives as bench/baseline.py does (same walk, same rules), groups the
entries by non-zero CRC-32, and then:

  -s  splits each group by uncompressed size, as the central directory
      records it; no member data is read;
  -c  (implies -s) reads every member of a sub-group of two or more with
      ZipFile.open(), 1 MiB at a time, into SHA-256, and splits the sub-group
      by digest. zipfile checks the CRC-32 as it reads; the byte count is
      checked against the recorded size here. A member that cannot be read
      is left out, with
          verify_baseline: warning, cannot verify <archive>, <name>: <reason>
      on standard error.

Without -s or -c it prints what baseline.py prints. Groups of two or more
come out in zorv's format (CRC32 line, file lines, -------): the groups in
first-seen order, a group's sub-groups in the order of their first members,
members in reading order. One process, standard library only.
"""

import collections
import hashlib
import os
import sys
import zipfile

import baseline

USAGE = "usage: verify_baseline.py [-R] [-s | -c] <directory or archive> ..."
CHUNK = 1 << 20
OPEN_ARCHIVES = 64  # kept open for reading members; the oldest is closed past this


def split(members, key):
    """Sub-lists of `members` with equal key(member), in first-member order.
    A member whose key is None is dropped."""
    parts = {}
    for m in members:
        k = key(m)
        if k is not None:
            parts.setdefault(k, []).append(m)
    return list(parts.values())


class Reader:
    """Member contents by digest, with a few archives kept open."""

    def __init__(self):
        self.open = collections.OrderedDict()

    def archive(self, path):
        zf = self.open.get(path)
        if zf is not None:
            self.open.move_to_end(path)
            return zf
        zf = zipfile.ZipFile(path)
        self.open[path] = zf
        if len(self.open) > OPEN_ARCHIVES:
            self.open.popitem(last=False)[1].close()
        return zf

    def digest(self, member):
        path, info = member
        try:
            h = hashlib.sha256()
            n = 0
            with self.archive(path).open(info) as f:
                for block in iter(lambda: f.read(CHUNK), b""):
                    h.update(block)
                    n += len(block)
            if n != info.file_size:
                raise ValueError("%d bytes read, %d recorded" % (n, info.file_size))
            return h.digest()
        except Exception as e:  # BadZipFile (bad CRC-32), NotImplementedError (method), zlib.error ...
            print("verify_baseline: warning, cannot verify %s, %s: %s" %
                  (path, info.filename, e), file=sys.stderr)
            return None

    def close(self):
        for zf in self.open.values():
            zf.close()


def main(argv):
    recurse = by_size = by_content = False
    while argv and argv[0].startswith("-") and argv[0] != "-":
        opt = argv.pop(0)
        if opt == "--":
            break
        if set(opt[1:]) - {"R", "s", "c"}:
            print(USAGE, file=sys.stderr)
            return 2
        recurse = recurse or "R" in opt
        by_content = by_content or "c" in opt
        by_size = by_size or by_content or "s" in opt
    if not argv:
        print(USAGE, file=sys.stderr)
        return 2

    groups = {}  # CRC-32 -> [(archive path, ZipInfo)]
    for path in baseline.archives(argv, recurse):
        try:
            with zipfile.ZipFile(path) as zf:
                infos = zf.infolist()
        except Exception as e:  # BadZipFile, OSError, EOFError, ValueError ...
            print("verify_baseline: skipping %s: %s" % (path, e), file=sys.stderr)
            continue
        for info in infos:
            if info.CRC != 0:
                groups.setdefault(info.CRC, []).append((path, info))

    reader = Reader()
    out = sys.stdout.buffer
    for crc, members in groups.items():
        if len(members) < 2:
            continue
        parts = [members]
        if by_size:
            parts = [p for p in split(members, lambda m: m[1].file_size) if len(p) >= 2]
        if by_content:
            parts = [q for p in parts for q in split(p, reader.digest) if len(q) >= 2]
            order = {id(m): i for i, m in enumerate(members)}
            parts.sort(key=lambda p: order[id(p[0])])
        for part in parts:
            out.write(b"CRC32: 0x%08x\n" % crc)
            for path, info in part:
                out.write(b"file: " + os.fsencode(path) + b", " +
                          baseline.stored_name(info) + b"\n")
            out.write(b"-------\n")
    out.flush()
    reader.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
