"""The package's read and blocks under real threads: many opens at once, good
and bad, each with its own result; one block iterator shared by two threads;
decoding with the interpreter lock released; file-object callbacks made
from the decoding thread. Files are written by soundfile and the wave module."""
import io
import os
import threading
import time

import numpy as np
import pytest
import soundfile

import ondalis
from file_objects import Seekable

THREADS = 8
ROUNDS = 10
JOIN_SECONDS = 120


def run_threads(targets):
    """Starts a thread per target, waits for all; the exceptions they raised."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - handed to the test
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_SECONDS)
    assert not any(thread.is_alive() for thread in threads)
    return errors


def outcome(call):
    """What a call gave: ("data", array) or (exception type, its text)."""
    try:
        return "data", call()[0]
    except Exception as error:  # noqa: BLE001 - compared by the test
        return type(error), str(error)


def same(a, b):
    if a[0] == "data" and b[0] == "data":
        return np.array_equal(a[1], b[1])
    return a == b


@pytest.fixture
def cases(tmp_path):
    """(name, source maker) pairs: good files, each with data of its own, and bad input."""
    made = []
    for i in range(4):
        data = (np.arange(3000, dtype=np.int16) * (i + 3)).reshape(1500, 2)
        path = tmp_path / f"good{i}.wav"
        soundfile.write(path, data, 8000 + i, subtype="PCM_16")
        content = path.read_bytes()
        made.append((f"path {i}", lambda path=path: path))
        made.append((f"buffer {i}", lambda content=content: bytearray(content)))
        made.append((f"BytesIO {i}", lambda content=content: io.BytesIO(content)))
    truncated = tmp_path / "truncated.wav"
    truncated.write_bytes(made[0][1]().read_bytes()[:30])
    made.append(("missing", lambda: tmp_path / "missing.wav"))
    made.append(("truncated", lambda: truncated))
    made.append(("garbage", lambda: bytearray(b"\x07" * 5000)))
    made.append(("directory", lambda: tmp_path))
    return made


def test_opens_at_once_each_get_their_own_data_or_error(cases):
    alone = {name: outcome(lambda: ondalis.read(make(), dtype="int16")) for name, make in cases}
    assert sum(result[0] == "data" for result in alone.values()) == 12
    assert alone["garbage"] == (ondalis.SndfileError, "cannot open <bytearray of 5000 bytes>: "
                                         "Format not recognised.")
    barrier = threading.Barrier(THREADS)
    mismatches = []

    def worker(index):
        order = cases[index:] + cases[:index]
        for _ in range(ROUNDS):
            barrier.wait()
            for name, make in order:
                got = outcome(lambda: ondalis.read(make(), dtype="int16"))
                if not same(got, alone[name]):
                    mismatches.append((name, got))

    assert run_threads([lambda i=i: worker(i) for i in range(THREADS)]) == []
    assert mismatches == []


@pytest.fixture
def counted_wav(tmp_path):
    """A mono 32-bit WAV whose samples count 0, 1, 2, ... (each frame names itself)."""
    data = np.arange(100_000, dtype=np.int32)
    path = tmp_path / "counted.wav"
    soundfile.write(path, data, 8000, subtype="PCM_32")
    return path, data


@pytest.mark.parametrize("source", ["path", "file object"])
def test_two_threads_sharing_one_block_iterator_get_each_block_once(counted_wav, source):
    path, data = counted_wav
    with open(path, "rb") as f:
        blocks = ondalis.blocks(path if source == "path" else f, 700, dtype="int32")
        barrier = threading.Barrier(2)
        taken = [[], []]

        def pull(mine):
            barrier.wait()
            for block in blocks:
                mine.append(block.copy())

        assert run_threads([lambda: pull(taken[0]), lambda: pull(taken[1])]) == []
    every = sorted(taken[0] + taken[1], key=lambda block: block[0])
    assert len(every) == -(-len(data) // 700)
    assert np.array_equal(np.concatenate(every), data)


@pytest.fixture
def long_flac(tmp_path):
    rng = np.random.default_rng(5)
    data = rng.integers(-20000, 20000, (44100 * 20, 2), dtype=np.int16)
    path = tmp_path / "long.flac"
    soundfile.write(path, data, 44100, subtype="PCM_16")
    return path, data


def counter():
    """A thread that counts while it runs, giving up the interpreter lock at
    every step; (counts, stop)."""
    counts, stop, started = [0], threading.Event(), threading.Event()

    def count():
        started.set()
        while not stop.is_set():
            counts[0] += 1
            time.sleep(0)

    thread = threading.Thread(target=count)
    thread.start()
    started.wait()

    def stopped():
        stop.set()
        thread.join()

    return counts, stopped


def test_a_python_thread_runs_while_another_decodes(long_flac):
    """With the lock held for the whole decode the counter could not move
    while read() runs; it is given the lock back after every step."""
    path, data = long_flac
    counts, stopped = counter()
    try:
        before = counts[0]
        got, _ = ondalis.read(path, dtype="int16")
        during = counts[0] - before
    finally:
        stopped()
    assert np.array_equal(got, data)
    assert during > 10


class CallingThreads(Seekable):
    """A binary file object over a real file that notes which thread calls read()."""

    def __init__(self, path):
        super().__init__(open(path, "rb"))
        self.readers = set()

    def read(self, n=-1):
        self.readers.add(threading.get_ident())
        return self.f.read(n)


def test_file_object_reads_come_from_the_decoding_thread(long_flac, counted_wav):
    flac, flac_data = long_flac
    wav, wav_data = counted_wav
    source = CallingThreads(flac)
    decoded, decoder = [], []
    counts, stopped = counter()

    def decode():
        decoder.append(threading.get_ident())
        decoded.append(ondalis.read(source, dtype="int16")[0])

    def read_other():
        for _ in range(5):
            assert np.array_equal(ondalis.read(CallingThreads(wav), dtype="int32")[0], wav_data)

    try:
        before = counts[0]
        assert run_threads([decode, read_other, read_other]) == []
        during = counts[0] - before
    finally:
        stopped()
        source.f.close()
    assert source.readers == set(decoder)
    assert np.array_equal(decoded[0], flac_data)
    assert during > 10


@pytest.fixture
def two_files(tmp_path):
    """A WAV and a FLAC written by soundfile, with their samples."""
    samples = (np.arange(2000, dtype=np.int16) * 7).reshape(1000, 2)
    soundfile.write(tmp_path / "a.wav", samples, 8000)
    soundfile.write(tmp_path / "b.flac", samples, 8000)
    return [tmp_path / "a.wav", tmp_path / "b.flac"], samples


def test_an_open_waiting_on_a_fifo_stops_no_other_open(tmp_path, two_files):
    fifo = tmp_path / "live.wav"
    os.mkfifo(fifo)
    waiting = threading.Thread(target=outcome, args=(lambda: ondalis.read(fifo),))
    waiting.start()
    time.sleep(0.2)  # the thread is in the open of the FIFO, for nobody writes to it
    try:
        paths, samples = two_files
        for path in paths:
            assert np.array_equal(ondalis.read(path, dtype="int16")[0], samples)
            assert ondalis.info(path).frames == len(samples)
    finally:
        os.close(os.open(fifo, os.O_WRONLY))  # its writer comes and goes: the read ends
        waiting.join(JOIN_SECONDS)
    assert not waiting.is_alive()


def test_a_file_object_that_waits_stalls_only_its_own_caller(two_files):
    """While one thread's file object is held inside read(), other threads
    open, read and describe files: no lock is held across its callback."""
    paths, samples = two_files
    entered, release = threading.Event(), threading.Event()

    class Waits(Seekable):
        def read(self, n=-1):
            entered.set()
            release.wait(JOIN_SECONDS)
            return self.f.read(n)

    got = []
    held = threading.Thread(target=lambda: got.append(outcome(
        lambda: ondalis.read(Waits(io.BytesIO(paths[0].read_bytes())), dtype="int16"))))
    held.start()
    try:
        assert entered.wait(JOIN_SECONDS)
        others = run_threads([lambda: ondalis.info(paths[1]),
                              lambda: ondalis.read(paths[0]),
                              lambda: list(ondalis.blocks(io.BytesIO(paths[1].read_bytes()), 64))])
        assert others == [] and not release.is_set()
    finally:
        release.set()
        held.join(JOIN_SECONDS)
    assert same(got[0], ("data", samples))


def test_ctrl_c_ends_an_open_waiting_on_a_fifo(tmp_path, run_python):
    fifo = tmp_path / "live.wav"
    os.mkfifo(fifo)
    done = run_python(f"""
        import os, signal, threading
        import ondalis
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            ondalis.info({str(fifo)!r})
        except KeyboardInterrupt:
            print("interrupted")
        """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted\n", "")
