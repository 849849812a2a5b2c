"""The benchmark: every workload through libsndfile directly (the floor),
through ondalis and through the soundfile package, in one run.

    python run.py [--rounds N] [--repeats N] [--only W1,W3,...]

Each (workload, side, round) runs in a fresh process that does one untimed
warm-up and then REPEATS timed runs; the order of the three sides rotates
from round to round. The table shows the median of all timed runs per side
and the ratios ondalis/floor and soundfile/ondalis. Only ratios from one run
mean anything on a shared machine.
"""
import argparse
import os
import statistics
import subprocess
import sys
import wave

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
FLOOR = os.path.join(HERE, "bin", "floor")
RATE = 44100
SEED = 20261210

WORKLOADS = {
    "W1": "read 60 s stereo PCM16 WAV whole as float64",
    "W2": "read 60 s stereo PCM16 WAV whole as int16",
    "W3": "read the same file in 512-frame float32 blocks",
    "W4": "read 60 s stereo 16-bit FLAC whole as float32",
    "W5": "open, read, close 2000 mono 0.1 s WAV files",
    "W6": "write 60 s stereo float64 to PCM16 WAV in one call",
    "W6s": "W6 with a sync to disk before close",
    "W7": "write the same in 512-frame blocks",
    "W7s": "W7 with a sync to disk before close",
    "W8": "1000 random seeks, each followed by a 256-frame read",
}
SIDES = ("floor", "ondalis", "soundfile")


def write_wav(path, frames):
    with wave.open(path, "wb") as w:
        w.setnchannels(frames.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames.astype("<i2").tobytes())


def generate():
    """The input files, made once with a fixed seed."""
    marker = os.path.join(DATA, f"seed-{SEED}")
    if os.path.exists(marker):
        return
    os.makedirs(os.path.join(DATA, "small"), exist_ok=True)
    rng = np.random.default_rng(SEED)
    t = np.arange(60 * RATE) / RATE
    tone = np.stack([np.sin(2 * np.pi * 440 * t), np.sin(2 * np.pi * 550 * t)], 1)
    frames = (tone * 12000 + rng.normal(0, 2000, tone.shape)).clip(-32768, 32767)
    write_wav(os.path.join(DATA, "long.wav"), frames)
    subprocess.run(["sox", os.path.join(DATA, "long.wav"), "-b", "16",
                    os.path.join(DATA, "long.flac")], check=True)
    names = []
    for i in range(2000):
        name = f"s{i:04d}.wav"
        write_wav(os.path.join(DATA, "small", name),
                  rng.integers(-20000, 20000, (RATE // 10, 1)))
        names.append(name)
    with open(os.path.join(DATA, "small", "list.txt"), "w") as listing:
        listing.write("\n".join(names) + "\n")
    positions = rng.integers(0, 60 * RATE - 256, 1000)
    with open(os.path.join(DATA, "seeks.txt"), "w") as listing:
        listing.write("\n".join(str(p) for p in positions) + "\n")
    open(marker, "w").close()


def command(side, *args):
    if side == "floor":
        return [FLOOR, *args]
    return [sys.executable, os.path.join(HERE, "side.py"), side, *args]


# numpy's BLAS threads play no part in these workloads; on a small shared
# machine their start-up only adds noise, so every Python side runs without.
ENV = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")


def run_side(side, workload, repeats):
    out = subprocess.run(command(side, workload, DATA, str(repeats)), check=True,
                         capture_output=True, text=True, env=ENV).stdout
    return [float(line) for line in out.split()]


def versions():
    found = {side: subprocess.run(command(side, "version"), check=True, capture_output=True,
                                  text=True, env=ENV).stdout.strip() for side in SIDES}
    for side in SIDES:
        print(f"{side:>10}: {found[side]}")
    if len(set(found.values())) != 1:
        sys.exit("the sides load different libsndfile versions; the comparison would not be fair")


def fmt_time(seconds):
    return f"{seconds * 1e3:10.3f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", default=",".join(WORKLOADS))
    args = parser.parse_args()
    generate()
    versions()
    chosen = args.only.split(",")
    medians = {}
    for workload in chosen:
        times = {side: [] for side in SIDES}
        for r in range(args.rounds):
            order = SIDES[r % 3:] + SIDES[:r % 3]
            for side in order:
                times[side] += run_side(side, workload, args.repeats)
        medians[workload] = {side: statistics.median(times[side]) for side in SIDES}
        m = medians[workload]
        print(f"{workload:4} done: floor {m['floor'] * 1e3:.3f} ms, ondalis {m['ondalis'] * 1e3:.3f} ms, "
              f"soundfile {m['soundfile'] * 1e3:.3f} ms", file=sys.stderr)
    print()
    print("| workload | floor ms | ondalis ms | soundfile ms | ondalis/floor | soundfile/ondalis |")
    print("|---|---:|---:|---:|---:|---:|")
    for workload in chosen:
        m = medians[workload]
        print(f"| {workload} | {fmt_time(m['floor'])} | {fmt_time(m['ondalis'])} | "
              f"{fmt_time(m['soundfile'])} | {m['ondalis'] / m['floor']:.3f} | "
              f"{m['soundfile'] / m['ondalis']:.3f} |")
    print()
    for workload in chosen:
        print(f"{workload}: {WORKLOADS[workload]}")


if __name__ == "__main__":
    main()
