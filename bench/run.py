"""The benchmark: every workload through libsndfile directly (the floor),
through ondalis, through the soundfile package and through two peers with
decoders of their own (pedalboard, scipy.io.wavfile), in one run.

    python run.py [--rounds N] [--repeats N] [--only W1,W3,A1,...]

Each (workload, side, round) runs in a fresh process that does one untimed
warm-up and then REPEATS timed runs; the order of the sides rotates from
round to round. The table shows the median of all timed runs per side and
each side's time against ondalis; the figures the project aims at follow.
The archive workloads (A1-A3) time the command line itself, one fresh
process per run, against `flac -t` where it is installed.
Only ratios from one run mean anything on a shared machine.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
FLOOR = os.path.join(HERE, "bin", "floor")
RATE = 44100
SEED = 20261210
POOL_FILES = 16
POOL_SECONDS = 20

sys.path.insert(0, HERE)
from side import CONVERTED  # noqa: E402

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
    "H1": "W1 through ondalis.read",
    "H2": "W2 through ondalis.read",
    "H3": "W4 through ondalis.read",
    "H4": "W5 through ondalis.read(path)",
    "H5": "W3 through ondalis.blocks(path, 512), a new array per block",
    "H6": "H5 with out= (one preallocated array)",
    "H7": "the 60 s WAV read from an io.BytesIO (bytes loaded before timing) as float64",
    "H7v": "H7 from a memoryview of the same bytes (no io.BytesIO)",
    "H8t1": "16 FLAC files of 20 s read whole as float32 by ondalis.read on 1 thread",
    "H8t2": "the same on a pool of 2 threads (the floor: 2 C threads)",
}
# The command line on archives: each run is one fresh `ondalis` process, as
# a user starts it, at --jobs 1 and --jobs 2; `flac -t` (where installed)
# tests the same FLAC files: it decodes them and compares each MD5 signature.
ARCHIVE_WORKLOADS = {
    "A1": "ondalis check on the 16 FLAC files of 20 s (decode, MD5 against STREAMINFO)",
    "A2": "ondalis info -r --jsonl on 3,000 small WAVs in 30 folders",
    "A3": "ondalis check -r --jsonl on the same 3,000 small WAVs",
}
MANY_FOLDERS = 30
MANY_PER_FOLDER = 100
SIDES = ("floor", "ondalis", "soundfile", "pedalboard", "scipy")
# The sides that must load one and the same libsndfile.
LIBSNDFILE_SIDES = ("floor", "ondalis", "soundfile")


# The figures the project has committed to: (what, workload, numerator side,
# denominator side, bound, "<=" or ">="); a workload name in the denominator
# place compares one side across two workloads.
TARGETS = [
    ("speed-up 1 -> 2 threads", "H8t1", "ondalis", "H8t2", 1.8, ">="),
    ("2 threads against 2 C threads", "H8t2", "ondalis", "floor", 1.1, "<="),
    ("soundfile on 2 threads against ondalis", "H8t2", "soundfile", "ondalis", 1.0, ">"),
    ("io.BytesIO against sf_open_virtual", "H7", "ondalis", "floor", 1.1, "<="),
    ("soundfile on the same io.BytesIO", "H7", "soundfile", "ondalis", 1.4, ">="),
    ("2000 tiny WAVs", "H4", "ondalis", "floor", 1.15, "<="),
    ("blocks, per block", "H5", "ondalis", "floor", 1.3, "<="),
    ("blocks with out=, per block", "H6", "ondalis", "floor", 1.15, "<="),
    ("WAV whole as float64", "H1", "ondalis", "floor", 1.05, "<="),
    ("WAV whole as int16", "H2", "ondalis", "floor", 1.05, "<="),
    ("FLAC whole as float32", "H3", "ondalis", "floor", 1.05, "<="),
]


def write_wav(path, frames):
    with wave.open(path, "wb") as w:
        w.setnchannels(frames.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames.astype("<i2").tobytes())


def tone_and_noise(rng, seconds, first, second):
    """A stereo sine pair with noise, as PCM16 sample values."""
    t = np.arange(seconds * RATE) / RATE
    tone = np.stack([np.sin(2 * np.pi * first * t), np.sin(2 * np.pi * second * t)], 1)
    return (tone * 12000 + rng.normal(0, 2000, tone.shape)).clip(-32768, 32767)


def to_flac(wav, flac):
    subprocess.run(["sox", wav, "-b", "16", flac], check=True)


def generate_main():
    """The long files, the tiny files and the seek positions."""
    os.makedirs(os.path.join(DATA, "small"), exist_ok=True)
    rng = np.random.default_rng(SEED)
    write_wav(os.path.join(DATA, "long.wav"), tone_and_noise(rng, 60, 440, 550))
    to_flac(os.path.join(DATA, "long.wav"), os.path.join(DATA, "long.flac"))
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


def generate_pool():
    """The thread pool's FLAC files, each made by sox from a WAV of its own."""
    folder = os.path.join(DATA, "pool")
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng([SEED, 1])
    names = []
    with tempfile.TemporaryDirectory() as scratch:
        for i in range(POOL_FILES):
            wav = os.path.join(scratch, "source.wav")
            write_wav(wav, tone_and_noise(rng, POOL_SECONDS, 220 + 20 * i, 330 + 20 * i))
            names.append(f"p{i:02d}.flac")
            to_flac(wav, os.path.join(folder, names[-1]))
    with open(os.path.join(folder, "list.txt"), "w") as listing:
        listing.write("\n".join(names) + "\n")


def generate_many():
    """3,000 small WAVs (a tenth of a second, mono), in 30 folders."""
    rng = np.random.default_rng([SEED, 2])
    for folder in range(MANY_FOLDERS):
        path = os.path.join(DATA, "many", f"d{folder:02d}")
        os.makedirs(path, exist_ok=True)
        for n in range(MANY_PER_FOLDER):
            write_wav(os.path.join(path, f"t{n:03d}.wav"),
                      rng.integers(-20000, 20000, (RATE // 10, 1)))


def generate():
    """The input files, each set made once with the fixed seed."""
    for name, make in (("main", generate_main), ("pool", generate_pool),
                       ("many", generate_many)):
        marker = os.path.join(DATA, f"seed-{SEED}-{name}")
        if not os.path.exists(marker):
            make()
            open(marker, "w").close()


def command(side, *args):
    if side == "floor":
        return [FLOOR, *args]
    return [sys.executable, os.path.join(HERE, "side.py"), side, *args]


# numpy's BLAS threads play no part in these workloads; on a small shared
# machine their start-up only adds noise, so every Python side runs without.
ENV = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")


def run_side(side, workload, repeats):
    """The side's timed runs, or None when it cannot do the workload."""
    out = subprocess.run(command(side, workload, DATA, str(repeats)), check=True,
                         capture_output=True, text=True, env=ENV).stdout
    if out.strip() == "unsupported":
        return None
    return [float(line) for line in out.split()]


def versions():
    found = {side: subprocess.run(command(side, "version"), check=True, capture_output=True,
                                  text=True, env=ENV).stdout.strip() for side in SIDES}
    for side in SIDES:
        print(f"{side:>10}: {found[side]}")
    if len({found[side] for side in LIBSNDFILE_SIDES}) != 1:
        sys.exit("the sides load different libsndfile versions; the comparison would not be fair")


def measure(workload, rounds, repeats):
    """{side: [the median of each round]} and {side: median of all runs}
    (None for a side that cannot do the workload)."""
    runs = {side: [] for side in SIDES}
    by_round = {side: [] for side in SIDES}
    for r in range(rounds):
        turn = r % len(SIDES)
        for side in SIDES[turn:] + SIDES[:turn]:
            if runs[side] is None:
                continue
            times = run_side(side, workload, repeats)
            if times is None:
                runs[side] = by_round[side] = None
                continue
            runs[side] += times
            by_round[side].append(statistics.median(times))
    medians = {side: None if runs[side] is None else statistics.median(runs[side])
               for side in SIDES}
    return by_round, medians


def cell_time(workload, side, seconds):
    if seconds is None:
        return "—"
    mark = "†" if workload in CONVERTED.get(side, ()) else ""
    return f"{seconds * 1e3:.3f}{mark}"


def cell_ratio(a, b):
    return "—" if a is None or b is None else f"{a / b:.3f}"


def round_spread(by_round):
    """The lowest and highest ondalis/floor ratio of the rounds."""
    ratios = [o / f for o, f in zip(by_round["ondalis"], by_round["floor"])]
    return f"{min(ratios):.3f}–{max(ratios):.3f}"


def print_table(chosen, medians, by_round):
    peers = [side for side in SIDES if side not in ("floor", "ondalis")]
    print("| workload | " + " | ".join(f"{side} ms" for side in SIDES) + " | ondalis/floor | "
          + " | ".join(f"{side}/ondalis" for side in peers) + " | ondalis/floor by round |")
    print("|---|" + "---:|" * (2 * len(SIDES)))
    for workload in chosen:
        m = medians[workload]
        cells = [cell_time(workload, side, m[side]) for side in SIDES]
        cells.append(cell_ratio(m["ondalis"], m["floor"]))
        cells += [cell_ratio(m[side], m["ondalis"]) for side in peers]
        cells.append(round_spread(by_round[workload]))
        print(f"| {workload} | " + " | ".join(cells) + " |")
    print()
    print("† includes the numpy conversion to the asked element type (pedalboard reads float32 "
          "only, scipy.io.wavfile the file's integers); — the side cannot do the workload.")


def target_value(medians, workload, side, versus):
    """The measured figure of a target, or None when its workloads did not run."""
    if versus in WORKLOADS:
        if workload not in medians or versus not in medians:
            return None
        return medians[workload][side] / medians[versus][side]
    if workload not in medians:
        return None
    return medians[workload][side] / medians[workload][versus]


def print_targets(medians):
    met_by = {"<=": lambda v, b: v <= b, ">=": lambda v, b: v >= b, ">": lambda v, b: v > b}
    print("| figure | measured | target | |")
    print("|---|---:|---:|---|")
    for what, workload, side, versus, bound, relation in TARGETS:
        value = target_value(medians, workload, side, versus)
        if value is None:
            continue
        pair = f"{workload}/{versus}" if versus in WORKLOADS else f"{workload} {side}/{versus}"
        verdict = "met" if met_by[relation](value, bound) else "missed"
        print(f"| {what} ({pair}) | {value:.3f} | {relation} {bound} | {verdict} |")
    if "H8t1" in medians and "H8t2" in medians:
        # What the machine let any side gain from the second thread during the run.
        gains = ", ".join(f"{side} {cell_ratio(medians['H8t1'][side], medians['H8t2'][side])}"
                          for side in SIDES if medians["H8t1"][side] is not None)
        print(f"\nspeed-up 1 -> 2 threads by side: {gains}")


def archive_command(workload, jobs):
    """The ondalis command line of an archive workload."""
    ondalis = [sys.executable, "-m", "ondalis"]
    if workload == "A1":
        return [*ondalis, "check", "--jobs", str(jobs), *listed_pool()]
    command = "info" if workload == "A2" else "check"
    return [*ondalis, command, "-r", "--jsonl", "--jobs", str(jobs), os.path.join(DATA, "many")]


def listed_pool():
    folder = os.path.join(DATA, "pool")
    with open(os.path.join(folder, "list.txt")) as listing:
        return [os.path.join(folder, name) for name in listing.read().split()]


def timed_run(argv):
    """Seconds one run of a program takes, its output (and the closing count on
    stderr) thrown away; it must succeed."""
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=ENV,
                   cwd=HERE)
    return time.perf_counter() - start


def measure_archive(workload, rounds, repeats):
    """{"jobs 1": seconds, "jobs 2": seconds, "flac -t": seconds or None}:
    the median of rounds x repeats runs, the three in turn within a round."""
    runs = {"jobs 1": [], "jobs 2": [], "flac -t": []}
    flac = shutil.which("flac") if workload == "A1" else None
    commands = {"jobs 1": archive_command(workload, 1), "jobs 2": archive_command(workload, 2),
                "flac -t": [flac, "-t", "-s", *listed_pool()] if flac else None}
    for r in range(rounds):
        names = list(commands)
        for name in names[r % 3:] + names[:r % 3]:
            if commands[name] is None:
                continue
            timed_run(commands[name])  # warm-up: the page cache holds the files
            runs[name] += [timed_run(commands[name]) for _ in range(repeats)]
    return {name: statistics.median(times) if times else None for name, times in runs.items()}


def print_archive_table(chosen, medians):
    print("| workload | --jobs 1 ms | --jobs 2 ms | jobs 2 / jobs 1 | flac -t ms | "
          "ondalis --jobs 1 / flac -t |")
    print("|---|---:|---:|---:|---:|---:|")
    for workload in chosen:
        m = medians[workload]
        cells = [cell_time(workload, "ondalis", m["jobs 1"]),
                 cell_time(workload, "ondalis", m["jobs 2"]),
                 cell_ratio(m["jobs 2"], m["jobs 1"]),
                 cell_time(workload, "ondalis", m["flac -t"]),
                 cell_ratio(m["jobs 1"], m["flac -t"])]
        print(f"| {workload} | " + " | ".join(cells) + " |")
    print()
    for workload in chosen:
        print(f"{workload}: {ARCHIVE_WORKLOADS[workload]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", default=",".join([*WORKLOADS, *ARCHIVE_WORKLOADS]))
    args = parser.parse_args()
    generate()
    versions()
    asked = args.only.split(",")
    chosen = [workload for workload in asked if workload not in ARCHIVE_WORKLOADS]
    archive = [workload for workload in asked if workload in ARCHIVE_WORKLOADS]
    if archive:
        found = {workload: measure_archive(workload, args.rounds, args.repeats)
                 for workload in archive}
        print()
        print_archive_table(archive, found)
        # What every row above pays before its first file: the interpreter,
        # numpy and the package imported.
        start = [sys.executable, "-m", "ondalis", "--version"]
        timed_run(start)
        started = statistics.median(timed_run(start) for _ in range(args.rounds * args.repeats))
        print(f"\nstart-up of the command ({' '.join(start[1:])}): {started * 1e3:.1f} ms")
    if not chosen:
        return
    medians, by_round = {}, {}
    for workload in chosen:
        by_round[workload], medians[workload] = measure(workload, args.rounds, args.repeats)
        done = ", ".join(f"{side} {cell_time(workload, side, t)}"
                         for side, t in medians[workload].items())
        print(f"{workload} done (ms): {done}", file=sys.stderr)
    print()
    print_table(chosen, medians, by_round)
    print()
    print_targets(medians)
    print()
    for workload in chosen:
        print(f"{workload}: {WORKLOADS[workload]}")


if __name__ == "__main__":
    main()
