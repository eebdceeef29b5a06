#!/usr/bin/env python3
"""Writes the bundled example archives (deterministic bytes: fixed dates,
fixed contents). Run from anywhere: python3 examples/make_examples.py"""
import os
import random
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
STAMP = (2023, 8, 14, 9, 41, 0)


def blob(seed, size):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


PHOTOS = {name: blob(name, 700 + 97 * i) for i, name in
          enumerate(["IMG_0001.jpg", "IMG_0002.jpg", "IMG_0003.jpg", "IMG_0004.jpg"])}


def write(name, entries):
    path = os.path.join(HERE, name)
    with zipfile.ZipFile(path, "w") as zf:
        for entry_name, data, method in entries:
            info = zipfile.ZipInfo(entry_name, STAMP)
            info.compress_type = method
            info.external_attr = (0o40755 << 16 | 0x10) if entry_name.endswith("/") else 0o644 << 16
            zf.writestr(info, data)


S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
write("photos-2023.zip", [
    ("2023/", b"", S),
    ("2023/IMG_0001.jpg", PHOTOS["IMG_0001.jpg"], S),
    ("2023/IMG_0002.jpg", PHOTOS["IMG_0002.jpg"], S),
    ("2023/IMG_0003.jpg", PHOTOS["IMG_0003.jpg"], S),
    ("2023/album.txt", b"Summer 2023: lake, mountains, the old bridge.\n", D),
])
write("photos-backup.zip", [
    ("backup/IMG_0001.jpg", PHOTOS["IMG_0001.jpg"], S),
    ("backup/IMG_0002 (copy).jpg", PHOTOS["IMG_0002.jpg"], S),
    ("backup/IMG_0003.jpg", PHOTOS["IMG_0003.jpg"], D),
    ("backup/album.txt", b"Summer 2023: lake, mountains, the old bridge.\n", D),
])
write("projects.zip", [
    ("zorv-notes/todo.txt", b"- compare archives\n- free disk space\n", D),
    ("zorv-notes/empty.log", b"", S),
    ("site/img/header.jpg", PHOTOS["IMG_0003.jpg"], S),
    ("site/img/logo.jpg", PHOTOS["IMG_0004.jpg"], S),
    ("site/index.html", b"<!doctype html><title>site</title><img src=img/header.jpg>\n", D),
    ("site/img/logo-old.jpg", PHOTOS["IMG_0004.jpg"], S),
])
