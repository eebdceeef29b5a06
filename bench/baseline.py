#!/usr/bin/python3
"""The comparison point for bench/run.py: what a Python user would write.

    baseline.py [-R] [--ext=EXT,...] [--nested[=decode]] <directory or archive> ...

Walks the paths like `zorv [-R]` does (a regular file is read when its name
ends in ".zip", any case, or in a suffix --ext adds; anything else is listed
as a directory, and with -R its subdirectories too, each directory once),
lists every archive with zipfile, and prints each group of entries sharing
a non-zero CRC-32 in zorv's format (with --nested, the entries of stored
members named as archives too, as "<archive>!/<member>", 16 levels deep at
most; with --nested=decode, of compressed ones too, as zorv --nested -c):

    CRC32: 0x1a295471
    file: <archive path>, <entry name>
    -------

Groups come in first-seen order, members in reading order. Archives that
cannot be read are skipped with a message on standard error. Standard
library only.
"""

import io
import os
import sys
import zipfile


SUFFIXES = {".zip"}


def is_archive_name(name):
    dot = name.rfind(".")
    return dot >= 0 and name[dot:].lower() in SUFFIXES


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


def index(groups, zf, path, nested, depth):
    """Records the entries of `zf` (named `path`, bytes) and, with `nested`, of its stored inner archives."""
    for info in zf.infolist():
        name = stored_name(info)
        if info.CRC != 0:
            groups.setdefault(info.CRC, []).append((path, name))
    if not nested or depth >= 16:
        return
    for info in zf.infolist():
        name = stored_name(info)
        if (name.endswith(b"/") or not is_archive_name(name.decode("latin-1"))
                or (info.compress_type != 0 and nested != "decode") or info.flag_bits & 1):
            continue
        try:
            inner = zipfile.ZipFile(io.BytesIO(zf.read(info)))
        except Exception as e:
            print("baseline: skipping %r: %s" % (path + b"!/" + name, e), file=sys.stderr)
            continue
        index(groups, inner, path + b"!/" + name, nested, depth + 1)


def main(argv):
    recurse = False
    nested = False
    while argv and argv[0].startswith("-") and argv[0] != "-":
        opt = argv.pop(0)
        if opt == "--":
            break
        if opt.startswith("--ext="):
            SUFFIXES.update("." + e.lower().lstrip(".") for e in opt[6:].split(","))
            continue
        if opt in ("--nested", "--nested=decode"):
            nested = "decode" if opt.endswith("decode") else True
            continue
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
                index(groups, zf, os.fsencode(path), nested, 0)
        except Exception as e:  # BadZipFile, OSError, EOFError, ValueError ...
            print("baseline: skipping %s: %s" % (path, e), file=sys.stderr)
            continue

    out = sys.stdout.buffer
    for crc, members in groups.items():
        if len(members) < 2:
            continue
        out.write(b"CRC32: 0x%08x\n" % crc)
        for path, name in members:
            out.write(b"file: " + path + b", " + name + b"\n")
        out.write(b"-------\n")
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
