#!/usr/bin/python3
"""Checks zorv's JSON Lines against its text report and the archives.

    check_jsonl.py REPORT.jsonl REPORT.txt

Every line must be strict JSON (no NaN or Infinity) with a known "type";
every name and path must decode to the exact stored bytes (name_b64 /
archive_b64 when given, else the UTF-8 of the string), and the groups, as
(crc32, [(archive, name bytes)]) in order, must be the text report's (whose
names are printed as stored, up to a NUL). Prints what it found; exits 1
on the first fault.
"""
import base64
import json
import sys


def fail(why):
    sys.stderr.write("check_jsonl: %s\n" % why)
    sys.exit(1)


def strict(text):
    return json.loads(text, parse_constant=lambda c: fail("non-strict constant " + c))


def exact(obj, key):
    if key + "_b64" in obj:
        raw = base64.b64decode(obj[key + "_b64"], validate=True)
        shown = obj[key]
        if shown.encode("utf-8") == raw and b"\0" not in raw:
            fail("%s_b64 given for a name that is exact: %r" % (key, shown))
        return raw
    return obj[key].encode("utf-8")


def main():
    groups = []
    summary = None
    with open(sys.argv[1], "rb") as f:
        for number, line in enumerate(f, 1):
            if not line.endswith(b"\n"):
                fail("line %d is not terminated" % number)
            obj = strict(line.decode("utf-8"))
            kind = obj.get("type")
            if summary is not None:
                fail("line %d follows the summary" % number)
            if kind == "group":
                members = [(exact(m, "archive"), exact(m, "name")) for m in obj["members"]]
                groups.append((obj["crc32"], members))
            elif kind == "summary":
                summary = obj
            elif kind not in ("archive", "unverified"):
                fail("line %d: unknown type %r" % (number, kind))
    if summary is None:
        fail("no summary line")
    if summary["groups"] != len(groups) or summary["members"] != sum(len(m) for _, m in groups):
        fail("summary %r does not count the groups" % summary)
    # The text report as these groups print it (names as stored up to a
    # NUL; a name may hold a newline, so the text is compared whole): what
    # may follow are the -l lines.
    want = b""
    for crc, members in groups:
        want += b"CRC32: 0x" + crc.encode() + b"\n"
        for archive, name in members:
            want += b"file: " + archive + b", " + name.split(b"\0")[0] + b"\n"
        want += b"-------\n"
    with open(sys.argv[2], "rb") as f:
        text = f.read()
    rest = text[len(want):]
    if not text.startswith(want) or not (rest == b"" or rest.startswith(b"FileListName: ")):
        fail("the text report differs from the JSON groups:\n%r\n%r" % (text, want))
    print("%d groups, %d members" % (len(groups), summary["members"]))


if __name__ == "__main__":
    main()
