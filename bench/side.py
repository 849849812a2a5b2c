"""One side of the benchmark in a fresh process: the workloads through ondalis
or through the soundfile package.

    python side.py SIDE version
    python side.py SIDE WORKLOAD DATADIR REPEATS

prints one elapsed time (seconds) per repeat, after one untimed warm-up run.
The soundfile package is made to load the system's libsndfile (the one
ondalis and the floor use) instead of the copy bundled in its wheel.
"""
import os
import sys
import time

import numpy as np

BLOCK = 512
SEEK_READ = 256
RATE = 44100


def signal():
    """The same signal the floor writes: a stereo sine pair within +-1."""
    t = np.arange(60 * RATE) / RATE
    return np.ascontiguousarray(
        np.stack([0.5 * np.sin(2 * np.pi * 440.0 * t), 0.5 * np.sin(2 * np.pi * 660.0 * t)], 1))


def small_files(datadir):
    with open(os.path.join(datadir, "small", "list.txt")) as listing:
        return [os.path.join(datadir, "small", name) for name in listing.read().split()]


def seek_positions(datadir):
    with open(os.path.join(datadir, "seeks.txt")) as listing:
        return [int(p) for p in listing.read().split()]


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

    return version, whole, blocks, many, write, seeks


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

    return version, whole, blocks, many, write, seeks


def main(argv):
    side = argv[0]
    version, whole, blocks, many, write, seeks = (
        ondalis_side() if side == "ondalis" else soundfile_side())
    if argv[1] == "version":
        print(version)
        return 0
    workload, datadir, repeats = argv[1], argv[2], int(argv[3])
    long_wav = os.path.join(datadir, "long.wav")
    out = os.path.join(datadir, f"out_{side}.wav")
    data = signal() if workload[:2] in ("W6", "W7") else None
    work = {
        "W1": lambda: whole(long_wav, np.float64),
        "W2": lambda: whole(long_wav, np.int16),
        "W3": lambda: blocks(long_wav),
        "W4": lambda: whole(os.path.join(datadir, "long.flac"), np.float32),
        "W5": (lambda paths: lambda: many(paths))(small_files(datadir)),
        "W6": lambda: write(out, data, len(data), False),
        "W6s": lambda: write(out, data, len(data), True),
        "W7": lambda: write(out, data, BLOCK, False),
        "W7s": lambda: write(out, data, BLOCK, True),
        "W8": (lambda positions: lambda: seeks(long_wav, positions))(seek_positions(datadir)),
    }[workload]
    work()  # warm-up
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        print(f"{time.perf_counter() - start:.9f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
