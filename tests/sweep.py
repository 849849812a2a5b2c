"""Corruption sweep: valid sound files of every format libsndfile writes,
mutated deterministically (bit flips, truncations, byte stomps and chunk or
header sizes set to extremes), each opened in a child process that reads
all its frames in the four element types, seeks, and sends every
get-command through `command`. The package's read, info and blocks then take
the same bytes by path, from memory (an io.BytesIO, a bytearray) and through
file objects (a buffered reader over the file, a pipe that cannot seek):
each gives data or one of the exceptions a broken file may raise, and every
other source gives the verdict the path gives (the same data, or an error).

A child works through a batch of files and reports each before it starts
on it, so a child that dies by a signal, exits early or hangs names the
file it was on; the file is saved for reproduction and the child's
successor carries on with the next one.

    python tests/sweep.py [--per-seed N] [--stride S] [--workers W] [--keep DIR]

runs a campaign from the command line (`make sweep` runs a long one); the
test suite runs a shorter one through run_campaign().
"""
import argparse
import contextlib
import dataclasses
import fcntl
import io
import json
import os
import random
import selectors
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import numpy as np

import _ondalis as m
import ondalis

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from api_calls import get_commands, records  # noqa: E402

SEED_FRAMES = 300
SAMPLERATE = 8000
READ_BLOCK = 4096
MAX_FRAMES_READ = 1 << 20  # per element type, whatever the header claims
STARTUP_SECONDS = 120  # for a child to import numpy and the module (slow under sanitizers)
DTYPES = (np.float64, np.float32, np.int32, np.int16)


@dataclasses.dataclass
class Seed:
    name: str
    path: str
    open_args: list  # mode, format, channels, samplerate: raw files need them
    metadata: list   # the kinds of metadata the file took


# ---------------------------------------------------------------- seeds

def seed_signal(channels):
    t = np.arange(SEED_FRAMES)
    columns = [0.6 * np.sin(t / (5.0 + 3 * c)) for c in range(channels)]
    return np.stack(columns, axis=1) if channels > 1 else columns[0]


def add_metadata(f, channels):
    """Offers the file every kind of metadata; the format keeps what it takes."""
    r = records()
    attempts = [
        lambda: [f.set_string(n, v) for n, v in
                 (("SF_STR_TITLE", b"sweep title"), ("SF_STR_ARTIST", b"artist"),
                  ("SF_STR_COMMENT", b"c" * 200), ("SF_STR_DATE", b"2024"))],
        lambda: f.command("SFC_SET_CUE", [
            dataclasses.replace(r.cue, indx=i, sample_offset=10 * i, position=10 * i,
                                name=f"cue{i}") for i in range(1, 4)]),
        lambda: f.command("SFC_SET_INSTRUMENT", r.instrument),
        lambda: f.command("SFC_SET_BROADCAST_INFO", dataclasses.replace(
            r.broadcast, coding_history="A=PCM,F=8000,W=16,M=stereo\r\n" * 12)),
        lambda: f.command("SFC_SET_CART_INFO", dataclasses.replace(r.cart, tag_text="tag " * 100)),
        lambda: f.command("SFC_SET_CHANNEL_MAP_INFO", (
            ["SF_CHANNEL_MAP_FRONT_LEFT", "SF_CHANNEL_MAP_FRONT_RIGHT"] if channels == 2
            else ["SF_CHANNEL_MAP_MONO"])),
    ]
    for attempt in attempts:
        try:
            attempt()
        except RuntimeError:
            pass  # the format does not take it


# Each kind of metadata and the query that shows a file holds it.
METADATA_QUERIES = {
    "strings": lambda f: f.get_strings(),
    "cue": lambda f: f.command("SFC_GET_CUE"),
    "instrument": lambda f: f.command("SFC_GET_INSTRUMENT"),
    "broadcast": lambda f: f.command("SFC_GET_BROADCAST_INFO"),
    "cart": lambda f: f.command("SFC_GET_CART_INFO"),
    "channel_map": lambda f: f.command("SFC_GET_CHANNEL_MAP_INFO"),
}


def metadata_held(f):
    held = []
    for kind, query in METADATA_QUERIES.items():
        try:
            if query(f):
                held.append(kind)
        except UnicodeDecodeError:
            # The chunk is there, but libsndfile hands back bytes beyond what
            # it read from the file (a cart tag text of RF64, libsndfile 1.2.0).
            held.append(kind)
    return held


def write_seed(folder, major, encoding):
    """A valid file of major/encoding (stereo, else mono), or None."""
    code = m.construct_format(major, encoding)
    for channels in (2, 1):
        path = os.path.join(folder, f"{major}-{encoding}-{channels}")
        try:
            f = m.Ondalis(path, "w", code, channels, SAMPLERATE)
        except (OSError, ValueError):
            continue
        with f:
            add_metadata(f, channels)
            try:
                f.write_frames(seed_signal(channels))
            except OSError:  # libsndfile offers the encoding but writes nothing
                continue
        open_args = ["r", code, channels, SAMPLERATE] if major == "raw" else ["r"]
        try:
            with m.Ondalis(path, *open_args) as g:
                if g.frames() == 0:
                    continue
                metadata = metadata_held(g)
        except OSError:
            continue
        return Seed(os.path.basename(path), path, open_args, metadata)
    return None


def make_seeds(folder):
    """One valid file per major format and encoding that libsndfile writes."""
    seeds = []
    for major in m.get_sndfile_formats():
        for encoding in m.get_sndfile_encodings(major):
            seed = write_seed(folder, major, encoding)
            if seed is not None:
                seeds.append(seed)
    return seeds


# ------------------------------------------------------------ mutations

def chunks(data):
    """(offset of the size field, its width, byte order) of each chunk of an
    IFF-like file: RIFF/RIFX/RF64, FORM, Sony Wave64 and CAF."""
    found = []
    tag = data[:4]
    if tag in (b"RIFF", b"RIFX", b"RF64", b"FORM"):
        order = "<" if tag in (b"RIFF", b"RF64") else ">"
        found.append((4, 4, order))
        pos = 12
        while pos + 8 <= len(data):
            found.append((pos + 4, 4, order))
            (size,) = struct.unpack_from(order + "I", data, pos + 4)
            pos += 8 + size + (size & 1)
    elif tag == b"riff" and len(data) >= 40:  # Wave64: GUIDs and 64-bit sizes
        found.append((16, 8, "<"))
        pos = 40
        while pos + 24 <= len(data):
            found.append((pos + 16, 8, "<"))
            (size,) = struct.unpack_from("<Q", data, pos + 16)
            if size < 24:
                break
            pos += (size + 7) & ~7
    elif tag == b"caff":
        pos = 8
        while pos + 12 <= len(data):
            found.append((pos + 4, 8, ">"))
            (size,) = struct.unpack_from(">q", data, pos + 4)
            if size < 0:
                break
            pos += 12 + size
    return found


def extremes(width, original, length):
    values = [0, 1, 2, 3, 7, 8, original + 1, max(original - 1, 0), original * 2, length,
              length + 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFF0]
    if width == 8:
        values += [2**32, 2**63 - 1, 2**63, 2**64 - 1]
    return [v % (1 << (8 * width)) for v in values]


def set_field(data, offset, width, order, value):
    code = {2: "H", 4: "I", 8: "Q"}[width]
    struct.pack_into(order + code, data, offset, value)


def header_position(rng, length):
    """A position biased towards the header, where the parsers look."""
    if rng.random() < 0.7:
        return rng.randrange(min(length, 256))
    return rng.randrange(length)


def mutate_sizes(rng, data):
    fields = chunks(bytes(data))
    if fields and rng.random() < 0.8:
        offset, width, order = rng.choice(fields)
        if offset + width <= len(data):
            fmt = order + ("I" if width == 4 else "Q")
            (original,) = struct.unpack_from(fmt, data, offset)
            set_field(data, offset, width, order, rng.choice(extremes(width, original, len(data))))
            return "chunk size"
    # Headers without chunks: a 2-, 4- or 8-byte field near the start.
    width = rng.choice([2, 4, 4, 8])
    offset = rng.randrange(max(1, min(len(data), 128) - width + 1))
    if offset + width <= len(data):
        value = rng.choice(extremes(width, 0, len(data)))
        set_field(data, offset, width, rng.choice("<>"), value % (1 << (8 * width)))
    return "header field"


def mutate_bits(rng, data):
    for _ in range(rng.randint(1, 8)):
        pos = header_position(rng, len(data))
        data[pos] ^= 1 << rng.randrange(8)
    return "bit flips"


def mutate_bytes(rng, data):
    for _ in range(rng.randint(1, 4)):
        data[header_position(rng, len(data))] = rng.choice([0, 0xFF, 0x7F, 0x80, 0x01])
    return "byte stomps"


def mutate_truncate(rng, data):
    cut = rng.choice([0, 1, 4, 8, 12, 20, 44, rng.randrange(len(data)),
                      header_position(rng, len(data)), len(data) - 1])
    del data[min(cut, len(data)):]
    return "truncation"


MUTATORS = (mutate_bits, mutate_bits, mutate_sizes, mutate_sizes, mutate_sizes, mutate_bytes,
            mutate_truncate)


def mutated(seed_bytes, seed_name, index):
    """The index-th mutation of a seed: the same bytes on every run."""
    rng = random.Random(f"{seed_name}:{index}")
    data = bytearray(seed_bytes)
    kinds = []
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        if not data:
            break
        kinds.append(rng.choice(MUTATORS)(rng, data))
    return bytes(data), "+".join(kinds)


# --------------------------------------------------------------- child

def read_everything(f, dtype):
    """All frames from the start, in blocks, in one element type."""
    try:
        f.seek(0)
    except OSError:
        pass
    total = min(max(f.frames(), 0), MAX_FRAMES_READ)
    done = 0
    while done < total:
        n = min(READ_BLOCK, total - done)
        try:
            f.read_frames(n, dtype)
        except RuntimeError:  # a short read: the data end before the header says
            return
        done += n


def exercise(f):
    """Everything a program may ask of an opened file that changes nothing."""
    for query in ("frames", "channels", "samplerate", "format", "seekable", "error", "strError",
                  "major_format_str", "encoding_str", "get_strings", "get_cue_count",
                  "get_cue_mrks", "get_name", "__str__"):
        try:
            getattr(f, query)()
        except (KeyError, RuntimeError, UnicodeError):
            pass
    for dtype in DTYPES:
        read_everything(f, dtype)
    frames = f.frames()
    for offset, whence in ((0, 0), (frames // 2, 0), (-1, 2), (frames + 10, 0), (1, 1)):
        try:
            f.seek(offset, whence)
            f.read_frames(min(16, max(frames, 1)), np.float32, fill_value=0)
        except (OSError, RuntimeError, EOFError, OverflowError):
            pass
    try:
        f.rewind()
    except OSError:
        pass
    for name in get_commands():
        try:
            f.command(name)
        except (RuntimeError, KeyError, UnicodeError, TypeError, OverflowError):
            pass


def read_every_chunk(path):
    """Lists the file's chunks and reads each of them through the streaming
    module; a clear error is fine, a crash or SystemError is ours."""
    from ondalis import _stream
    try:
        with _stream.Stream(path) as f:
            for id in dict.fromkeys(id for id, _ in f.chunks()):
                try:
                    f.chunk_data(id)
                except (OSError, ValueError, TypeError):
                    pass
    except (OSError, ValueError):
        pass


def check_one(path, open_args, by_descriptor):
    """Open one file and exercise it; SystemError means a fault of ours.
    True when libsndfile opened the file."""
    fd = os.open(path, os.O_RDONLY) if by_descriptor else None
    try:
        try:
            f = m.Ondalis(fd if by_descriptor else path, *open_args)
        except (OSError, ValueError, RuntimeError):
            return False
        with f:
            exercise(f)
        read_every_chunk(path)
        return True
    finally:
        if fd is not None:
            os.close(fd)


# What the package's functions may raise for a broken file: OSError when
# libsndfile refuses it, MemoryError or ValueError (numpy's "too big") for a
# length claimed beyond what an array can hold.
BROKEN_FILE_ERRORS = (OSError, MemoryError, ValueError)
BLOCKSIZE, OVERLAP = 128, 16


class Disagreement(Exception):
    """A source that gave another verdict on a file's bytes than its path."""


def headerless(open_args):
    """The package's description of headerless input, from the open arguments."""
    if len(open_args) == 1:
        return {}
    _, code, channels, samplerate = open_args
    return {"major": m.fileformat_id_to_name[code & m.SF_FORMAT_TYPEMASK],
            "encoding": m.encoding_id_to_name[code & m.SF_FORMAT_SUBMASK],
            "channels": channels, "samplerate": samplerate}


class PipeReader:
    """The read end of a real pipe carrying `data`, which cannot seek. Data
    that fit in the pipe are written at once, longer data by a thread."""

    def __init__(self, data):
        read_fd, write_fd = os.pipe()
        self.file = open(read_fd, "rb", buffering=0)
        self.writer = None
        if len(data) <= fcntl.fcntl(write_fd, fcntl.F_GETPIPE_SZ):
            self._write(write_fd, data)
            return
        self.writer = threading.Thread(target=self._write, args=(write_fd, data))
        self.writer.start()

    @staticmethod
    def _write(fd, data):
        with open(fd, "wb", buffering=0) as end:
            try:
                end.write(data)
            except BrokenPipeError:  # the reader stopped early
                pass

    def __enter__(self):
        return self.file

    def __exit__(self, *exc):
        self.file.close()
        if self.writer is not None:
            self.writer.join()


def path_source(path, data):
    return contextlib.nullcontext(path)


def bytesio_source(path, data):
    return contextlib.nullcontext(io.BytesIO(data))


def bytearray_source(path, data):
    return contextlib.nullcontext(bytearray(data))


def reader_source(path, data):
    return open(path, "rb")


def pipe_source(path, data):
    return PipeReader(data)


# Each source the package reads, made anew for every call; the path first,
# as the reference the others are held to.
SOURCES = {"path": path_source, "BytesIO": bytesio_source, "bytearray": bytearray_source,
           "BufferedReader": reader_source, "pipe": pipe_source}


def comparable_info(found):
    fields = dataclasses.asdict(found)
    del fields["path"]  # names the source
    # An empty chunk is listed without its id from memory and file objects:
    # libsndfile divides by the length it reads when it fetches the id
    # through virtual I/O, so the id is not asked for there.
    chunks = [(None if size == 0 else id, size) for id, size in fields["chunks"]]
    # A size field of 0xFFFFFFFF (RF64's marker, or a broken size) makes
    # libsndfile seek by a size from elsewhere (ds64), which a file system may
    # refuse (ext4 past 16 TiB) and memory does not; its parser then lists
    # different chunks after it. Such lists are not held to each other.
    fields["chunks"] = chunks if all(size < 2**32 - 1 for _, size in chunks) else None
    return fields


def read_call(source, described):
    return ondalis.read(source, **described)


def info_call(source, described):
    return comparable_info(ondalis.info(source, **described))


def blocks_call(source, described):
    return list(ondalis.blocks(source, BLOCKSIZE, OVERLAP, dtype="int16", **described))


PACKAGE_CALLS = {"read": read_call, "info": info_call, "blocks": blocks_call}


def verdict(call, make_source, path, data, described):
    """What one call makes of the file: its result, or the type of the
    exception a broken file may raise (any other escapes)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a metadata record info() cannot build
        with make_source(path, data) as source:
            try:
                return call(source, described)
            except BROKEN_FILE_ERRORS as error:
                return error


def same(a, b):
    """Equal results: arrays compared by value (NaN equal to NaN)."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return isinstance(a, BaseException) and isinstance(b, BaseException)
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
                and np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
    if isinstance(a, (list, tuple)) or isinstance(b, (list, tuple)):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same(x, y) for x, y in zip(a, b)))
    if isinstance(a, dict) or isinstance(b, dict):
        return (isinstance(a, dict) and isinstance(b, dict) and a.keys() == b.keys()
                and all(same(a[k], b[k]) for k in a))
    return a == b


def shown(result):
    if isinstance(result, BaseException):
        return repr(result)
    return "data"


def check_sources(path, open_args):
    """The package's read, info and blocks on every source of the file's
    bytes; Disagreement when one gives another verdict than the path."""
    with open(path, "rb") as handle:
        data = handle.read()
    described = headerless(open_args)
    for name, call in PACKAGE_CALLS.items():
        reference = verdict(call, path_source, path, data, described)
        for source, make_source in SOURCES.items():
            if source == "path":
                continue
            found = verdict(call, make_source, path, data, described)
            if not same(reference, found):
                raise Disagreement(f"{name} by path gives {shown(reference)}, "
                                   f"from {source} {shown(found)}")


class TouchedTarget(Exception):
    """A conversion that failed and changed the target it was to replace."""


KEPT = b"an existing target that a failed conversion must leave as it was"


def check_conversion(path, open_args):
    """convert onto an existing file: it succeeds, or it fails leaving that
    file's bytes as they were and nothing new beside it."""
    if len(open_args) != 1:
        return  # headerless: convert reads files with a header
    folder = path + ".convert"
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "kept.wav")
    with open(target, "wb") as handle:
        handle.write(KEPT)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ondalis.convert(path, target, progress=False)
    except BROKEN_FILE_ERRORS as error:
        with open(target, "rb") as handle:
            kept = handle.read() == KEPT
        if not kept or os.listdir(folder) != ["kept.wav"]:
            raise TouchedTarget(f"a failed convert ({error!r}) touched its target") from None
    finally:
        shutil.rmtree(folder)


def planted_faults():
    """{job index: fault} from ONDALIS_SWEEP_FAULTS ("crash:3,hang:5,exit:7"),
    with which the sweep's own test checks that every failure is caught."""
    text = os.environ.get("ONDALIS_SWEEP_FAULTS", "")
    return {int(i): kind for kind, i in (item.split(":") for item in text.split(",") if item)}


def commit_fault(kind):
    if kind == "crash":  # as an assertion failure in C code does (SIGSEGV would be
        os.kill(os.getpid(), signal.SIGABRT)  # reported by the sanitizers as a fault)
    if kind == "hang":
        time.sleep(3600)
    if kind == "exit":
        os._exit(3)
    if kind == "systemerror":
        raise SystemError("planted")


def child(jobfile, start, end):
    faults = planted_faults()
    with open(jobfile) as handle:
        plan = json.load(handle)
    seeds = {name: (path, args, open(path, "rb").read()) for name, (path, args) in
             plan["seeds"].items()}
    scratch = os.path.join(plan["scratch"], f"child-{os.getpid()}")
    out = sys.stdout
    opened = 0
    for i in range(start, end):
        seed_name, index = plan["jobs"][i]
        path, open_args, seed_bytes = seeds[seed_name]
        data, _ = mutated(seed_bytes, seed_name, index)
        with open(scratch, "wb") as handle:
            handle.write(data)
        out.write(f"S {i}\n")
        out.flush()
        try:
            if i in faults:
                commit_fault(faults[i])
            opened += check_one(scratch, open_args, by_descriptor=index % 2 == 1)
            check_sources(scratch, open_args)
            check_conversion(scratch, open_args)
        except (SystemError, Disagreement, TouchedTarget) as exc:
            out.write(f"F {i} {exc!r}\n".replace("\n", " ").rstrip() + "\n")
        except Exception as exc:  # any other escape is a fault of the module too
            out.write(f"F {i} unexpected {exc!r}\n".replace("\n", " ").rstrip() + "\n")
    out.write(f"E {opened}\n")
    out.flush()
    os.unlink(scratch) if os.path.exists(scratch) else None


# -------------------------------------------------------------- parent

@dataclasses.dataclass
class Failure:
    seed: str
    index: int
    kind: str
    mutation: str
    saved: str


def run_shard(plan_path, jobs, first, last, timeout, failures, lock, logdir, opened):
    """Children over jobs[first:last]; each failure is recorded and skipped."""
    position = first
    while position < last:
        with open(os.path.join(logdir, f"stderr-{first}-{position}"), "wb") as err:
            proc = subprocess.Popen([sys.executable, __file__, "--child", plan_path,
                                     str(position), str(last)], stdout=subprocess.PIPE,
                                    stderr=err, stdin=subprocess.DEVNULL)
        current, finished, kind = None, False, None
        selector = selectors.DefaultSelector()
        selector.register(proc.stdout, selectors.EVENT_READ)
        buffer = b""
        deadline = time.monotonic() + max(timeout, STARTUP_SECONDS)
        while not finished:
            events = selector.select(max(0.0, deadline - time.monotonic()))
            if not events:
                kind = f"hang (no progress in {timeout:.0f} s)"
                proc.kill()
                break
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            buffer += chunk
            *lines, buffer = buffer.split(b"\n")
            for line in lines:
                text = line.decode(errors="replace")
                if text.startswith("S "):
                    current = int(text.split()[1])
                    deadline = time.monotonic() + timeout
                elif text.startswith("F "):
                    _, index, message = text.split(" ", 2)
                    with lock:
                        failures.append((int(index), message))
                elif text.startswith("E "):
                    finished = True
                    with lock:
                        opened.append(int(text.split()[1]))
        proc.wait()
        selector.close()
        proc.stdout.close()
        if finished and proc.returncode == 0:
            return
        if finished:  # every file done, but the child failed on its way out
            kind = f"exit status {proc.returncode} after the last file"
        if kind is None:
            code = proc.returncode
            kind = f"killed by signal {-code}" if code < 0 else f"exit status {code}"
        failed = current if current is not None else position
        with lock:
            failures.append((failed, kind))
        position = failed + 1


def plan_jobs(seeds, per_seed, stride):
    """(seed name, mutation index) pairs; every stride-th one is kept."""
    jobs = [(seed.name, i) for seed in seeds for i in range(per_seed)]
    return jobs[::stride]


def run_campaign(folder, per_seed, stride=1, workers=2, timeout=30.0, keep=None, seeds=None):
    """Runs the sweep; returns (seeds, number of files, failures, number of
    files that libsndfile opened)."""
    seed_dir = os.path.join(folder, "seeds")
    os.makedirs(seed_dir, exist_ok=True)
    seeds = seeds if seeds is not None else make_seeds(seed_dir)
    jobs = plan_jobs(seeds, per_seed, stride)
    plan = {"seeds": {s.name: (s.path, s.open_args) for s in seeds}, "jobs": jobs,
            "scratch": folder}
    plan_path = os.path.join(folder, "plan.json")
    with open(plan_path, "w") as handle:
        json.dump(plan, handle)
    logdir = os.path.join(folder, "children")
    os.makedirs(logdir, exist_ok=True)
    found, opened, lock = [], [], threading.Lock()
    bounds = np.linspace(0, len(jobs), workers + 1).astype(int)
    threads = [threading.Thread(target=run_shard, args=(plan_path, jobs, int(a), int(b),
                                                         timeout, found, lock, logdir, opened))
               for a, b in zip(bounds[:-1], bounds[1:]) if b > a]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    by_name = {s.name: s for s in seeds}
    failures = []
    keep = keep or os.path.join(folder, "failures")
    for index, kind in sorted(found):
        seed_name, mutation = jobs[index]
        seed = by_name[seed_name]
        with open(seed.path, "rb") as handle:
            data, description = mutated(handle.read(), seed_name, mutation)
        os.makedirs(keep, exist_ok=True)
        saved = os.path.join(keep, f"{seed_name}.{mutation}")
        with open(saved, "wb") as handle:
            handle.write(data)
        failures.append(Failure(seed_name, mutation, kind, description, saved))
    return seeds, len(jobs), failures, sum(opened)


def main(argv):
    if argv[:1] == ["--child"]:
        child(argv[1], int(argv[2]), int(argv[3]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--per-seed", type=int, default=500)
    parser.add_argument("--stride", type=int, default=1)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--keep", default="sweep-failures")
    options = parser.parse_args(argv)
    folder = tempfile.mkdtemp(prefix="ondalis-sweep-")
    try:
        start = time.monotonic()
        seeds, count, failures, opened = run_campaign(folder, options.per_seed, options.stride,
                                              options.workers, options.timeout,
                                              os.path.abspath(options.keep))
        print(f"sweep: {len(seeds)} seed files, {count} mutated files ({opened} opened by "
              f"libsndfile), {len(failures)} failures, {time.monotonic() - start:.0f} s")
        for failure in failures:
            print(f"  {failure.seed} #{failure.index} ({failure.mutation}): {failure.kind} "
                  f"-> {failure.saved}")
        return 1 if failures else 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
