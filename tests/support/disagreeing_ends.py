#!/usr/bin/env python3
"""Writes an archive whose two end records describe different directories,
with Python's zipfile writing every header.

The classic end record holds true values (one entry, the directory of
"real.txt"), none of them saturated; a ZIP64 end record and its locator
stand before it and point at another directory of one entry, "fake.txt",
of the same size. unzip lists real.txt; a reader that lets the ZIP64
record override values that are not saturated lists fake.txt.

Usage: disagreeing_ends.py OUT.zip
"""
import io
import struct
import sys
import zipfile

STAMP = (2023, 5, 17, 10, 30, 0)


def written(names):
    """The local part and the central headers of an archive of `names`,
    each holding its own name as data."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as zf:
        for name in names:
            zf.writestr(zipfile.ZipInfo(name, STAMP), name.encode())
    data = buf.getvalue()
    sig, _, _, _, count, size, offset, _ = struct.unpack("<IHHHHIIH", data[-22:])
    assert sig == 0x06054B50 and count == len(names)
    cd = data[offset:offset + size]
    headers, at = [], 0
    while at < len(cd):
        name_len, extra_len, comment_len = struct.unpack("<HHH", cd[at + 28:at + 34])
        end = at + 46 + name_len + extra_len + comment_len
        headers.append(cd[at:end])
        at = end
    return data[:offset], headers


def main():
    local, (real, fake) = written(["real.txt", "fake.txt"])
    fake_at = len(local)
    real_at = fake_at + len(fake)
    record_at = real_at + len(real)
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 1, 1, len(fake), fake_at)
    locator = struct.pack("<IIQI", 0x07064B50, 0, record_at, 1)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(real), real_at, 0)
    with open(sys.argv[1], "wb") as out:
        out.write(local + fake + real + record + locator + end)


if __name__ == "__main__":
    main()
