#!/usr/bin/python3
"""What `zorv -s` or `zorv -c` should find, as Python's zipfile sees it.

    content_model.py -s|-c ARCHIVE...

Groups entries by CRC-32 (non-zero) and uncompressed size; with -c, reads
every member of a size group of two or more and splits it by SHA-256 of
what zipfile reads, a member zipfile cannot read (bad CRC-32, decoder
error) being named on stderr as zorv names it and left out. Prints the
groups in zorv's text format; their order is not zorv's (compare sets).
"""
import collections
import hashlib
import sys
import zipfile


def main():
    mode, paths = sys.argv[1], sys.argv[2:]
    members = collections.defaultdict(list)  # (crc, size) -> [(path, info)]
    for path in paths:
        with zipfile.ZipFile(path) as zf:
            for info in zf.infolist():
                if info.CRC != 0:
                    members[(info.CRC, info.file_size)].append((path, info))
    for (crc, _), group in members.items():
        if len(group) < 2:
            continue
        parts = {"": group}
        if mode == "-c":
            parts = collections.defaultdict(list)
            for path, info in group:
                try:
                    with zipfile.ZipFile(path) as zf:
                        digest = hashlib.sha256(zf.read(info)).hexdigest()
                except Exception:  # noqa: BLE001 - any failure to read is "damaged"
                    sys.stderr.write("zorv: warning, cannot verify %s, %s: damaged data\n"
                                     % (path, info.filename))
                    continue
                parts[digest].append((path, info))
        for part in parts.values():
            if len(part) < 2:
                continue
            print("CRC32: 0x%08x" % crc)
            for path, info in part:
                print("file: %s, %s" % (path, info.filename))
            print("-------")


if __name__ == "__main__":
    main()
