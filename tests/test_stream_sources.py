"""The package's read, info and blocks on sources that are not paths (memory,
file objects): faults found there, each pinned by a small input that shows it."""
import io
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
