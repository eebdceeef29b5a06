#!/usr/bin/python3
"""-c's peak memory and time on archives whose own headers ask for a lot.

Writes, under bench/corpora/hostile/ (git-ignored), pairs of archives whose
members were made to cost memory or time to check: an LZMA member declaring
a 4 GiB dictionary over 1 GiB of zeros, an xz stream with a 1.5 GiB
dictionary, a zstd frame with a 2 GiB window (--long=31, from a pipe), an
xz -9 member of 60 MiB (a sound 64 MiB dictionary), a 60 MiB deflated member,
and 16 central entries on one 256 MiB deflate stream. Then runs
`ZORV -c` on each pair under /usr/bin/time -v and prints peak RSS, elapsed
time and what zorv said.

    bench/hostile_rss.py [ZORV ...]     (default: build/release/zorv)
"""
import os
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpora", "hostile")


def write_zip(path, members):
    """members: (name, method, stored bytes, crc, size); local headers match."""
    out, cd = bytearray(), bytearray()
    for name, method, comp, crc, size in members:
        off, nb = len(out), name.encode()
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0, crc, len(comp), size,
                           len(nb), 0) + nb + comp
        cd += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0, crc, len(comp),
                          size, len(nb), 0, 0, 0, 0, 0, off) + nb
    n = len(members)
    out += cd + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, len(cd), len(out), 0)
    with open(path, "wb") as f:
        f.write(out)


def tool(cmd, data):
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, check=True).stdout


def deflate(data, level):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def make(case):
    import lzma
    zeros = bytes(1 << 30)
    if case == "lzma-4g-dict":
        f = {"id": lzma.FILTER_LZMA1, "preset": 6}
        props = lzma._encode_filter_properties(f)[:1] + struct.pack("<I", 0xFFFFFFFF)
        comp = struct.pack("<BBH", 9, 20, 5) + props + lzma.compress(
            zeros, format=lzma.FORMAT_RAW, filters=[f])
        return [("zeros", 14, comp, zlib.crc32(zeros), len(zeros))]
    if case == "xz-1536m-dict":
        comp = tool(["xz", "-c", "-T1", "--lzma2=dict=1536MiB"], zeros)
        return [("zeros", 95, comp, zlib.crc32(zeros), len(zeros))]
    if case == "zstd-2g-window":
        comp = tool(["zstd", "-c", "-q", "--long=31"], zeros)
        return [("zeros", 93, comp, zlib.crc32(zeros), len(zeros))]
    data = os.urandom(1 << 20) * 60
    if case == "xz-9-60m":
        return [("xz9", 95, tool(["xz", "-c", "-9", "-T1"], data), zlib.crc32(data), len(data))]
    if case == "deflate-60m":
        return [("big", 8, deflate(data, 6), zlib.crc32(data), len(data))]
    raise KeyError(case)


def bomb(path):
    data = bytes(256 << 20)
    comp, crc = deflate(data, 9), zlib.crc32(data)
    out = bytearray(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(comp),
                                len(data), 1, 0) + b"z" + comp)
    cd = bytearray()
    for i in range(16):
        name = b"z" if i == 0 else b"z%d" % i
        cd += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, len(comp) + i,
                          len(data), len(name), 0, 0, 0, 0, 0, 0) + name
    out += cd + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 16, 16, len(cd), len(out), 0)
    with open(path, "wb") as f:
        f.write(out)


CASES = ["lzma-4g-dict", "xz-1536m-dict", "zstd-2g-window", "xz-9-60m", "deflate-60m", "bomb"]


def paths(case):
    if case == "bomb":
        p = os.path.join(OUT, "bomb.zip")
        if not os.path.exists(p):
            bomb(p)
        return [p]
    ps = [os.path.join(OUT, f"{case}-{k}.zip") for k in (1, 2)]
    if not all(os.path.exists(p) for p in ps):
        members = make(case)
        for p in ps:
            write_zip(p, members)
    return ps


def measure(zorv, files):
    r = subprocess.run(["/usr/bin/time", "-v", zorv, "-c"] + files, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True)
    rss = elapsed = "?"
    said = []
    for line in r.stderr.splitlines():
        if "Maximum resident set size" in line:
            rss = f"{int(line.split()[-1]) / 1024:.1f} MiB"
        elif "Elapsed (wall clock)" in line:
            elapsed = line.split()[-1]
        elif line.startswith("zorv:"):
            said.append(line.split(": ", 1)[1].replace(OUT + "/", ""))
    groups = r.stdout.count("CRC32:")
    return rss, elapsed, groups, said[0] if said else ""


def main():
    zorvs = sys.argv[1:] or [os.path.join(HERE, "..", "build", "release", "zorv")]
    os.makedirs(OUT, exist_ok=True)
    print("| case | zorv | peak RSS | elapsed | groups | first warning |")
    print("|---|---|---|---|---|---|")
    for case in CASES:
        files = paths(case)
        for z in zorvs:
            rss, elapsed, groups, said = measure(z, files)
            print(f"| {case} | {z} | {rss} | {elapsed} | {groups} | {said} |", flush=True)


if __name__ == "__main__":
    main()
