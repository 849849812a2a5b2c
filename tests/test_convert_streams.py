"""convert between every kind of source and target: paths, descriptors,
io.BytesIO, bytes, file objects and pipes. The frames arrive exactly (read
back by soundfile) and `lost` names what the target format drops, the same
whatever the target is, pipes included, which are converted in memory and
read back there."""
import io
import os
import threading

import numpy as np
import pytest
import soundfile

import ondalis
import sample_files

# The acid chunk (loop information) is carried into WAV as a chunk of its own.
TO_WAV_LOST = ["channel map"]
TO_FLAC_LOST = ["cue points", "instrument", "broadcast extension", "cart chunk", "channel map",
                "loop information", "chunk 'acid'"]


class Pipe:
    """A real pipe; a thread feeds it `data` or drains it into `received`."""

    def __init__(self):
        self.read_fd, self.write_fd = os.pipe()
        self.received = bytearray()
        self.thread = None

    def feed(self, data):
        def run():
            with open(self.write_fd, "wb") as w:
                w.write(data)
        self.thread = threading.Thread(target=run)
        self.thread.start()
        return open(self.read_fd, "rb", buffering=0)

    def drain(self):
        def run():
            with open(self.read_fd, "rb") as r:
                self.received += r.read()
        self.thread = threading.Thread(target=run)
        self.thread.start()
        return open(self.write_fd, "wb", buffering=0)

    def join(self):
        self.thread.join(timeout=60)
        assert not self.thread.is_alive()


@pytest.fixture
def every(tmp_path):
    return sample_files.every_metadata_wav(tmp_path / "every.wav")


def source_of(kind, path, opened):
    data = path.read_bytes()
    if kind == "path":
        return path
    if kind == "bytesio at an offset":
        memory = io.BytesIO(b"not audio" + data)
        memory.seek(len(b"not audio"))
        return memory
    if kind == "bytearray":
        return bytearray(data)
    if kind == "file object":
        return opened(open(path, "rb"))
    if kind == "descriptor":
        return opened(open(path, "rb")).fileno()
    pipe = Pipe()
    return opened(pipe.feed(data))


@pytest.mark.parametrize("kind", ["path", "bytesio at an offset", "bytearray", "file object",
                                  "descriptor", "pipe"])
def test_every_kind_of_source_converts(tmp_path, every, kind):
    with_files = []
    source = source_of(kind, every, lambda f: with_files.append(f) or f)
    target = tmp_path / "out.flac"
    try:
        frames, lost = ondalis.convert(source, target)
    finally:
        for f in with_files:
            f.close()
    data, rate = soundfile.read(target, dtype="int16")
    assert (frames, rate) == (sample_files.FRAMES, sample_files.SAMPLERATE)
    assert np.array_equal(data, sample_files.samples())
    assert lost == TO_FLAC_LOST
    assert soundfile.info(target).extra_info and \
        ondalis.info(target).strings == sample_files.SHORT_STRINGS


def bytes_of_target(kind, tmp_path, convert):
    """Runs convert(target, major) into a target of `kind`; the file's bytes."""
    if kind == "path":
        path = tmp_path / "out.wav"
        result = convert(path, None)
        return result, path.read_bytes()
    if kind == "bytesio after other bytes":
        memory = io.BytesIO()
        memory.write(b"kept")
        result = convert(memory, "wav")
        assert memory.getvalue().startswith(b"kept")
        assert memory.tell() == len(memory.getvalue())
        return result, memory.getvalue()[4:]
    if kind == "named file object":
        with open(tmp_path / "out.wav", "wb") as f:
            result = convert(f, None)
        return result, (tmp_path / "out.wav").read_bytes()
    if kind == "descriptor":
        fd = os.open(tmp_path / "out.wav", os.O_RDWR | os.O_CREAT | os.O_TRUNC)
        try:
            result = convert(fd, "wav")
            assert os.lseek(fd, 0, os.SEEK_CUR) == os.fstat(fd).st_size
        finally:
            os.close(fd)
        return result, (tmp_path / "out.wav").read_bytes()
    pipe = Pipe()
    with pipe.drain() as w:
        result = convert(w if kind == "pipe" else w.fileno(), "wav")
    pipe.join()
    return result, bytes(pipe.received)


@pytest.mark.parametrize("kind", ["path", "bytesio after other bytes", "named file object",
                                  "descriptor", "pipe", "pipe descriptor"])
def test_every_kind_of_target_gets_the_file_and_the_truth_about_it(tmp_path, every, kind):
    (frames, lost), written = bytes_of_target(
        kind, tmp_path, lambda target, major: ondalis.convert(every, target, major=major))
    assert (frames, lost) == (sample_files.FRAMES, TO_WAV_LOST)
    data, rate = soundfile.read(io.BytesIO(written), dtype="int16")
    assert rate == sample_files.SAMPLERATE and np.array_equal(data, sample_files.samples())
    kept = ondalis.info(io.BytesIO(written))
    assert kept.strings == sample_files.SHORT_STRINGS and len(kept.cue_points) == 2
    assert kept.broadcast.description == sample_files.BEXT["description"]


def test_a_headerless_target_is_read_back_with_its_layout(tmp_path, every):
    target = tmp_path / "out.raw"
    frames, lost = ondalis.convert(every, target, encoding="pcm16")
    assert frames == sample_files.FRAMES
    assert "broadcast extension" in lost and "title" in lost
    raw = np.frombuffer(target.read_bytes(), "<i2").reshape(-1, sample_files.CHANNELS)
    assert np.array_equal(raw, sample_files.samples())


def test_a_target_without_a_name_needs_a_major(every):
    with pytest.raises(ValueError):
        ondalis.convert(every, io.BytesIO())


class FailingWriter(io.RawIOBase):
    """A seekable file object whose write() fails after some bytes."""

    def __init__(self, limit):
        self.memory, self.limit = io.BytesIO(), limit

    def writable(self):
        return True

    def seekable(self):
        return True

    def write(self, data):
        if self.memory.tell() + len(data) > self.limit:
            raise OSError(28, "No space left on device")
        return self.memory.write(data)

    def seek(self, offset, whence=0):
        return self.memory.seek(offset, whence)

    def tell(self):
        return self.memory.tell()


def test_a_target_that_fails_to_write_raises_its_own_error(every):
    with pytest.raises(OSError, match="No space left on device"):
        ondalis.convert(every, FailingWriter(400), major="wav")


@pytest.mark.parametrize("given", [
    lambda path: (str(path), open(path, "r+b")),
    lambda path: (str(path), os.open(path, os.O_RDWR)),
    lambda path: (os.open(path, os.O_RDONLY), str(path)),
    lambda path: (open(path, "rb"), os.open(path, os.O_RDWR)),
    lambda path: (str(path), str(path.parent / "link.wav")),  # a second hard link
    lambda path: (str(path), str(path.parent / ".." / path.parent.name / path.name)),
], ids=["path/file object", "path/descriptor", "descriptor/path", "file object/descriptor",
        "hard link", "another spelling"])
def test_a_file_is_never_converted_into_itself(tmp_path, given):
    """However source and target are given, one file is found by its device
    and inode and refused before anything is written."""
    path = tmp_path / "a.wav"
    soundfile.write(path, np.arange(100, dtype=np.int16), 8000)
    os.link(path, tmp_path / "link.wav")
    before = path.read_bytes()
    source, target = given(path)
    try:
        with pytest.raises(ValueError, match="are the same file$"):
            ondalis.convert(source, target, major="wav", encoding="pcm24")
    finally:
        for end in (source, target):
            if isinstance(end, int):
                os.close(end)
            elif not isinstance(end, str):
                end.close()
    assert path.read_bytes() == before
