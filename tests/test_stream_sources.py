"""The package's read, info and blocks on sources that are not paths (memory,
file objects): faults found there, each pinned by a small input that shows it."""
import io
import os
import threading

import numpy as np
import pytest

import ondalis


@pytest.fixture
def stereo(build):
    """A 16-bit stereo WAV of 40 frames, built with struct."""
    return build.wav_bytes(np.arange(80).reshape(40, 2), channels=2)


def exhausted(blocks):
    assert len(list(blocks)) == 3


def closed_early(blocks):
    next(blocks)
    blocks.close()


def grow(source):
    if isinstance(source, io.BytesIO):
        source.seek(0, io.SEEK_END)
        source.write(b"more")
    else:
        source.extend(b"more")


@pytest.mark.parametrize("finish", [exhausted, closed_early])
@pytest.mark.parametrize("kind", [io.BytesIO, bytearray])
def test_a_finished_block_iterator_lets_go_of_the_callers_buffer(stereo, kind, finish):
    """The iterator is still held, its file closed: the bytes it read from
    can grow again."""
    data = stereo
    source = kind(data)
    blocks = ondalis.blocks(source, 16)
    finish(blocks)
    grow(source)
    assert bytes(source.getbuffer() if kind is io.BytesIO else source) == data + b"more"
    assert list(blocks) == []


class ClosingReader(io.FileIO):
    """A real file whose read() closes the block iterator it feeds, once one is set."""

    blocks = None

    def read(self, size=-1):
        if self.blocks is not None:
            self.blocks.close()
        return super().read(size)


def test_a_file_objects_read_that_closes_its_own_block_iterator_is_refused(tmp_path, stereo):
    """Closing waited for the iterator's own lock, held by the same thread:
    a hang (the call runs in a thread so that a hang fails the test)."""
    path = tmp_path / "source.wav"
    path.write_bytes(stereo)
    outcome = []

    def take_a_block():
        with ClosingReader(path) as reader:
            reader.blocks = ondalis.blocks(reader, 16)
            try:
                next(reader.blocks)
            except RuntimeError as error:
                outcome.append(str(error))

    worker = threading.Thread(target=take_a_block, daemon=True)
    worker.start()
    worker.join(timeout=30)
    assert not worker.is_alive(), "closing the iterator from its own read() hangs"
    assert outcome == ["the block iterator is already running"]


class Stream(io.RawIOBase):
    """A binary stream that cannot seek (a socket, a live recorder): `head`,
    then `body` repeated `times` times (for ever when None); counts what it
    has given."""

    def __init__(self, head, body=b"", times=None):
        self.head, self.body, self.given = head, body, 0
        self.end = None if times is None else len(head) + times * len(body)

    def readable(self):
        return True

    def readinto(self, buffer):
        n = len(buffer) if self.end is None else min(len(buffer), self.end - self.given)
        if n <= 0 or (self.given >= len(self.head) and not self.body):
            return 0
        out = bytearray()
        while len(out) < n:
            at = self.given + len(out)
            if at < len(self.head):
                out += self.head[at:at + n - len(out)]
            else:
                skip = (at - len(self.head)) % len(self.body)
                out += self.body[skip:skip + n - len(out)]
        buffer[:n] = out
        self.given += n
        return n


def endless_wav_header(build):
    """A mono 16-bit WAV header whose data chunk announces 2**31 bytes."""
    header = build.wav_bytes(np.zeros(0, dtype=np.int16))
    return header[:4] + (2 ** 31 + 36).to_bytes(4, "little") + header[8:-4] + \
        (2 ** 31).to_bytes(4, "little")


def test_an_endless_stream_is_described_and_read_from_its_start(build):
    """A stream that never ends: info() reads a bounded look-ahead of it
    (16 MiB), and blocks read as far as they are taken."""
    source = Stream(endless_wav_header(build), np.arange(4096, dtype="<i2").tobytes())
    found = ondalis.info(source)
    assert (found.frames, found.channels) == (2 ** 30, 1)
    assert source.given <= 16 << 20
    source = Stream(endless_wav_header(build), np.arange(4096, dtype="<i2").tobytes())
    first = list(zip(range(3), ondalis.blocks(source, 4096, dtype="int16")))
    assert all(np.array_equal(block, np.arange(4096)) for _, block in first)
    assert source.given <= 17 << 20


def test_a_long_stream_beyond_memory_is_kept_in_an_unnamed_file(build, tmp_path, monkeypatch):
    """Past a few MiB, what a stream that cannot seek has given goes to a
    temporary file with no name, in $TMPDIR; reads come back exact."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    frames = np.arange(10_000_000, dtype="<i2") * 3  # 20 MB of samples
    data = build.wav_bytes(frames)

    def unnamed_files():
        found = []
        for fd in os.listdir("/proc/self/fd"):
            try:
                found.append(os.readlink(f"/proc/self/fd/{fd}"))
            except FileNotFoundError:  # the listing's own descriptor, closed since
                pass
        return [link for link in found if link.startswith(str(tmp_path))]

    spooled = []
    blocks = ondalis.blocks(Stream(data, times=0), 1 << 20, dtype="int16")
    got = []
    for block in blocks:
        got.append(block)
        spooled += unnamed_files()
    assert np.array_equal(np.concatenate(got), frames)
    assert spooled and all(link.endswith("(deleted)") for link in spooled)
    assert os.listdir(tmp_path) == []
    data_read, _ = ondalis.read(Stream(data, times=0), dtype="int16")
    assert np.array_equal(data_read, frames)
