#!/usr/bin/python3
"""The comparison point for bench/run.py: what a Python user would write.

    baseline.py [-R] <directory or archive> ...

Walks the paths like `zorv [-R]` does (a regular file is read when its name
ends in ".zip", any case; anything else is listed as a directory, and with
-R its subdirectories too, each directory once), lists every archive with
zipfile, and prints each group of entries sharing a non-zero CRC-32 in
zorv's format:

    CRC32: 0x1a295471
    file: <archive path>, <entry name>
    -------

Groups come in first-seen order, members in reading order. Archives that
cannot be read are skipped with a message on standard error. Standard
library only.
"""

import os
import sys
import zipfile


def is_archive_name(name):
    dot = name.rfind(".")
    return dot >= 0 and name[dot:].lower() == ".zip"


def walk_archives(top, recurse):
    """Archive paths under directory `top`, joined the way zorv joins them."""
    seen = set()
    for root, dirs, files in os.walk(top, followlinks=True,
                                     onerror=lambda e: print("baseline: %s" % e, file=sys.stderr)):
        try:
            st = os.stat(root)
        except OSError:
            dirs[:] = []
            continue
        if (st.st_dev, st.st_ino) in seen:  # a link back to a directory walked already
            dirs[:] = []
            continue
        seen.add((st.st_dev, st.st_ino))
        if not recurse:
            dirs[:] = []
        for name in files:
            path = os.path.join(root, name)
            if is_archive_name(name) and os.path.isfile(path):
                yield path


def archives(paths, recurse):
    for path in paths:
        path = path.replace("\\", "/")
        if os.path.isfile(path):
            if is_archive_name(path):
                yield path
        else:
            yield from walk_archives(path, recurse)


def stored_name(info):
    """The entry name's bytes as stored (zipfile has decoded them and cut them at a NUL)."""
    return info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")


def main(argv):
    recurse = False
    while argv and argv[0].startswith("-") and argv[0] != "-":
        opt = argv.pop(0)
        if opt == "--":
            break
        if set(opt[1:]) - {"R", "l"}:
            print("usage: baseline.py [-R] <directory or archive> ...", file=sys.stderr)
            return 2
        recurse = recurse or "R" in opt
    if not argv:
        print("usage: baseline.py [-R] <directory or archive> ...", file=sys.stderr)
        return 2

    groups = {}  # CRC-32 -> [(archive path, entry name bytes)]
    for path in archives(argv, recurse):
        try:
            with zipfile.ZipFile(path) as zf:
                infos = zf.infolist()
        except Exception as e:  # BadZipFile, OSError, EOFError, ValueError ...
            print("baseline: skipping %s: %s" % (path, e), file=sys.stderr)
            continue
        for info in infos:
            if info.CRC != 0:
                groups.setdefault(info.CRC, []).append((path, stored_name(info)))

    out = sys.stdout.buffer
    for crc, members in groups.items():
        if len(members) < 2:
            continue
        out.write(b"CRC32: 0x%08x\n" % crc)
        for path, name in members:
            out.write(b"file: " + os.fsencode(path) + b", " + name + b"\n")
        out.write(b"-------\n")
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
