"""The streaming module's native objects (Stream, Blocks): what the collector
does with cycles through them, and the memory callers lend them (the bytes a
stream reads from, the out array blocks are read into). Expected blocks come
from soundfile's read of a copy of the same bytes."""
import contextlib
import gc
import io
import os
import weakref

import numpy as np
import pytest
import soundfile

import _ondalis
import ondalis
from ondalis import _stream

CHANNELS = 2


def ramp(frames):
    """int16 stereo frames with a distinct value in every sample."""
    return (np.arange(frames * CHANNELS) * 7 % 60000 - 30000).reshape(frames, CHANNELS)


@pytest.fixture
def stereo(build):
    """A 16-bit stereo WAV of 40 frames, built with struct."""
    return build.wav_bytes(ramp(40), channels=CHANNELS)


@pytest.fixture
def stereo_file(tmp_path, stereo):
    path = tmp_path / "stereo.wav"
    path.write_bytes(stereo)
    return path


def soundfile_frames(data):
    """The int16 frames soundfile reads from a copy of `data`."""
    frames, _ = soundfile.read(io.BytesIO(bytes(data)), dtype="int16", always_2d=True)
    return frames


def sliced(frames, blocksize, overlap=0):
    """`frames` cut as blocks() cuts them: each block starts `overlap` frames
    before the previous one ended, the last one may be shorter."""
    step = blocksize - overlap
    return [frames[i:i + blocksize] for i in range(0, max(len(frames) - overlap, 1), step)]


def assert_same_blocks(got, expected):
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        assert np.array_equal(a, b)


class Holder(io.FileIO):
    """A real file of a class of our own, with room for an attribute."""


def file_holding_blocks(path):
    f = open(path, "rb")
    f.held = ondalis.blocks(f, 16)
    next(f.held)
    return f


def file_holding_stream(path):
    f = open(path, "rb")
    f.held = _stream.Stream(f)
    f.held.read(8)
    return f


def fileio_holding_blocks(path):
    f = Holder(path)
    f.held = ondalis.blocks(f, 16)
    next(f.held)
    return f


def bytesio_holding_blocks(path):
    f = io.BytesIO(path.read_bytes())
    f.held = ondalis.blocks(f, 16)
    next(f.held)
    return f


# Cycles a program makes without meaning to: a source whose attribute holds
# the stream or block iterator that reads it (through its Io, the stream's
# name and the lent bytes).
CYCLES = {
    "open() file holding its blocks": file_holding_blocks,
    "open() file holding its stream": file_holding_stream,
    "FileIO subclass holding its blocks": fileio_holding_blocks,
    "BytesIO holding its blocks": bytesio_holding_blocks,
}


@pytest.mark.parametrize("label", CYCLES)
def test_the_collector_closes_a_cycle_through_a_stream(stereo_file, label):
    source = CYCLES[label](stereo_file)
    fd = source.fileno() if not isinstance(source, io.BytesIO) else None
    probe = weakref.ref(source)
    del source
    assert probe() is not None  # only the collector can free it
    gc.collect()
    assert probe() is None
    if fd is not None:
        with pytest.raises(OSError):
            os.fstat(fd)


def test_the_collector_finishes_a_cycle_in_the_midst_of_a_block(stereo_file):
    """The collector runs inside the file object's read(), while the stream
    it feeds holds its mutex: visiting the stream must neither wait for that
    mutex nor disturb the blocks, and the cycle goes afterwards."""
    ran = []

    class Collecting(io.FileIO):
        def read(self, size=-1):
            gc.collect()
            ran.append(size)
            return super().read(size)

    f = Collecting(stereo_file)
    f.held = ondalis.blocks(f, 16, dtype="int16")
    got = [b.copy() for b in f.held]
    probe, fd = weakref.ref(f), f.fileno()
    del f
    gc.collect()
    assert ran and probe() is None
    with pytest.raises(OSError):
        os.fstat(fd)
    assert_same_blocks(got, sliced(soundfile_frames(stereo_file.read_bytes()), 16))


# Ways a block iterator ends, each given a list that holds it (the last
# reference): the blocks taken after the first.
def exhausted(held):
    return [b.copy() for b in held[0]]


def closed(held):
    held[0].close()
    return []


def dropped(held):
    held.clear()
    return []


@pytest.mark.parametrize("end", [exhausted, closed, dropped])
def test_out_is_held_from_the_first_block_to_the_end(stereo_file, end):
    """numpy moves an array's memory on resize(refcheck=False); the next block
    was written past the end of the new one."""
    expected = sliced(soundfile_frames(stereo_file.read_bytes()), 16)
    out = np.zeros((16, CHANNELS), np.int16)
    held = [ondalis.blocks(stereo_file, out=out, dtype="int16")]
    got = [next(held[0]).copy()]
    with pytest.raises(ValueError, match="cannot resize an array that references"):
        out.resize((4, CHANNELS), refcheck=False)
    got += end(held)
    assert_same_blocks(got, expected[:len(got)])
    out.resize((4, CHANNELS), refcheck=False)  # given back at the end


def read_only(out):
    out.flags.writeable = False


def other_dtype(out):
    out.dtype = np.float32


def other_shape(out):
    out.shape = (out.shape[0] * CHANNELS,)


@pytest.mark.parametrize("change, message", [
    (read_only, "out must be C-contiguous and aligned and writable"),
    (other_dtype, "out changed its dtype, shape or memory between blocks"),
    (other_shape, "out must have shape (frames, 2)"),
])
def test_out_changed_between_blocks_is_refused(stereo_file, change, message):
    out = np.zeros((16, CHANNELS), np.int32)
    blocks = ondalis.blocks(stereo_file, out=out, dtype="int32")
    next(blocks)
    change(out)
    before = out.tobytes()
    with pytest.raises(ValueError) as excinfo:
        next(blocks)
    assert str(excinfo.value) == message
    assert out.tobytes() == before
    blocks.close()


@pytest.mark.parametrize("blocksize, overlap, fill", [(16, 0, None), (16, 4, None),
                                                      (40, 0, None), (24, 0, 7)])
def test_out_over_the_source_bytes_reads_what_a_copy_reads(stereo, blocksize, overlap, fill):
    """An out array whose memory is the bytearray the stream reads: each
    block is copied within one buffer (the first one onto itself)."""
    data = bytearray(stereo)
    expected = sliced(soundfile_frames(data), blocksize, overlap)
    if fill is not None:
        last = np.full((blocksize, CHANNELS), fill, np.int16)
        last[:len(expected[-1])] = expected[-1]
        expected[-1] = last
    out = np.frombuffer(data, np.int16, count=blocksize * CHANNELS).reshape(blocksize, CHANNELS)
    got = [b.copy() for b in ondalis.blocks(data, overlap=overlap, out=out, dtype="int16",
                                            fill_value=fill)]
    assert_same_blocks(got, expected)


def overwritten(source, size):
    """The caller's bytes replaced, as far as it may: a BytesIO copies on its
    own side, a bytearray cannot shrink while exported, nor can a numpy array
    while it has a weak reference."""
    if isinstance(source, io.BytesIO):
        source.seek(0)
        source.write(b"\x7f" * size)
        source.truncate(0)
    elif isinstance(source, np.ndarray):
        with contextlib.suppress(ValueError):
            source.resize(0, refcheck=False)
    else:
        with contextlib.suppress(BufferError):
            del source[:]


def bytesio_of(data):
    source = io.BytesIO()  # bytes of its own, not shared with `data`
    source.write(data)
    source.seek(0)
    return source


@pytest.mark.parametrize("lend", [bytesio_of, bytearray,
                                  lambda data: np.frombuffer(data, np.uint8).copy()],
                         ids=["BytesIO", "bytearray", "ndarray"])
def test_a_lent_buffer_is_held_while_its_stream_reads(build, lend):
    """Memory given back too early is taken by the next allocations of its
    size: the blocks after it would be read from those."""
    data = build.wav_bytes(ramp(4000), channels=CHANNELS)
    expected = sliced(soundfile_frames(data), 256)
    source = lend(data)
    blocks = ondalis.blocks(source, 256, dtype="int16")
    got = [next(blocks).copy()]
    overwritten(source, len(data))
    churn = [bytes(len(data)) for _ in range(50)] + [bytearray(len(data)) for _ in range(50)]
    got += [b.copy() for b in blocks]
    assert churn and len(got) == len(expected)
    assert_same_blocks(got, expected)


class FailingLater(io.BytesIO):
    """A BytesIO whose write() raises once `fail` is set."""

    fail = False

    def write(self, data):
        if self.fail:
            raise OSError("the target is gone")
        return super().write(data)


def test_a_dropped_stream_whose_close_fails_is_reported_once(monkeypatch):
    """The failure of the close at the last reference went to the unraisable
    hook with the dying stream, which the hook's reference freed a second
    time (a crash)."""
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda report: seen.append(
        (type(report.exc_value), str(report.exc_value), type(report.object))))
    target = FailingLater()
    stream = _stream.Stream(target, "w", _ondalis.construct_format("wav", "pcm16"),
                            CHANNELS, 8000)
    stream.write(np.zeros((16, CHANNELS)))
    target.fail = True
    del stream
    gc.collect()
    assert seen == [(OSError, "the target is gone", _stream.Stream)]


class Meddling(io.FileIO):
    """A real file whose read() and write() first call `meddle`, once set."""

    meddle = None

    def read(self, size=-1):
        if self.meddle is not None:
            self.meddle()
        return super().read(size)

    def write(self, data):
        if self.meddle is not None:
            self.meddle()
        return super().write(data)


@contextlib.contextmanager
def meddling(f, meddle):
    f.meddle = meddle
    try:
        yield
    finally:
        f.meddle = None


# Calls that lend an array to libsndfile, each opening and closing its stream
# on `f` while `meddle` is not set (the header is read or written untouched).
def read_into_out(f, array, meddle):
    with _stream.Stream(f) as stream, meddling(f, meddle):
        stream.read(out=array)


def blocks_into_out(f, array, meddle):
    with contextlib.closing(ondalis.blocks(f, out=array)) as blocks, meddling(f, meddle):
        next(blocks)


def written_from(f, array, meddle):
    code = _ondalis.construct_format("wav", "pcm16")
    with _stream.Stream(f, "w", code, CHANNELS, 8000) as stream, meddling(f, meddle):
        stream.write(array)


@pytest.mark.parametrize("mode, call", [("rb", read_into_out), ("rb", blocks_into_out),
                                        ("w+b", written_from)])
def test_a_lent_array_resized_by_a_callback_is_refused(stereo_file, tmp_path, mode, call):
    """libsndfile uses the array between two calls of the file object, with
    the interpreter lock released: a resize(refcheck=False) there moved the
    memory it was reading or writing."""
    path = stereo_file if mode == "rb" else tmp_path / "written.wav"
    array = np.zeros((20000, CHANNELS))
    with Meddling(path, mode) as f:
        with pytest.raises(ValueError, match="cannot resize an array that references"):
            call(f, array, lambda: array.resize((4, CHANNELS), refcheck=False))
    assert array.shape == (20000, CHANNELS)
