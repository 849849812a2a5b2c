"""The process ends cleanly while threads are inside libsndfile: daemon
threads still reading when the interpreter exits, and the batch command line
interrupted by real SIGINTs at random moments while its workers run."""
import os
import random
import signal
import subprocess
import sys
import time
import wave

import numpy as np
import pytest
import soundfile

# Threads that read through every path that comes back for the interpreter
# lock: a path (the lock taken back after libsndfile), a file object (its
# callbacks take the lock from inside libsndfile) and a block iterator.
DAEMON_READERS = """
import io, sys, threading, time
import ondalis
path, pause = sys.argv[1], float(sys.argv[2])
data = open(path, "rb").read()
def reader(kind):
    while True:
        if kind == 0:
            ondalis.read(path, dtype="float32")
        elif kind == 1:
            ondalis.read(io.BufferedReader(io.BytesIO(data)), dtype="int16")
        else:
            for _ in ondalis.blocks(path, 4096):
                pass
for i in range(6):
    threading.Thread(target=reader, args=(i % 3,), daemon=True).start()
time.sleep(pause)
"""


@pytest.fixture(scope="module")
def long_flac(tmp_path_factory):
    path = tmp_path_factory.mktemp("shutdown") / "long.flac"
    samples = np.random.default_rng(3).uniform(-0.5, 0.5, (44100 * 5, 2))
    soundfile.write(path, samples, 44100)
    return path


# Daemon threads that wait for the process to end hold what they were
# reading: under the sanitizers, not leaks to report.
NO_LEAK_CHECK = {**os.environ, "ASAN_OPTIONS": ":".join(
    filter(None, [os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))}


def test_the_interpreter_exits_while_daemon_threads_read(long_flac):
    rng = random.Random(11)
    for _ in range(10):
        done = subprocess.run([sys.executable, "-P", "-c", DAEMON_READERS, str(long_flac),
                               str(rng.uniform(0.05, 0.3))],
                              capture_output=True, text=True, timeout=60, env=NO_LEAK_CHECK)
        assert (done.returncode, done.stderr) == (0, "")


@pytest.fixture(scope="module")
def many_files(tmp_path_factory):
    """3,000 small WAVs written by `wave`, in 30 folders."""
    root = tmp_path_factory.mktemp("many")
    frames = np.arange(64, dtype="<i2").tobytes()
    for folder in range(30):
        os.mkdir(root / f"d{folder}")
        for n in range(100):
            with wave.open(str(root / f"d{folder}" / f"{n}.wav"), "wb") as w:
                w.setnchannels(1)
                w.setsampwidth(2)
                w.setframerate(8000)
                w.writeframes(frames)
    return root


def test_ctrl_c_on_a_threaded_batch_always_ends_as_interrupted(many_files):
    rng = random.Random(5)
    for _ in range(20):
        child = subprocess.Popen(
            [sys.executable, "-W", "ignore", "-m", "ondalis", "info", "-r", "-j", "4",
             "--jsonl", str(many_files)],
            cwd=many_files, env=NO_LEAK_CHECK, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        child.stdout.readline()  # the workers are under way
        time.sleep(rng.uniform(0, 0.3))
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
        if child.returncode == 0:  # it had finished: nothing to interrupt
            assert err == ""
            continue
        assert (child.returncode, err) == (130, "ondalis: interrupted\n")


# What a script leaves open when it ends: the interpreter closes each while
# it shuts down, on the thread that runs the shutdown.
LEFT_OPEN = {
    "block iterator on a path": "it = ondalis.blocks(path, 100); next(it)",
    "block iterator on a file object": "it = ondalis.blocks(open(path, 'rb'), 100); next(it)",
    "stream on a path": "s = _stream.Stream(path)",
    "stream on a file object": "s = _stream.Stream(open(path, 'rb'))",
    "stream written to a file object": "s = _stream.Stream(io.BytesIO(), 'w', "
                                       "ondalis.construct_format('wav', 'pcm16'), 1, 8000)",
}


@pytest.mark.parametrize("code", LEFT_OPEN.values(), ids=LEFT_OPEN.keys())
def test_the_interpreter_exits_with_a_stream_left_open(long_flac, code):
    script = f"import io, sys, ondalis\nfrom ondalis import _stream\npath = sys.argv[1]\n{code}\n"
    done = subprocess.run([sys.executable, "-P", "-c", script, str(long_flac)],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
