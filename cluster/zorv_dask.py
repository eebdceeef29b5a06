# zorv-dask's whole program, which the script cluster/zorv-dask runs: the
# command line, the Dask tasks and the client that runs zorv's keys, resolve
# and print modes over a cluster. Each PATH (an archive or a directory; many
# PATHs share shards) is a shard indexed by `zorv --keys` on a worker; the
# keys, left in a file on that host, are read by part by reduce tasks that
# find the (CRC-32, size) keys held more than once; each shard's worker
# reads those members again with
# `zorv --resolve`; and this client hands what the shards gave to a local
# `zorv --print-groups`, which forms the groups and writes the report. No
# report text is made here: the report, its -l lines and summary are zorv's
# own. The task functions are pure functions of their inputs, so Dask may run
# them again after a worker dies.

import collections
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

PROG = "zorv-dask"
VERSION = 1

# One key record of `zorv --keys` (CRC-32, size, archive number, directory
# position), and one place of `zorv --reduce` (archive number, position,
# CRC-32, size): their lengths, which is all this client needs of them.
KEY_BYTES = 20
PLACE_BYTES = 20

USAGE = """\
Usage: zorv-dask (--scheduler tcp://HOST:PORT | --local N) [--paths-on WORKER=PATH]...
                 [zorv options] PATHS...

Finds the entries stored more than once across ZIP archives, as `zorv -s`
does, with the indexing and the reading spread over a Dask cluster.

Cluster:
--scheduler=ADDR     use the running Dask scheduler at ADDR (tcp://HOST:PORT)
--local N            start a cluster of N worker processes on 127.0.0.1 for the
                     run (worker names 0 to N-1) and close it at the end
--timeout=S          seconds to wait for the scheduler and the first worker (10)
--paths-on WORKER=PATH
                     PATH (exactly as given among PATHS) is on WORKER (a Dask
                     worker name or address) only: its tasks run there alone.
                     When that worker dies and its nanny starts it again, the
                     run starts over (60 s without it: an error). Every other
                     PATH may be read by any worker: all of them must see it
                     under the same name (one host, a shared mount)
--zorv=PATH          the zorv binary the workers run, and this client for the
                     report (default: ../build/release/zorv beside this script
                     when there is one, else zorv on PATH)

Relative PATHs are read, on every worker, from this client's working
directory (where the worker's host has it). Each PATH is one shard: one
worker indexes it (`zorv --keys`) and reads its members again (`zorv
--resolve`); past 4 shards per worker (for the PATHs of one --paths-on
worker: past 4), consecutive PATHs share a shard. A PATH named twice, or two
PATHs reaching one archive, in two shards are read once in each, without
zorv's "duplicate" or "same file" warning. What each task makes (keys,
places, members read) stays in a file on its host, in zorv-dask-RUN under
the worker's temporary directory, until the run ends.

zorv options, given on to the workers or to the report:
-R, --recursive      process subdirectories
-s, --size           accepted: groups are always split by size here
-c, --content        confirm each group by content (the workers read the data)
-l, --list           after the report, each archive's entries and copies
-j N, --jobs=N       N archives at once in each worker's zorv (default: zorv's
                     32 shared among the workers of a host)
--ext=EXT[,EXT...]   also archives: names ending in .EXT
--known-exts         also archives: the well-known formats built on ZIP
--any-name           also archives: every regular file whose end record says so
--cache[=FILE]       with -c, each worker's zorv keeps what it read in FILE (on
                     the worker's host; default ~/.cache/zorv/cache.sqlite)
--no-cache           no cache
--format=text|jsonl  the report as text (the default) or as JSON Lines
--summary            after the report, one line of totals
--exit-status        exit with 2 when a group was printed, 0 when none
--progress=WHEN      a status line `zorv-dask: N/M tasks` on standard error:
                     auto (on a terminal, the default), always, never
--files-from=FILE    also the paths listed in FILE (-: standard input), one a
                     line, read here: each is a PATH
--null               the --files-from list's paths end with a NUL
--help               this text
--                   ends the options: the next word is a path

Groups print in ascending (CRC-32, size) order. Warnings of the workers' zorv
runs come on standard error, each line once, before the report. The exit
status is zorv's: 0, 2 with --exit-status when a group was printed, 1 after
an error (a worker's zorv failing, a scheduler out of reach).
"""


class CommandError(Exception):
    pass


def fail(message, status=1):
    sys.stderr.buffer.write(("%s: %s\n" % (PROG, message)).encode("utf-8", "surrogateescape"))
    sys.stderr.buffer.flush()
    return status


# ---------------------------------------------------------------------------
# The command line


class Options:
    def __init__(self):
        self.scheduler = None
        self.local = None
        self.timeout = 10.0
        self.paths_on = []  # (worker, path bytes)
        self.zorv = None
        self.recursive = False
        self.content = False
        self.list = False
        self.jobs = None
        self.exts = []
        self.known_exts = False
        self.any_name = False
        self.cache = None  # None: not said; "" the default file; else a file
        self.no_cache = False
        self.format = None
        self.summary = False
        self.exit_status = False
        self.progress = "auto"
        self.files_from = None
        self.null = False
        self.help = False
        self.paths = []  # bytes

    def index_args(self):
        """What `zorv --keys` takes of the options."""
        args = []
        if self.recursive:
            args.append("-R")
        for e in self.exts:
            args.append("--ext=" + e)
        if self.known_exts:
            args.append("--known-exts")
        if self.any_name:
            args.append("--any-name")
        if self.jobs is not None:
            args += ["-j", self.jobs]
        return args

    def resolve_args(self):
        args = []
        if self.content:
            args.append("-c")
            if self.no_cache:
                args.append("--no-cache")
            elif self.cache is not None:
                args.append("--cache" if self.cache == "" else "--cache=" + self.cache)
        if self.jobs is not None:
            args += ["-j", self.jobs]
        return args

    def print_args(self):
        args = []
        if self.format is not None:
            args.append("--format=" + self.format)
        if self.list:
            args.append("-l")
        if self.summary:
            args.append("--summary")
        if self.exit_status:
            args.append("--exit-status")
        return args


LONG_FLAGS = {
    "recursive": "recursive", "size": None, "content": "content", "list": "list",
    "known-exts": "known_exts", "any-name": "any_name", "summary": "summary",
    "exit-status": "exit_status", "null": "null", "help": "help", "no-cache": "no_cache",
}
LONG_VALUES = {"scheduler", "local", "timeout", "paths-on", "zorv", "jobs", "ext", "format",
               "progress", "files-from"}


def take_value(o, name, value):
    if name == "scheduler":
        o.scheduler = value
    elif name == "local":
        try:
            o.local = int(value)
        except ValueError:
            o.local = 0
        if o.local < 1:
            raise CommandError("command error, --local needs a number of workers from 1: '%s'" % value)
    elif name == "timeout":
        try:
            o.timeout = float(value)
        except ValueError:
            o.timeout = -1
        if not o.timeout > 0:
            raise CommandError("command error, --timeout needs a number of seconds: '%s'" % value)
    elif name == "paths-on":
        worker, sep, path = value.partition("=")
        if not sep or not worker or not path:
            raise CommandError("command error, --paths-on needs WORKER=PATH: '%s'" % value)
        o.paths_on.append((worker, os.fsencode(path)))
    elif name == "zorv":
        o.zorv = value
    elif name == "jobs":
        if not value.isdigit() or int(value) < 1:
            raise CommandError("command error, jobs must be a number from 1: '%s'" % value)
        o.jobs = value
    elif name == "ext":
        o.exts.append(value)
    elif name == "format":
        if value not in ("text", "jsonl"):
            raise CommandError("command error, unknown format '%s'" % value)
        o.format = value
    elif name == "progress":
        if value not in ("auto", "always", "never"):
            raise CommandError("command error, unknown progress '%s'" % value)
        o.progress = value
    elif name == "files-from":
        o.files_from = value


def parse_args(argv):
    """zorv's way: options first, clustered short flags, `--` ends them; the
    first word that is not an option starts the paths."""
    o = Options()
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == "--":
            i += 1
            break
        if word.startswith("--"):
            name, eq, value = word[2:].partition("=")
            i += 1
            if name == "cache":
                o.cache = value if eq else ""
                if eq and value == "":
                    raise CommandError("command error, the '--cache' option needs a file name after '='")
                o.no_cache = False
            elif name in LONG_FLAGS:
                if eq:
                    raise CommandError("command error, the '--%s' option takes no argument" % name)
                if LONG_FLAGS[name]:
                    setattr(o, LONG_FLAGS[name], True)
                if name == "no-cache":
                    o.cache = None
            elif name in LONG_VALUES:
                if not eq:
                    if name in ("local", "paths-on", "scheduler", "timeout", "zorv") and i < len(argv):
                        value = argv[i]
                        i += 1
                    else:
                        raise CommandError("command error, the '--%s' option requires an argument" % name)
                take_value(o, name, value)
            elif name == "nested":
                raise CommandError("command error, --nested is not available on a cluster")
            else:
                raise CommandError("command error, unknown option '--%s'. Type 'zorv-dask --help' for help" % name)
            continue
        if word.startswith("-") and len(word) > 1:
            i += 1
            k = 1
            while k < len(word):
                c = word[k]
                k += 1
                if c == "R":
                    o.recursive = True
                elif c == "s":
                    pass
                elif c == "c":
                    o.content = True
                elif c == "l":
                    o.list = True
                elif c == "j":
                    if k < len(word):
                        value = word[k:]
                    elif i < len(argv):
                        value = argv[i]
                        i += 1
                    else:
                        raise CommandError("command error, the 'j' option requires an argument")
                    take_value(o, "jobs", value)
                    break
                else:
                    raise CommandError("command error, unknown option '%s'. Type 'zorv-dask --help' for help" % c)
            continue
        break
    o.paths = [os.fsencode(p) for p in argv[i:]]
    return o


def read_list(o):
    """The --files-from list, read here: its paths are PATHS like the others."""
    name = o.files_from
    try:
        if name == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(name, "rb") as f:
                data = f.read()
    except OSError as e:
        raise CommandError("error reading the list of paths, %s: %s" % (e.strerror or e, name))
    if o.null:
        words = data.split(b"\0")
    else:
        if b"\0" in data:
            raise CommandError("error reading the list of paths, a path holds a NUL byte (--null reads it): %s" % name)
        words = data.split(b"\n")
    return [w for w in words if w]


def default_zorv():
    here = os.path.dirname(os.path.realpath(sys.argv[0] if sys.argv[0] else __file__))
    built = os.path.normpath(os.path.join(here, "..", "build", "release", "zorv"))
    if os.access(built, os.X_OK):
        return built
    found = shutil.which("zorv")
    return os.path.realpath(found) if found else None


# ---------------------------------------------------------------------------
# The files of zorv's cluster modes


def u32(v):
    return struct.pack("<I", v)


# What each keys.K of `zorv --keys` starts with, before its version and K.
KEYS_HEAD = b"ZORVKEYS"
# The magics of what zorv --reduce reads and writes, and of the places
# --resolve reads numbered.
KEYS_IN = b"ZORVREDC"
PLACES_OUT = b"ZORVDUPS"
PLACES_IN = b"ZORVPLNO"


# ---------------------------------------------------------------------------
# Each host's files of the run. What a task makes (a shard's keys, a
# reduce's places, a shard's resolve output) stays in a file on the host
# that made it, and a task or the client that needs it reads it there
# itself when it is on that host, else through a task tied to that host: so
# no worker holds more than the task it runs (the shuffle's input would
# otherwise sit in the workers' memory until the last reduce has read it),
# and on one host nothing is moved between processes at all. Tasks pass
# only what says where the files are.

STORE = "zorv-dask-"
# A test's way to send every read through a task, as if each worker and the
# client were on hosts of their own.
FETCH_ENV = "ZORV_DASK_FETCH"


def host_id():
    """This host as the files know it: two processes with the same id see
    the same temporary directory."""
    import socket

    try:
        with open("/proc/sys/kernel/random/boot_id") as f:
            boot = f.read().strip()
    except OSError:
        boot = ""
    return "%s %s %s" % (socket.gethostname(), boot, tempfile.gettempdir())


def store_here(run):
    """This task's host, as the scheduler names it, and the run's directory."""
    from distributed import get_worker
    from distributed.comm import get_address_host

    d = os.path.join(tempfile.gettempdir(), STORE + run)
    os.makedirs(d, exist_ok=True)
    return {"id": host_id(), "host": get_address_host(get_worker().address)}, d


# What zorv reads at once by default (-j): a host's workers share it, so
# that a host reads as many archives at once as one zorv there would
# (slow storage keeps its read-ahead) and a host's four workers do not
# run 128 reading threads (on 10M entries and 4 workers on 2 cores,
# bench/cluster_run.py: 10.8-11.0 s with 32 each, 9.1-9.5 with 8).
ZORV_JOBS = 32


def jobs_here(args, per_host):
    """zorv's options with -j for this task's host when none was given:
    per_host maps each host to its number of workers."""
    if per_host is None:
        return args
    from distributed import get_worker
    from distributed.comm import get_address_host

    n = per_host.get(get_address_host(get_worker().address), 1)
    return args + ["-j", str(max(1, ZORV_JOBS // max(1, n)))]


def remove_store(run):
    """Runs on every worker at the end: the run's files go."""
    shutil.rmtree(os.path.join(tempfile.gettempdir(), STORE + run), ignore_errors=True)


def on_this_host(loc):
    return loc["id"] == host_id() and os.environ.get(FETCH_ENV) != "always"


class LostFiles(Exception):
    """A host's files of the run are gone (the host left the cluster)."""


def read_span(path, lo, hi):
    with open(path, "rb") as f:
        f.seek(lo)
        data = f.read(hi - lo)
    if len(data) != hi - lo:
        raise LostFiles("%s: %d bytes, not %d" % (path, len(data), hi - lo))
    return data


def send_span(dest, path, lo, hi):
    """Bytes lo to hi of a file of this host into dest, by the kernel."""
    dest.flush()
    try:
        with open(path, "rb") as f:
            while lo < hi:
                n = os.sendfile(dest.fileno(), f.fileno(), lo, hi - lo)
                if n == 0:
                    raise LostFiles("%s: cut short at %d bytes, not %d" % (path, lo, hi))
                lo += n
    except BrokenPipeError:
        raise
    except OSError as e:
        raise LostFiles("%s: %s" % (path, e.strerror or e))


def send_items(items, dest):
    """Writes the items into dest (a pipe to a zorv), in order: bytes as
    they are, (loc, path, lo, hi) as that file's bytes, sent from the file
    when this host holds it, else read by a task on its host (the task then
    out of the worker's thread pool, the wait for a worker there bounded).
    BrokenPipeError when zorv stopped reading."""
    far = [i for i, x in enumerate(items) if isinstance(x, tuple) and not on_this_host(x[0])]
    if not far:
        for x in items:
            if isinstance(x, tuple):
                send_span(dest, *x[1:])
            else:
                dest.write(x)
        return
    from distributed import get_worker, worker_client

    # Out of the pool, the worker starts its next task meanwhile: one of
    # them at a time reads from other hosts, so a worker holds what one task
    # is sending, not what every task it was given asked for.
    gate = get_worker().__dict__.setdefault("zorv_dask_gate", threading.Lock())
    with worker_client() as c, gate:
        futures = {i: c.submit(read_span, *items[i][1:], workers=[items[i][0]["host"]],
                               allow_other_workers=False, pure=False) for i in far}
        for i, x in enumerate(items):
            if i in futures:
                try:
                    data = futures.pop(i).result(timeout=GONE_WAIT)
                except Exception as e:  # OSError there, TimeoutError here
                    raise LostFiles("%s on %s: %s" % (x[1], x[0]["host"], str(e) or type(e).__name__))
                dest.write(data)
                del data
            elif isinstance(x, tuple):
                send_span(dest, *x[1:])
            else:
                dest.write(x)


def zorv_env():
    """The environment a zorv run of the cluster gets: glibc's malloc
    advised for huge pages (glibc 2.35 and later; older ones ignore it).
    Each run touches its buffers once and ends, so 4 KiB page faults are
    a large part of its time: a shard's --resolve took 216 ms of CPU with
    them and 126 with huge pages on the benchmark's host. A tunable the
    user set stays."""
    env = dict(os.environ)
    tunables = env.get("GLIBC_TUNABLES", "")
    if "glibc.malloc.hugetlb" not in tunables:
        env["GLIBC_TUNABLES"] = (tunables + ":" if tunables else "") + "glibc.malloc.hugetlb=1"
    return env


def run_fed(cmd, items, cwd, out):
    """Runs zorv with the items on its standard input and its output into
    the file `out`: (status, its stderr). Its stderr goes to a file, not a
    pipe: zorv warns while it reads, and a full pipe would stop it while
    this task still writes to it. LostFiles when an item's file could not
    be read (zorv then ended)."""
    with tempfile.TemporaryFile() as err:
        p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=out, stderr=err, cwd=workdir(cwd),
                             env=zorv_env())
        lost = None
        try:
            send_items(items, p.stdin)
        except BrokenPipeError:
            pass  # zorv stopped reading: it says why
        except LostFiles as e:
            lost = e
            p.kill()
        finally:
            try:
                p.stdin.close()
            except BrokenPipeError:
                pass
        status = p.wait()
        if lost is not None:
            raise lost
        err.seek(0)
        return status, err.read()


def put_file(d, name, chunks):
    """Writes the file whole under a fresh name, then gives it its own: a
    reader never sees part of it."""
    fd, stage = tempfile.mkstemp(prefix="stage-", dir=d)
    with os.fdopen(fd, "wb") as f:
        for c in chunks:
            f.write(c)
    final = os.path.join(d, name)
    os.replace(stage, final)
    return final


# ---------------------------------------------------------------------------
# The tasks: they run on the workers, from what they are given alone.


def workdir(cwd):
    """The client's working directory where this host has it: relative
    PATHs name the same files there (one host, a shared mount)."""
    return cwd if cwd is not None and os.path.isdir(cwd) else None


def ended(what, status, stderr):
    """stderr of a zorv run, with a line of ours when zorv could not say
    itself why it stopped (a signal, an assertion)."""
    import socket

    if status in (0, 1, 2):
        return stderr
    how = "by signal %d" % -status if status < 0 else "with status %d" % status
    return stderr + ("%s: error, zorv %s ended %s on %s\n" % (PROG, what, how, socket.gethostname())).encode()


def cannot_run(zorv, e):
    import socket

    return ("%s: error, cannot run %s on %s: %s\n" % (PROG, zorv, socket.gethostname(), e.strerror or e)).encode()


def map_shard(run, s, zorv, cwd, paths, parts, index_args, per_host):
    """Indexes shard s: `zorv --keys`, its parts joined into one file of
    this host's files of the run, part after part and without their headers,
    so that a reduce of consecutive parts reads one span of it. Returns a
    dict: archives, stderr, status, and where the keys are (loc, path,
    offsets: part k is bytes offsets[k] to offsets[k+1])."""
    loc, d = store_here(run)
    stage = tempfile.mkdtemp(prefix="stage-", dir=d)
    meta = {"archives": b"", "stderr": b"", "status": 1, "loc": loc, "path": None, "offsets": []}
    try:
        cmd = [zorv, "--keys=" + stage, "--partitions=%d" % parts, "--files-from=-", "--null"] + \
            jobs_here(index_args, per_host)
        try:
            p = subprocess.run(cmd, input=b"".join(x + b"\0" for x in paths), cwd=workdir(cwd),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=zorv_env())
        except OSError as e:
            meta["stderr"] = cannot_run(zorv, e)
            return meta
        meta["stderr"], meta["status"] = ended("--keys", p.returncode, p.stderr), p.returncode
        if p.returncode != 0:
            return meta
        with open(os.path.join(stage, "archives"), "rb") as f:
            meta["archives"] = f.read()
        offsets = [0]

        def joined():
            for k in range(parts):
                with open(os.path.join(stage, "keys.%d" % k), "rb") as f:
                    head = f.read(16)
                    if head != KEYS_HEAD + struct.pack("<II", VERSION, k):
                        raise ValueError("keys.%d of zorv --keys: not its keys file" % k)
                    n = 0
                    while True:
                        chunk = f.read(1 << 20)
                        if not chunk:
                            break
                        n += len(chunk)
                        yield chunk
                if n % KEY_BYTES != 0:
                    raise ValueError("keys.%d of zorv --keys: a record cut short" % k)
                offsets.append(offsets[-1] + n)

        meta["path"] = put_file(d, "k%d" % s, joined())
        meta["offsets"] = offsets
        return meta
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def reduce_parts(run, t, lo, hi, metas, zorv):
    """Parts lo to hi-1 of every shard's keys: `zorv --reduce` finds the
    (CRC-32, size) keys held twice or more and writes, shard by shard, the
    places of their entries into one file of this host. Returns {loc, path,
    bounds: shard s's places are bytes bounds[s] to bounds[s+1]}, {lost:
    why}, or {error: zorv's messages}."""
    items = [KEYS_IN + u32(VERSION) + u32(len(metas))]
    for m in metas:
        n = m["offsets"][hi] - m["offsets"][lo] if m["path"] is not None else 0
        items.append(struct.pack("<Q", n // KEY_BYTES))
        if n:
            items.append((m["loc"], m["path"], m["offsets"][lo], m["offsets"][hi]))
    loc, d = store_here(run)
    fd, stage = tempfile.mkstemp(prefix="stage-", dir=d)
    try:
        with os.fdopen(fd, "w+b") as out:
            try:
                status, err = run_fed([zorv, "--reduce=-"], items, None, out)
            except LostFiles as e:
                return {"lost": str(e)}
            except OSError as e:
                return {"error": cannot_run(zorv, e)}
            if status != 0:
                return {"error": ended("--reduce", status, err)}
            out.seek(0)
            head = out.read(16 + 8 * len(metas))
        if head[:8] != PLACES_OUT or len(head) != 16 + 8 * len(metas):
            return {"error": ("%s: error, zorv --reduce gave no places file\n" % PROG).encode()}
        counts = struct.unpack_from("<%dQ" % len(metas), head, 16)
        bounds = [len(head)]
        for c in counts:
            bounds.append(bounds[-1] + c * PLACE_BYTES)
        final = os.path.join(d, "r%d" % t)
        os.replace(stage, final)
        stage = None
        return {"loc": loc, "path": final, "bounds": bounds}
    finally:
        if stage is not None:
            os.unlink(stage)


def resolve_shard(run, s, zorv, cwd, meta, resolve_args, per_host, reduces):
    """Reads shard s's places again with `zorv --resolve`, its output into
    this host's files of the run. Returns None when the shard has none, else
    {loc, path, length, stderr, status}, or {lost: why}."""
    for r in reduces:
        if "lost" in r:
            return r
        if "error" in r:  # a reduce's zorv failed: its message, as this shard's
            return {"loc": None, "path": None, "length": 0, "stderr": r["error"], "status": 1}
    if meta["status"] != 0:
        return None
    wants = [(r["loc"], r["path"], r["bounds"][s], r["bounds"][s + 1]) for r in reduces
             if r["bounds"][s + 1] > r["bounds"][s]]
    if not wants:
        return None
    # zorv takes the places numbered as the keys named them, with the keys
    # run's archive list, and sorts them itself.
    count = sum(hi - lo for _, _, lo, hi in wants) // PLACE_BYTES
    items = [PLACES_IN + u32(VERSION) + u32(0), struct.pack("<Q", len(meta["archives"])), meta["archives"],
             struct.pack("<Q", count)] + wants
    loc, d = store_here(run)
    fd, stage = tempfile.mkstemp(prefix="stage-", dir=d)
    try:
        with os.fdopen(fd, "wb") as out:
            try:
                status, err = run_fed([zorv, "--resolve=-"] + jobs_here(resolve_args, per_host), items, cwd,
                                      out)
            except LostFiles as e:
                return {"lost": str(e)}
            except OSError as e:
                return {"loc": loc, "path": None, "length": 0, "stderr": cannot_run(zorv, e), "status": 1}
        final = os.path.join(d, "o%d" % s)
        os.replace(stage, final)
        stage = None
        return {"loc": loc, "path": final, "length": os.path.getsize(final),
                "stderr": ended("--resolve", status, err), "status": status}
    finally:
        if stage is not None:
            os.unlink(stage)


# ---------------------------------------------------------------------------
# The client


class Progress:
    def __init__(self, on, total):
        self.on = on
        self.total = total
        self.done = 0
        self.shown = False

    def step(self, n=1):
        self.done += n
        if self.on:
            sys.stderr.write("\r%s: %d/%d tasks\x1b[K" % (PROG, self.done, self.total))
            sys.stderr.flush()
            self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def connect(o):
    """The client and, with --local, the cluster it started."""
    import logging

    from distributed import Client, LocalCluster

    # The cluster's own chatter (a worker lost and restarted) is not the
    # report's: only zorv's lines and ours go to standard error.
    for name in ("distributed", "tornado", "asyncio"):
        logging.getLogger(name).setLevel(logging.CRITICAL)
    cluster = None
    if o.local is not None:
        import warnings

        # The scheduler's HTTP endpoint moves to a free port when 8787 is
        # taken, and says so: nothing the user asked about.
        warnings.filterwarnings("ignore", message="Port .* is already in use")
        cluster = LocalCluster(n_workers=o.local, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None,
                               silence_logs=logging.CRITICAL)
        return Client(cluster, timeout=o.timeout), cluster
    try:
        client = Client(o.scheduler, timeout=o.timeout)
    except Exception as e:  # OSError, TimeoutError, a bad address
        reason = str(e) or type(e).__name__
        raise CommandError("error, cannot reach the scheduler at %s: %s" % (o.scheduler, reason))
    return client, None


def worker_names(client, o):
    """The scheduler's workers, {name or address as a string: name}; waits
    up to the timeout for one to be there."""
    try:
        client.wait_for_workers(1, timeout=o.timeout)
    except Exception:
        raise CommandError("error, no worker joined the scheduler at %s in %g s"
                           % (o.scheduler or "the local cluster", o.timeout))
    known = {}
    for addr, info in client.scheduler_info()["workers"].items():
        known[addr] = info.get("name", addr)
        known[str(info.get("name", addr))] = info.get("name", addr)
    return known


# Shards per worker at most: each shard costs two zorv runs and a few tasks
# whatever it holds, so thousands of one-archive shards spend more time on
# that than on the archives; a few per worker still spread the work out.
SHARDS_PER_WORKER = 4


def make_shards(o, known, nworkers):
    """The shards, [(paths, worker name or None)] in the order of their
    first PATH: each PATH one shard, except that past SHARDS_PER_WORKER x
    workers shards for one place (anywhere, or one worker), that place's
    PATHs are packed, in order, into that many shards."""
    where = {}
    for worker, path in o.paths_on:
        if worker not in known:
            raise CommandError("command error, no worker named '%s' (--paths-on)" % worker)
        if path not in o.paths:
            raise CommandError("command error, --paths-on names a path that is not among the paths: '%s'"
                               % os.fsdecode(path))
        where[path] = known[worker]
    by_place = {}
    for i, p in enumerate(o.paths):
        w = where.get(p)
        by_place.setdefault(w if w is None else ("w", w), []).append((i, p))
    shards = []
    for place, items in by_place.items():
        worker = None if place is None else place[1]
        cap = SHARDS_PER_WORKER * (nworkers if place is None else 1)
        n = min(len(items), cap)
        for k in range(n):
            piece = items[k * len(items) // n:(k + 1) * len(items) // n]
            shards.append((piece[0][0], [p for _, p in piece], worker))
    shards.sort(key=lambda t: t[0])
    return [(paths, worker) for _, paths, worker in shards]


def worker_addresses(dask_scheduler):
    """Runs on the scheduler: each worker's name (as a string) and address."""
    return {str(ws.name): addr for addr, ws in dask_scheduler.workers.items()}


# A worker that --paths-on names and that left the cluster: how long to wait
# for it to come back (its nanny starts it again within seconds). Also how
# long a read waits for a worker on the host that holds the files.
GONE_WAIT = 60

# The key parts zorv writes a shard's keys into, and how many bytes of keys
# a reduce task takes at most when there are parts enough: its zorv
# --reduce holds about twice that. A reduce takes consecutive parts; a small
# collection still gets two reduces a worker. Eight parts a worker keep the
# files few (one zorv --keys writes each part in a file of its own) and the
# reduces small: on 10M entries and 4 workers (bench/cluster_run.py), 32
# reduces of 6 MB.
REDUCE_BYTES = 4 << 20


def key_parts(nworkers):
    return min(256, max(16, 8 * nworkers))


def plan_reduces(light, parts, nworkers):
    """The reduce tasks' spans of parts: (lo, hi) each."""
    total = sum(m["offsets"][-1] for m in light if m["path"] is not None)
    tasks = min(parts, max(2 * nworkers, -(-total // REDUCE_BYTES)))
    return [(t * parts // tasks, (t + 1) * parts // tasks) for t in range(tasks)]


class Restart(Exception):
    """The run starts again: a worker of --paths-on came back at another
    address, or a host's files of the run were lost."""


def run_cluster(client, o, zorv, new_report):
    """Runs every task. new_report() gives what takes each shard's keys meta
    and resolve result, take(shard, meta, result), in shard order; a run
    started again gets a new one (the old one is stopped). Returns the
    report in use."""
    import uuid

    nworkers = max(1, len(client.scheduler_info()["workers"]))
    known = worker_names(client, o)
    nworkers = max(nworkers, len(client.scheduler_info()["workers"]))
    shards = make_shards(o, known, nworkers)
    parts = key_parts(nworkers)
    tied = sorted(set(str(w) for _, w in shards if w is not None))
    on = o.progress == "always" or (o.progress == "auto" and sys.stderr.isatty())
    # Dask ties a task to the address its worker had when it was submitted:
    # a worker of --paths-on that dies comes back at another address, and
    # the tasks tied to it would wait forever. Then the run starts again
    # (its tasks are pure: the same results), tied to the new address.
    for attempt in range(4):
        at = addresses_of(client, tied, attempt > 0)
        report = new_report()
        run = uuid.uuid4().hex
        progress = Progress(on, 2 * len(shards) + min(parts, 2 * nworkers))
        try:
            one_run(client, o, zorv, shards, parts, nworkers, run, at, tied, progress, report)
            return report
        except Restart as e:
            report.stop()
            why = str(e)
        finally:
            progress.clear()
            forget(client, run)
    raise CommandError(why)


def forget(client, run):
    """The run's files go from every worker's host."""
    try:
        client.run(remove_store, run)
    except Exception:
        pass
    remove_store(run)


def one_run(client, o, zorv, shards, parts, nworkers, run, at, tied, progress, report):
    idx_args, res_args = o.index_args(), o.resolve_args()
    per_host = None
    if o.jobs is None:
        from distributed.comm import get_address_host

        per_host = collections.Counter(get_address_host(a) for a in client.scheduler_info()["workers"])
    cwd = os.getcwd()

    def place(worker):
        if worker is None:
            return {}
        return {"workers": [at[str(worker)]], "allow_other_workers": False}

    maps = [client.submit(map_shard, run, s, zorv, cwd, paths, parts, idx_args, per_host, retries=3,
                          pure=False,
                          **place(worker)) for s, (paths, worker) in enumerate(shards)]
    metas = [None] * len(shards)
    index = {f.key: s for s, f in enumerate(maps)}

    def mapped(f):
        metas[index[f.key]] = f.result()

    progress.step(0)
    wait_all(client, maps, progress, tied, at, mapped)
    del maps
    # The reduces take only where each shard's keys are; the archive lists
    # stay here for the resolves and the report.
    light = [{"loc": m["loc"], "path": m["path"], "offsets": m["offsets"]} for m in metas]
    spans = plan_reduces(light, parts, nworkers)
    progress.total = 2 * len(shards) + len(spans)
    reduces = [client.submit(reduce_parts, run, t, lo, hi, light, zorv, retries=3, pure=False)
               for t, (lo, hi) in enumerate(spans)]
    # In shard order, as the report takes them: it reads each output while
    # the later shards resolve.
    resolves = [client.submit(resolve_shard, run, s, zorv, cwd, metas[s], res_args, per_host, reduces,
                              retries=3,
                              pure=False, priority=len(shards) - s, **place(worker))
                for s, (paths, worker) in enumerate(shards)]
    index = {f.key: s for s, f in enumerate(resolves)}

    def resolved(f):
        s = index[f.key]
        res = f.result()
        if res is not None and "lost" in res:
            raise Restart("error, files of the run were lost four times, the last: " + res["lost"])
        report.take(s, metas[s], res, lambda loc, path, n, dest: copy_output(client, loc, path, n, dest))
        metas[s] = None

    wait_all(client, reduces + resolves, progress, tied, at, resolved, index)


def copy_output(client, loc, path, length, dest):
    """A resolve's output into dest (a pipe): straight from the file when
    this host holds it, else as a task on its host reads it."""
    if on_this_host(loc):
        try:
            with open(path, "rb") as f:
                dest.flush()
                left = length
                while left > 0:
                    n = os.sendfile(dest.fileno(), f.fileno(), None, left)
                    if n == 0:
                        raise LostFiles("%s: %d bytes, not %d" % (path, length - left, length))
                    left -= n
            return
        except BrokenPipeError:
            raise
        except (OSError, LostFiles) as e:
            why = str(e)
    else:
        f = client.submit(read_span, path, 0, length, workers=[loc["host"]], allow_other_workers=False,
                          pure=False)
        try:
            data = f.result(timeout=GONE_WAIT)
        except Exception as e:
            why = "%s on %s: %s" % (path, loc["host"], str(e) or type(e).__name__)
        else:
            dest.write(data)
            return
    raise Restart("error, files of the run were lost four times, the last: " + why)


def addresses_of(client, tied, settle):
    """The workers' addresses by name, once each of the tied ones is there
    (with `settle`, after a worker died: there still half a second later, as
    a nanny's new worker may be refused while the scheduler still holds the
    dead one)."""
    if not tied:
        return {}
    since = time.monotonic()
    last = None
    while True:
        now = client.run_on_scheduler(worker_addresses)
        if all(n in now for n in tied):
            if not settle or last is not None and all(now[n] == last[n] for n in tied):
                return now
            last = now
        else:
            last = None
            if time.monotonic() - since > GONE_WAIT:
                missing = [n for n in tied if n not in now]
                raise CommandError("error, worker %s of --paths-on left the cluster and did not "
                                   "come back in %d s" % (missing[0], GONE_WAIT))
        time.sleep(0.5)


def wait_all(client, futures, progress, tied, at, done, wanted=None):
    """Waits for the futures, the progress line counting them, calling
    done(future) on each (of those in `wanted` only, when given) as it
    completes. Restart (the tasks not done cancelled) when a worker the
    tasks are tied to came back at another address; an error when it stays
    away past GONE_WAIT."""
    from distributed import as_completed

    ac = as_completed(futures)
    del futures[:]
    checked = time.monotonic()
    gone = {}
    while not ac.is_empty():
        got = ac.next_batch(block=False)
        if got:
            progress.step(len(got))
            for f in got:
                if wanted is None or f.key in wanted:
                    done(f)
            del got, f
            continue
        time.sleep(0.02)
        if not tied or time.monotonic() - checked < 1:
            continue
        checked = time.monotonic()
        now = client.run_on_scheduler(worker_addresses)
        for name in tied:
            if now.get(name) is None:
                gone.setdefault(name, checked)
                if checked - gone[name] > GONE_WAIT:
                    raise CommandError("error, worker %s of --paths-on left the cluster and did not "
                                       "come back in %d s" % (name, GONE_WAIT))
            elif now[name] != at.get(name):
                client.cancel(list(ac.futures), force=True)
                raise Restart("error, the workers of --paths-on kept leaving the cluster")


# What zorv shows on a terminal for a control byte in a message: a worker's
# zorv wrote to a pipe, raw, so this client escapes its lines as zorv would.
SHOWN = {c: (b"\\t" if c == 9 else b"\\x%02x" % c) for c in list(range(0x20)) + [0x7f]}


def say_lines(seen, text, terminal):
    """A worker's messages, each line once however often its task ran."""
    for line in text.split(b"\n"):
        if not line or line in seen:
            continue
        seen.add(line)
        if terminal:
            line = b"".join(SHOWN.get(c, bytes((c,))) for c in line)
        sys.stderr.buffer.write(line + b"\n")


class Report:
    """The local `zorv --print-groups`, fed as the shards come in: each
    shard's archive list and resolve output go to it as its worker gave them,
    in shard order (a shard done early waits for those before it), and are
    let go; zorv groups them (in C++: a run can hand back millions of
    members) and prints nothing before the end record. The workers' lines
    are kept to be said, each once and in shard order, before that record."""

    def __init__(self, zorv, args):
        self.proc = subprocess.Popen([zorv, "--print-groups=-"] + args, stdin=subprocess.PIPE,
                                     env=zorv_env())
        self.proc.stdin.write(b"ZORVGRPS" + u32(VERSION) + u32(0))
        self.waiting = {}  # shard -> (meta, result), done before the next to write
        self.next = 0
        self.metas = []  # (stderr, status) of the keys runs, in shard order
        self.results = []  # of the resolve runs (None: the shard had no places)
        self.failed = False

    def take(self, s, meta, res, copy):
        """Shard s's keys meta and resolve result; copy(loc, path, length,
        dest) writes the resolve's output into dest."""
        self.waiting[s] = (meta, res)
        while self.next in self.waiting:
            meta, res = self.waiting.pop(self.next)
            self.metas.append((meta["stderr"], meta["status"]))
            self.results.append(None if res is None else (res["stderr"], res["status"]))
            failed = meta["status"] != 0 or (res is not None and res["status"] != 0)
            self.failed = self.failed or failed
            if not self.failed and res is not None and res["length"]:
                try:
                    self.proc.stdin.write(struct.pack("<BQ", 3, len(meta["archives"])))
                    self.proc.stdin.write(meta["archives"])
                    self.proc.stdin.write(struct.pack("<Q", res["length"]))
                    copy(res["loc"], res["path"], res["length"], self.proc.stdin)
                except BrokenPipeError:
                    self.failed = True
            self.next += 1

    def stop(self):
        """Ends zorv before it prints anything."""
        self.proc.kill()
        self.proc.wait()

    def end(self):
        """The end record: zorv prints."""
        try:
            self.proc.stdin.write(b"\0")
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def wait(self):
        """zorv's exit status."""
        return self.proc.wait()


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        o = parse_args(argv)
        if o.help or not argv:
            sys.stdout.write(USAGE)
            return 0
        if o.files_from is not None:
            o.paths += read_list(o)
        if (o.scheduler is None) == (o.local is None):
            raise CommandError("command error, give one of --scheduler ADDR and --local N. "
                               "Type 'zorv-dask --help' for help")
        if not o.paths:
            raise CommandError("command error, missing directory")
        zorv = o.zorv or default_zorv()
        if zorv is None:
            raise CommandError("error, no zorv binary: none built beside this script, none on PATH (--zorv)")
        zorv = os.path.abspath(zorv)
    except CommandError as e:
        return fail(str(e))

    import cloudpickle

    # Workers on other hosts have no copy of this module: its tasks travel
    # by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    client = cluster = None
    try:
        sys.stdout.flush()
        report = Report(zorv, o.print_args())
    except OSError as e:
        return fail("error, cannot run %s: %s" % (zorv, e.strerror or e))
    # The first report is started before the cluster is asked for anything
    # (a zorv that cannot run fails at once); a run started again gets a
    # fresh one.
    fresh = [report]

    def new_report():
        nonlocal report
        report = fresh.pop() if fresh else Report(zorv, o.print_args())
        return report

    def close():
        if client is not None:
            try:
                client.close(timeout=o.timeout)
            except Exception:
                pass
        if cluster is not None:
            try:
                cluster.close(timeout=o.timeout)
            except Exception:
                pass

    try:
        client, cluster = connect(o)
        report = run_cluster(client, o, zorv, new_report)
    except CommandError as e:
        report.stop()
        close()
        return fail(str(e))
    except KeyboardInterrupt:
        report.stop()
        close()
        return fail("interrupted", 130)
    except Exception as e:
        report.stop()
        close()
        return fail("error, the cluster run failed: %s: %s" % (type(e).__name__, e))

    seen = set()
    terminal = sys.stderr.isatty()
    for text, _ in report.metas:
        say_lines(seen, text, terminal)
    for r in report.results:
        if r is not None:
            say_lines(seen, r[0], terminal)
    sys.stderr.buffer.flush()
    if report.failed:
        report.stop()
        close()
        return 1
    # zorv forms the groups: by (CRC-32, size), with -c by digest, members
    # in shard order, and it ends the run if an archive changed since its
    # keys. It prints while the cluster is let go.
    report.end()
    close()
    return report.wait()
