#!/usr/bin/env python3
"""Writes test archives with independent ZIP writers: Python's zipfile and,
when installed, Info-ZIP zip. Also writes manifest.txt, the entries of every
archive in central-directory order as Python's zipfile reads them back:

    archive <path relative to the output directory>
    entry <crc32 as 8 hex digits> <stored name bytes as hex>

Usage: make_fixtures.py OUTDIR
"""
import os
import shutil
import subprocess
import sys
import zipfile

STAMP = (2023, 5, 17, 10, 30, 0)


def add(zf, name, data, method=zipfile.ZIP_STORED, comment=b""):
    info = zipfile.ZipInfo(name, STAMP)
    info.compress_type = method
    info.comment = comment
    info.external_attr = 0o644 << 16
    zf.writestr(info, data)


def mixed(path):
    with zipfile.ZipFile(path, "w") as zf:
        zf.comment = b"made by zipfile"
        add(zf, "docs/", b"")
        add(zf, "docs/readme.txt", b"read me first\n" * 20, zipfile.ZIP_DEFLATED)
        add(zf, "empty.txt", b"")
        add(zf, "stored.bin", bytes(range(256)) * 4)
        add(zf, "caf\u00e9/\u00fcber.txt", b"unicode name\n", zipfile.ZIP_DEFLATED)
        add(zf, "with-comment.txt", b"entry comment\n", comment=b"a comment on this entry")
        add(zf, "copy-of-readme.txt", b"read me first\n" * 20, zipfile.ZIP_DEFLATED)


def many(path, count):
    # A directory larger than the reader's first read of the file's tail.
    with zipfile.ZipFile(path, "w") as zf:
        for i in range(count):
            add(zf, "dir-%03d/file-number-%05d.dat" % (i % 97, i), b"%d\n" % (i % 1500))


def big_comment(path):
    with zipfile.ZipFile(path, "w") as zf:
        zf.comment = b"C" * 65535
        add(zf, "a.txt", b"alpha\n")
        add(zf, "b.txt", b"beta\n")


def info_zip(out):
    """An archive from Info-ZIP zip, with extra fields and a directory tree."""
    if shutil.which("zip") is None:
        return None
    src = os.path.join(out, "izip-src")
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(os.path.join(src, "tree", "sub", "deeper"))
    files = {
        "tree/one.txt": b"one\n",
        "tree/sub/two.txt": b"two\n" * 100,
        "tree/sub/deeper/one-again.txt": b"one\n",
        "tree/sub/deeper/empty": b"",
    }
    for name, data in files.items():
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
        os.utime(os.path.join(src, name), (1684319400, 1684319400))
    target = os.path.abspath(os.path.join(out, "izip", "tree.zip"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if os.path.exists(target):
        os.remove(target)
    subprocess.run(["zip", "-q", "-r", target, "tree"], cwd=src, check=True)
    shutil.rmtree(src)
    return target


def collection(out):
    """A small realistic collection: real contents and CRCs, files repeated
    across archives and inside one, nested directories holding one entry
    each (so that directory listing order cannot change the report)."""
    root = os.path.join(out, "collection")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "backup", "2023"))
    photo_a = bytes((i * 7 + 3) % 256 for i in range(3000))
    photo_b = bytes((i * 13 + 1) % 256 for i in range(2500))
    notes = b"Remember: the bridge photos are in img/.\n"
    with zipfile.ZipFile(os.path.join(root, "photos.zip"), "w") as zf:
        add(zf, "img/", b"")
        add(zf, "img/a.jpg", photo_a)
        add(zf, "img/b.jpg", photo_b)
        add(zf, "img/a (1).jpg", photo_a)
        add(zf, "notes.txt", notes, zipfile.ZIP_DEFLATED)
        add(zf, "empty.txt", b"")
    with zipfile.ZipFile(os.path.join(root, "backup", "2023", "photos-copy.zip"), "w") as zf:
        add(zf, "a.jpg", photo_a, zipfile.ZIP_DEFLATED)
        add(zf, "b-renamed.jpg", photo_b)
        add(zf, "extra.txt", b"only here\n")
    with zipfile.ZipFile(os.path.join(root, "projects.zip"), "w") as zf:
        zf.comment = b"projects archive"
        add(zf, "site/logo.jpg", photo_b, zipfile.ZIP_DEFLATED)
        add(zf, "site/notes.txt", notes)
        add(zf, "readme.md", b"# projects\n", zipfile.ZIP_DEFLATED)
    if shutil.which("zip") is not None:
        src = os.path.join(out, "collection-src")
        shutil.rmtree(src, ignore_errors=True)
        os.makedirs(os.path.join(src, "old"))
        with open(os.path.join(src, "old", "notes.txt"), "wb") as f:
            f.write(notes)
        with open(os.path.join(src, "old", "unique.bin"), "wb") as f:
            f.write(b"\x00\x01\x02 unique")
        target = os.path.abspath(os.path.join(root, "info-zip.zip"))
        subprocess.run(["zip", "-q", "-r", "-X", target, "old"], cwd=src, check=True)
        shutil.rmtree(src)


def stored_name(info):
    encoding = "utf-8" if info.flag_bits & 0x800 else "cp437"
    return info.orig_filename.encode(encoding)


def main():
    out = sys.argv[1]
    os.makedirs(os.path.join(out, "py"), exist_ok=True)
    archives = [os.path.join(out, "py", n) for n in ("mixed.zip", "many.zip", "comment.zip")]
    mixed(archives[0])
    many(archives[1], 3000)
    big_comment(archives[2])
    collection(out)
    made = info_zip(out)
    if made:
        archives.append(made)
    with open(os.path.join(out, "manifest.txt"), "w") as m:
        for path in archives:
            m.write("archive %s\n" % os.path.relpath(path, out))
            with zipfile.ZipFile(path) as zf:
                for info in zf.infolist():
                    m.write("entry %08x %s\n" % (info.CRC, stored_name(info).hex()))


if __name__ == "__main__":
    main()
