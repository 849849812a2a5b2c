"""Threads: one object shared by threads that read, seek, query and close it,
and many objects used at once. The module never releases the interpreter
lock, so a close can only come between two calls, or inside one while it
runs Python code (an argument's __eq__, a rebound numpy function); every
call either works on intact data or raises the closed-object error."""
import sys
import threading
import time

import numpy as np
import pytest

import _ondalis as m
from api_calls import scaled
from messages import NO_HANDLE

FRAMES = 20000


@pytest.fixture(autouse=True)
def eager_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


@pytest.fixture
def counting_file(tmp_path):
    """A mono file whose sample i holds i (mod 2**15): any block read tells
    where it came from and whether it is intact."""
    path = tmp_path / "count.wav"
    with m.Ondalis(str(path), "w", m.construct_format("wav", "pcm16"), 1, 8000) as f:
        f.write_frames((np.arange(FRAMES) % 32768).astype(np.int16))
    return str(path)


def contiguous(block):
    """A run of consecutive counts, as a read from one position gives."""
    return len(block) == 0 or np.array_equal(
        block, (np.arange(len(block)) + int(block[0])) % 32768)


def intact(block):
    """A read from one position: consecutive counts up to the end of the
    file, then the fill value 0."""
    real = min(len(block), FRAMES - int(block[0])) if block.any() else 0
    return contiguous(block[:real]) and not block[real:].any()


def run_threads(workers):
    errors = []

    def guarded(work):
        try:
            work()
        except BaseException as exc:  # reported to the test below
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]


def closed_error(exc):
    return isinstance(exc, RuntimeError) and str(exc) == NO_HANDLE


class Stops:
    """Counts the calls that failed because another thread closed the object."""

    def __init__(self):
        self.closed = 0
        self.worked = 0
        self.some_worked = threading.Event()  # set by the first call that works

    def attempt(self, call):
        try:
            result = call()
        except (RuntimeError, OSError) as exc:
            if isinstance(exc, OSError) or not closed_error(exc):
                raise
            self.closed += 1
            return None
        self.worked += 1
        self.some_worked.set()
        return result


def test_shared_object_read_seek_query_and_close(counting_file):
    rounds = scaled(30, least=5)
    for _ in range(rounds):
        f = m.Ondalis(counting_file)
        stops = Stops()
        start = threading.Barrier(5)

        def reader(n):
            start.wait()
            for _ in range(300):
                block = stops.attempt(lambda: f.read_frames(n, np.int16, fill_value=0, min_read=-1))
                if block is not None:
                    assert intact(block)
                stops.attempt(lambda: f.seek(0, 1, "r"))

        def seeker():
            start.wait()
            for i in range(300):
                stops.attempt(lambda: f.seek((i * 997) % FRAMES))
                stops.attempt(f.frames)
                stops.attempt(lambda: f.command("SFC_GET_CURRENT_SF_INFO"))
                stops.attempt(f.get_strings)

        def closer():
            start.wait()
            # Close once the others are under way, however busy the machine is.
            stops.some_worked.wait(timeout=60)
            f.close()

        run_threads([lambda: reader(64), lambda: reader(333), seeker, seeker, closer])
        assert stops.worked > 0
        with pytest.raises(RuntimeError, match=NO_HANDLE):
            f.frames()


class ClosingType:
    """A dtype that lets other threads run inside read_frames and compares
    equal to np.int16 only."""

    def __init__(self, pause):
        self.pause = pause

    def __eq__(self, other):
        time.sleep(self.pause)  # releases the interpreter lock
        return other is np.int16

    __hash__ = object.__hash__


def test_close_from_another_thread_while_a_call_runs_python_code(counting_file):
    rounds = scaled(40, least=8)
    outcomes = {"read": 0, "closed": 0}
    for i in range(rounds):
        f = m.Ondalis(counting_file)
        ready = threading.Event()

        def reader():
            ready.set()
            try:
                block = f.read_frames(500, ClosingType(0.001 * (i % 3)))
                assert contiguous(block) and block[0] == 0
                outcomes["read"] += 1
            except RuntimeError as exc:
                assert closed_error(exc), exc
                outcomes["closed"] += 1

        def closer():
            ready.wait()
            time.sleep(0.0005 * (i % 4))
            f.close()

        run_threads([reader, closer])
    assert outcomes["closed"] > 0


def test_many_objects_read_at_once(counting_file):
    expected = (np.arange(FRAMES) % 32768).astype(np.int16)

    def reader(dtype):
        for _ in range(scaled(20, least=4)):
            with m.Ondalis(counting_file) as f:
                data = f.read_frames(dtype=dtype)
                scale = {np.int16: 1, np.int32: 65536, np.float32: 1 / 32768,
                         np.float64: 1 / 32768}[dtype]
                assert np.array_equal(data, expected.astype(dtype) * dtype(scale))

    run_threads([lambda d=d: reader(d) for d in (np.int16, np.int32, np.float32, np.float64)] * 2)


def test_many_objects_write_at_once(tmp_path):
    code = m.construct_format("wav", "pcm16")

    def writer(k):
        path = str(tmp_path / f"w{k}.wav")
        data = ((np.arange(FRAMES) * (k + 1)) % 32768).astype(np.int16)
        for _ in range(scaled(10, least=3)):
            with m.Ondalis(path, "w", code, 1, 8000) as f:
                for block in np.array_split(data, 50):
                    assert f.write_frames(block) == len(block)
            with m.Ondalis(path) as f:
                assert np.array_equal(f.read_frames(dtype=np.int16), data)

    run_threads([lambda k=k: writer(k) for k in range(6)])
