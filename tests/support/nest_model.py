#!/usr/bin/python3
"""A seeded collection of archives inside archives (stored and deflated, four
levels, names that are and are not archives'), reported by zorv --nested and
by the plain-Python baseline (bench/baseline.py): both must hold the same
groups, as sets of (file, inner path, name), without -c (stored inner
archives only) and with it (compressed ones decoded too).

    nest_model.py ZORV BASELINE DIR
"""

import io
import random
import subprocess
import sys
import zipfile


def make(rng, pool, depth):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for i in range(rng.randint(1, 8)):
            name, data = rng.choice(pool)
            z.writestr(zipfile.ZipInfo("d%d/%d-%s" % (rng.randint(0, 3), i, name)), data,
                       compress_type=rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]))
        if depth < 4:
            for k in range(rng.randint(0, 3)):
                ext = rng.choice(["zip", "jar", "txt"])
                z.writestr(zipfile.ZipInfo("lib/i%d.%s" % (k, ext)), make(rng, pool, depth + 1),
                           compress_type=rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]))
    return out.getvalue()


def groups(text):
    found = {}
    crc = None
    for line in text.splitlines():
        if line.startswith(b"CRC32: "):
            crc = int(line[9:], 16)
            found.setdefault(crc, set())
        elif line.startswith(b"file: "):
            archive, _, name = line[6:].partition(b", ")
            found[crc].add((archive, name))
    return found


def main(zorv, baseline, top):
    rng = random.Random(7)
    pool = [("f%d.bin" % i, (b"content %d " % i) * rng.randint(1, 40)) for i in range(400)]
    for i in range(200):
        with open("%s/a%03d.%s" % (top, i, rng.choice(["zip", "jar", "war"])), "wb") as f:
            f.write(make(rng, pool, 0))
    bad = 0
    for zorv_opts, base_opt in ((["--nested"], "--nested"), (["--nested", "-c"], "--nested=decode")):
        z = subprocess.run([zorv, "--ext=jar,war"] + zorv_opts + [top], capture_output=True)
        b = subprocess.run(["/usr/bin/python3", baseline, "--ext=jar,war", base_opt, top],
                           capture_output=True)
        zg, bg = groups(z.stdout), groups(b.stdout)
        inner = sum(1 for members in zg.values() for a, _ in members if b"!/" in a)
        differ = [c for c in set(zg) | set(bg) if zg.get(c) != bg.get(c)]
        print("%s: %d groups, %d members (%d inside inner archives); baseline %d groups; "
              "%d differ; status %d" % (" ".join(zorv_opts), len(zg), sum(map(len, zg.values())),
                                         inner, len(bg), len(differ), z.returncode))
        if differ or z.returncode != 0 or b.returncode != 0 or inner == 0:
            bad = 1
    return bad


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
