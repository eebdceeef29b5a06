#!/usr/bin/env python3
"""Writes test archives with independent ZIP writers: Python's zipfile and,
when installed, Info-ZIP zip. Also writes manifest.txt, the entries of every
archive in central-directory order as Python's zipfile reads them back:

    archive <path relative to the output directory>
    entry <crc32 as 8 hex digits> <stored name bytes as hex>

manifest-zip64.txt lists, in the same form, the archives that need ZIP64
end records or data in front of the archive taken into account, which the
reader does not do yet.

verify/ holds one content of 100 KiB under every compression method a
reader may meet, for tests that read members' data: stored, deflated,
bzip2, LZMA (zipfile), xz and zstd (written by hand here, the data from
Python's lzma and the zstd tool), encrypted (Info-ZIP zip -e) and Deflate64
(7-Zip). Its manifest.txt lists every entry as zipfile reads it back:

    archive <path relative to the output directory>
    entry <name> <method> <flags as 4 hex digits> <crc32 as 8 hex digits>
          <size> <compressed size>          (on one line)
    skipped <path relative to the output directory> <tool> not installed

The encrypted archive differs from run to run: zip seeds its encryption
header from the clock. Its directory does not.

Usage: make_fixtures.py OUTDIR
"""
import io
import lzma
import os
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

STAMP = (2023, 5, 17, 10, 30, 0)
EPOCH = 1684319400  # STAMP as UTC: the time of every file zip reads
VERIFY_SIZE = 100 * 1024
METHOD_NAMES = {zipfile.ZIP_STORED: "stored", zipfile.ZIP_DEFLATED: "deflated",
                zipfile.ZIP_BZIP2: "bzip2", zipfile.ZIP_LZMA: "lzma"}

# What a self-extractor or installer puts in front of an archive.
STUB = (b"#!/bin/sh\n"
        b"# Self-extracting archive: the ZIP data follows this script.\n"
        b"echo 'extract with: unzip \"$0\"' >&2\n"
        b"exit 1\n" + b"#" * 200 + b"\n")


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


def run_zip(args, cwd, target, stdin=None):
    """Runs Info-ZIP zip afresh on `target`: it would add to an archive that
    exists. File times become DOS times in local time, hence TZ."""
    if os.path.exists(target):
        os.remove(target)
    env = dict(os.environ, TZ="UTC")
    subprocess.run(["zip", "-q"] + args, cwd=cwd, input=stdin, env=env, check=True)


def stamp_tree(root):
    """Gives every file and directory under root the time EPOCH, so that
    zip stores the same times on every build."""
    for parent, dirs, files in os.walk(root):
        for name in dirs + files:
            os.utime(os.path.join(parent, name), (EPOCH, EPOCH))


def info_zip(out):
    """An archive from Info-ZIP zip, with extra fields and a directory tree."""
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
    stamp_tree(src)
    target = os.path.abspath(os.path.join(out, "izip", "tree.zip"))
    run_zip(["-r", target, "tree"], src, target)
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
        stamp_tree(src)
        run_zip(["-r", "-X", target, "old"], src, target)
        shutil.rmtree(src)


def count_over_16_bits(path):
    """More entries than the end record's 16-bit counts hold: zipfile adds a
    ZIP64 end record and writes 0xFFFF in the classic one. Written in memory,
    where it takes a quarter of the time a file does."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for i in range(70000):
            zf.writestr(zipfile.ZipInfo("%x" % i, STAMP), b"%x" % i)
    with open(path, "wb") as f:
        f.write(buf.getvalue())


def forced_zip64(path):
    """force_zip64 puts ZIP64 sizes in the local headers only: the central
    directory and the end record stay classic."""
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in (("one.txt", b"one\n"), ("two.txt", b"two\n" * 30),
                           ("one-again.txt", b"one\n")):
            info = zipfile.ZipInfo(name, STAMP)
            info.compress_type = zipfile.ZIP_DEFLATED
            with zf.open(info, "w", force_zip64=True) as w:
                w.write(data)


def info_zip_zip64(out):
    """zip -fz: ZIP64 extra fields in every header, ZIP64 end records, and
    0xFFFFFFFF as the classic record's directory offset."""
    src = os.path.join(out, "izip64-src")
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    files = (("a.txt", b"alpha\n"), ("b.txt", b"beta\n" * 50), ("a-copy.txt", b"alpha\n"))
    for name, data in files:
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
    stamp_tree(src)
    target = os.path.abspath(os.path.join(out, "izip", "zip-fz.zip"))
    run_zip(["-X", "-fz", target, "a.txt", "b.txt", "a-copy.txt"], src, target)
    shutil.rmtree(src)
    return target


def info_zip_stdin(out):
    """An entry read from a pipe: zip cannot know its size when it starts,
    so it writes ZIP64 end records; the classic record keeps true values.
    zipfile calls the entry "-", its stored name."""
    target = os.path.abspath(os.path.join(out, "izip", "stdin.zip"))
    run_zip(["-X", target, "-"], out, target, stdin=b"read from standard input\n")
    set_stamp_of_only_entry(target)
    return target


def set_stamp_of_only_entry(path):
    """zip stamps an entry read from a pipe with the clock: give it STAMP in
    both headers so that the archive is the same on every build."""
    dos = struct.pack("<HH", STAMP[3] << 11 | STAMP[4] << 5 | STAMP[5] // 2,
                      (STAMP[0] - 1980) << 9 | STAMP[1] << 5 | STAMP[2])
    with zipfile.ZipFile(path) as zf:
        (info,) = zf.infolist()
        local, central = info.header_offset, zf.start_dir
    with open(path, "r+b") as f:
        f.seek(local + 10)
        f.write(dos)
        f.seek(central + 12)
        f.write(dos)


def with_stub(source, target):
    """What `cat stub a.zip > b.zip` makes: every offset in the archive is
    now short by the stub's length."""
    with open(target, "wb") as f:
        f.write(STUB)
        with open(source, "rb") as a:
            f.write(a.read())
    return target


def verify_content():
    """100 KiB of text lines, compressible and the same on every run."""
    words = (b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf",
             b"hotel", b"india", b"juliet", b"kilo", b"lima", b"mike", b"november",
             b"oscar", b"papa")
    out = bytearray()
    x = 12345
    line = 0
    while len(out) < VERIFY_SIZE:
        line += 1
        picked = []
        for _ in range(8):
            x = (x * 1103515245 + 12345) & 0x7FFFFFFF
            picked.append(words[(x >> 16) % len(words)])
        out += b"%06d " % line + b" ".join(picked) + b"\n"
    return bytes(out[:VERIFY_SIZE])


def hand_written(path, content, entries):
    """An archive of (name, method, version needed, data) entries, each with
    the CRC-32 and size of `content`: for methods zipfile cannot write."""
    crc = zlib.crc32(content)
    dos_time = STAMP[3] << 11 | STAMP[4] << 5 | STAMP[5] // 2
    dos_date = (STAMP[0] - 1980) << 9 | STAMP[1] << 5 | STAMP[2]
    body = bytearray()
    directory = bytearray()
    for name, method, version, data in entries:
        offset = len(body)
        name = name.encode()
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, version, 0, method, dos_time, dos_date,
                            crc, len(data), len(content), len(name), 0) + name + data
        directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 3 << 8 | version, version, 0,
                                 method, dos_time, dos_date, crc, len(data), len(content),
                                 len(name), 0, 0, 0, 0, 0o644 << 16, offset) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries),
                      len(directory), len(body), 0)
    with open(path, "wb") as f:
        f.write(body + directory + end)


def verify(out):
    """The archives of verify/ (see the top of this file). Returns the paths
    written and (path, tool) for those skipped."""
    root = os.path.join(out, "verify")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    content = verify_content()
    written, skipped = [], []

    def path(name):
        return os.path.abspath(os.path.join(root, name))

    for name, methods in (("stored.zip", (zipfile.ZIP_STORED,)),
                          ("deflated.zip", (zipfile.ZIP_DEFLATED,)),
                          ("bzip2-lzma.zip", (zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA))):
        with zipfile.ZipFile(path(name), "w") as zf:
            for method in methods:
                add(zf, METHOD_NAMES[method] + ".txt", content, method)
        written.append(path(name))
    # A stored copy first in each: any ZIP tool can check it, and with it the
    # headers written here. 63: version 6.3, which names these methods.
    stored = ("stored.txt", 0, 10, content)
    # Preset 1: a tenth of the default's time, for the same stream format.
    xz = lzma.compress(content, format=lzma.FORMAT_XZ, preset=1)
    hand_written(path("xz.zip"), content, [stored, ("xz.txt", 95, 63, xz)])
    written.append(path("xz.zip"))

    src = os.path.join(out, "verify-src")
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    with open(os.path.join(src, "data.txt"), "wb") as f:
        f.write(content)
    os.chmod(os.path.join(src, "data.txt"), 0o644)
    stamp_tree(src)
    tools = (
        ("zstd.zip", "zstd", lambda target: hand_written(target, content, [stored, (
            "zstd.txt", 93, 63, run_tool(["zstd", "-q", "-c", "data.txt"], src))])),
        ("encrypted.zip", "zip",
         lambda target: run_zip(["-X", "-e", "-P", "secret", target, "data.txt"], src, target)),
        ("deflate64.zip", "7z", lambda target: run_tool(
            ["7z", "a", "-tzip", "-mm=Deflate64", target, "data.txt"], src)),
    )
    for name, tool, make in tools:
        if shutil.which(tool) is None:
            skipped.append((path(name), tool))
            continue
        make(path(name))
        written.append(path(name))
    shutil.rmtree(src)
    return written, skipped


def run_tool(args, cwd):
    """Standard output of a tool; in UTC, as run_zip."""
    env = dict(os.environ, TZ="UTC")
    return subprocess.run(args, cwd=cwd, env=env, stdout=subprocess.PIPE, check=True).stdout


def write_verify_manifest(path, archives, skipped, out):
    with open(path, "w") as m:
        for archive in archives:
            m.write("archive %s\n" % os.path.relpath(archive, out))
            with zipfile.ZipFile(archive) as zf:
                for i in zf.infolist():
                    m.write("entry %s %d %04x %08x %d %d\n" % (
                        i.filename, i.compress_type, i.flag_bits, i.CRC, i.file_size,
                        i.compress_size))
        for archive, tool in skipped:
            m.write("skipped %s %s not installed\n" % (os.path.relpath(archive, out), tool))


def stored_name(info):
    encoding = "utf-8" if info.flag_bits & 0x800 else "cp437"
    return info.orig_filename.encode(encoding)


def write_manifest(path, archives, out):
    with open(path, "w") as m:
        for archive in archives:
            m.write("archive %s\n" % os.path.relpath(archive, out))
            with zipfile.ZipFile(archive) as zf:
                for info in zf.infolist():
                    m.write("entry %08x %s\n" % (info.CRC, stored_name(info).hex()))


def main():
    out = sys.argv[1]
    for sub in ("py", "izip", "sfx"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    names = ("mixed.zip", "many.zip", "comment.zip", "count-over-16-bits.zip", "force-zip64.zip")
    archives = [os.path.join(out, "py", n) for n in names]
    mixed(archives[0])
    many(archives[1], 3000)
    big_comment(archives[2])
    # ZIP64 records the reader can do without: the classic record's size
    # and offset are true, and the walk ends at the end of the directory.
    count_over_16_bits(archives[3])
    forced_zip64(archives[4])
    collection(out)
    zip64 = [with_stub(archives[0], os.path.join(out, "sfx", "stub-zipfile.zip"))]
    if shutil.which("zip") is not None:
        archives += [info_zip(out), info_zip_stdin(out)]
        forced = info_zip_zip64(out)
        zip64 += [forced, with_stub(forced, os.path.join(out, "sfx", "stub-zip-fz.zip"))]
    write_manifest(os.path.join(out, "manifest-zip64.txt"), zip64, out)
    checked, skipped = verify(out)
    write_verify_manifest(os.path.join(out, "verify", "manifest.txt"), checked, skipped, out)
    # Last: the build knows this script by manifest.txt alone, so a run that
    # stops early leaves it missing or older than the script and is redone.
    write_manifest(os.path.join(out, "manifest.txt"), archives, out)


if __name__ == "__main__":
    main()
