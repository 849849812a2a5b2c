"""One side of the benchmark in a fresh process: the workloads through ondalis,
the soundfile package, pedalboard or scipy.io.wavfile.

    python side.py SIDE version
    python side.py SIDE WORKLOAD DATADIR REPEATS

prints one elapsed time (seconds) per repeat, after one untimed warm-up run,
or the single word `unsupported` when the side cannot do the workload.
The soundfile package is made to load the system's libsndfile (the one
ondalis and the floor use) instead of the copy bundled in its wheel.

Every side delivers the same thing: (frames, channels) samples of the asked
element type, full scale at 1.0 for floating types. pedalboard reads only
float32 (as (channels, frames)) and scipy.io.wavfile only the file's own
integers; where they lack the asked type, the one numpy conversion a caller
would write is part of their time (CONVERTED lists those workloads).
"""
import io
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

BLOCK = 512
SEEK_READ = 256
RATE = 44100
INT16_SCALE = 1.0 / 32768.0  # libsndfile's PCM16 -> floating full scale

# Which peer converts after reading, per workload (for the table's marks).
CONVERTED = {
    "pedalboard": ("W1", "W5", "W8", "H1", "H4", "H7", "H7v"),
    "scipy": ("W1", "W5", "W6", "W6s", "H1", "H4", "H7"),
}


def signal():
    """The same signal the floor writes: a stereo sine pair within +-1."""
    t = np.arange(60 * RATE) / RATE
    return np.ascontiguousarray(
        np.stack([0.5 * np.sin(2 * np.pi * 440.0 * t), 0.5 * np.sin(2 * np.pi * 660.0 * t)], 1))


def listed(datadir, name):
    with open(os.path.join(datadir, name, "list.txt")) as listing:
        return [os.path.join(datadir, name, entry) for entry in listing.read().split()]


def seek_positions(datadir):
    with open(os.path.join(datadir, "seeks.txt")) as listing:
        return [int(p) for p in listing.read().split()]


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def sync_file(path):
    """What a sync before close does, for a library that closes without one."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def pooled(read_one, threads):
    """Reads every path of a list on a pool of `threads` threads, started once
    (the warm-up starts them). Each task drops its array when done, as the
    floor frees each buffer: keeping all 16 alive would make every run fault
    in 113 MB of fresh pages."""
    pool = ThreadPoolExecutor(max_workers=threads)

    def task(path):
        read_one(path)

    return lambda paths: list(pool.map(task, paths))


def high_level(library):
    """The one-call operations of a library whose read(source, dtype=...) and
    blocks(source, blocksize, dtype=..., out=...) take the same arguments
    (ondalis and soundfile)."""
    read, blocks = library.read, library.blocks
    names = {kind: np.dtype(kind).name for kind in (np.float64, np.float32, np.int16)}

    def read_many(paths):
        for path in paths:
            read(path)

    def read_blocks(path):
        for _ in blocks(path, BLOCK, dtype="float32"):
            pass

    def read_blocks_out(path, out):
        for _ in blocks(path, out=out):
            pass

    return {
        "read": lambda path, dtype: read(path, dtype=names[dtype]),
        "read_many": read_many, "read_blocks": read_blocks, "read_blocks_out": read_blocks_out,
        "read_memory": lambda data: read(io.BytesIO(data)),
        "pool": lambda threads: pooled(lambda path: read(path, dtype="float32"), threads),
    }


def ondalis_side():
    import ondalis
    from ondalis import Ondalis

    version = "libsndfile-%d.%d.%d" % ondalis.get_sndfile_version()[:3]
    wav_format = ondalis.construct_format("wav", "pcm16")

    def whole(path, dtype):
        f = Ondalis(path)
        f.read_frames(-1, dtype)
        f.close()

    def blocks(path):
        f = Ondalis(path)
        left = f.frames()
        read = f.read_frames
        while left > 0:
            n = BLOCK if left > BLOCK else left
            read(n, np.float32)
            left -= n
        f.close()

    def many(paths):
        for path in paths:
            f = Ondalis(path)
            f.read_frames()
            f.close()

    def write(path, data, block, sync):
        f = Ondalis(path, "w", wav_format, 2, RATE)
        write_frames = f.write_frames
        for start in range(0, len(data), block):
            write_frames(data[start:start + block])
        if sync:
            f.writeSync()
        f.close()

    def seeks(path, positions):
        f = Ondalis(path)
        seek, read = f.seek, f.read_frames
        for p in positions:
            seek(p)
            read(SEEK_READ)
        f.close()

    return version, {"whole": whole, "blocks": blocks, "many": many, "write": write,
                     "seeks": seeks, "read_view": lambda data: ondalis.read(memoryview(data)),
                     **high_level(ondalis)}


def soundfile_side():
    sys.modules["_soundfile_data"] = None  # use the system's libsndfile
    import soundfile as sf

    version = sf.__libsndfile_version__
    version = version if version.startswith("libsndfile") else "libsndfile-" + version

    def whole(path, dtype):
        sf.read(path, dtype=np.dtype(dtype).name)

    def blocks(path):
        with sf.SoundFile(path) as f:
            left = f.frames
            read = f.read
            while left > 0:
                n = BLOCK if left > BLOCK else left
                read(n, dtype="float32")
                left -= n

    def many(paths):
        for path in paths:
            sf.read(path)

    def write(path, data, block, sync):
        # close() syncs to disk whatever `sync` says: that is soundfile's own behaviour.
        with sf.SoundFile(path, "w", RATE, 2, "PCM_16", format="WAV") as f:
            write_frames = f.write
            for start in range(0, len(data), block):
                write_frames(data[start:start + block])

    def seeks(path, positions):
        with sf.SoundFile(path) as f:
            seek, read = f.seek, f.read
            for p in positions:
                seek(p)
                read(SEEK_READ)

    return version, {"whole": whole, "blocks": blocks, "many": many, "write": write,
                     "seeks": seeks, **high_level(sf)}


def pedalboard_side():
    import pedalboard
    from pedalboard.io import AudioFile

    def as_frames(samples, dtype):
        """(channels, frames) float32 as (frames, channels) of `dtype`."""
        return samples.T if samples.dtype == dtype else samples.T.astype(dtype)

    def whole(source, dtype):
        with AudioFile(source) as f:
            if dtype is np.int16:
                return as_frames(f.read_raw(f.frames), dtype)
            return as_frames(f.read(f.frames), dtype)

    def blocks(path):
        with AudioFile(path) as f:
            left = f.frames
            read = f.read
            while left > 0:
                n = BLOCK if left > BLOCK else left
                read(n)
                left -= n

    def many(paths):
        for path in paths:
            whole(path, np.float64)

    def write(path, data, block, sync):
        with AudioFile(path, "w", RATE, 2, bit_depth=16) as f:
            write_frames = f.write
            for start in range(0, len(data), block):
                write_frames(data[start:start + block])
        if sync:
            sync_file(path)

    def seeks(path, positions):
        with AudioFile(path) as f:
            seek, read = f.seek, f.read
            for p in positions:
                seek(p)
                read(SEEK_READ).T.astype(np.float64)

    return "pedalboard " + pedalboard.__version__, {
        "whole": whole, "blocks": blocks, "many": many, "write": write, "seeks": seeks,
        "read": whole, "read_many": many, "read_blocks": blocks,
        "read_memory": lambda data: whole(io.BytesIO(data), np.float64),
        "read_view": lambda data: whole(memoryview(data), np.float64),
        "pool": lambda threads: pooled(lambda path: whole(path, np.float32), threads),
    }


def scipy_side():
    import scipy
    from scipy.io import wavfile

    def whole(source, dtype):
        if str(source).endswith(".flac"):
            raise NotImplementedError
        samples = wavfile.read(source)[1]
        return samples if dtype is np.int16 else samples * INT16_SCALE

    def many(paths):
        for path in paths:
            whole(path, np.float64)

    def write(path, data, block, sync):
        if block != len(data):
            raise NotImplementedError  # wavfile writes whole arrays only
        wavfile.write(path, RATE, (np.clip(data, -1.0, 1.0) * 32767.0).astype(np.int16))
        if sync:
            sync_file(path)

    return "scipy " + scipy.__version__, {
        "whole": whole, "many": many, "write": write, "read": whole, "read_many": many,
        "read_memory": lambda data: whole(io.BytesIO(data), np.float64),
    }


SIDES = {"ondalis": ondalis_side, "soundfile": soundfile_side,
         "pedalboard": pedalboard_side, "scipy": scipy_side}


def workload(ops, name, datadir, side):
    """The work of `name` as a function of no arguments; KeyError when the
    side has no operation for it."""
    long_wav = os.path.join(datadir, "long.wav")
    long_flac = os.path.join(datadir, "long.flac")
    out = os.path.join(datadir, f"out_{side}.wav")
    kind = name[0]
    if name[:2] in ("W6", "W7"):
        write, data = ops["write"], signal()
        block = BLOCK if name[:2] == "W7" else len(data)
        sync = name.endswith("s")
        return lambda: write(out, data, block, sync)
    if name in ("W1", "W2", "W4", "H1", "H2", "H3"):
        read = ops["whole" if kind == "W" else "read"]
        path = long_flac if name in ("W4", "H3") else long_wav
        dtype = np.int16 if name in ("W2", "H2") else np.float32 if path == long_flac else np.float64
        return lambda: read(path, dtype)
    if name in ("W5", "H4"):
        many, paths = ops["many" if kind == "W" else "read_many"], listed(datadir, "small")
        return lambda: many(paths)
    if name in ("W3", "H5"):
        blocks = ops["blocks" if kind == "W" else "read_blocks"]
        return lambda: blocks(long_wav)
    if name == "H6":
        read_blocks_out, block = ops["read_blocks_out"], np.empty((BLOCK, 2), np.float32)
        return lambda: read_blocks_out(long_wav, block)
    if name == "W8":
        seeks, positions = ops["seeks"], seek_positions(datadir)
        return lambda: seeks(long_wav, positions)
    if name in ("H7", "H7v"):
        read_memory, data = ops["read_memory" if name == "H7" else "read_view"], file_bytes(long_wav)
        return lambda: read_memory(data)
    if name in ("H8t1", "H8t2"):
        read_all, paths = ops["pool"](int(name[-1])), listed(datadir, "pool")
        return lambda: read_all(paths)
    raise SystemExit(f"side.py: unknown workload {name}")


def main(argv):
    side = argv[0]
    version, ops = SIDES[side]()
    if argv[1] == "version":
        print(version)
        return 0
    name, datadir, repeats = argv[1], argv[2], int(argv[3])
    try:
        work = workload(ops, name, datadir, side)
        work()  # warm-up
    except (KeyError, NotImplementedError):
        print("unsupported")
        return 0
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        print(f"{time.perf_counter() - start:.9f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
