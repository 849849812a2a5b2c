"""The package's read, info, blocks and write on every kind of source and
target: memory, buffers, file objects, pipes and descriptors, checked
against the same file read by path and against soundfile and wave, on files
that ondalis did not write; out= arrays; file objects that misbehave."""
import io
import mmap
import os
import subprocess
import sys
import threading
import wave

import numpy as np
import pytest
import soundfile

import ondalis
import sample_files
from file_objects import Fault, Seekable

RATE = 8000


def ramp(frames, channels):
    """int16 frames with a distinct value in every sample."""
    return (np.arange(frames * channels, dtype=np.int32) * 7 % 60000 - 30000).astype(
        np.int16).reshape(frames, channels)


def wave_wav(path, data):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(data.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(data.astype("<i2").tobytes())
    return path


def soundfile_flac(path, data):
    soundfile.write(path, data, RATE, subtype="PCM_16")
    return path


# Files by writers that are not ours; big enough that a pipe cannot hold one.
FILE_MAKERS = {
    "wav": lambda tmp: wave_wav(tmp / "a.wav", ramp(40000, 2)),
    "flac": lambda tmp: soundfile_flac(tmp / "a.flac", ramp(30000, 1)),
    "metadata": lambda tmp: sample_files.every_metadata_wav(tmp / "every.wav"),
}


@pytest.fixture(params=sorted(FILE_MAKERS))
def sound(request, tmp_path):
    return FILE_MAKERS[request.param](tmp_path)


@pytest.fixture
def wav(tmp_path):
    """A stereo WAV of 1000 frames by the wave module, and its samples."""
    data = ramp(1000, 2)
    return wave_wav(tmp_path / "small.wav", data), data


@pytest.fixture
def closing():
    """Calls every function handed to it at the end of the test."""
    finalizers = []
    yield finalizers.append
    for finalize in reversed(finalizers):
        finalize()


def pipe_reader(content, closing):
    """The read end of a real pipe, fed `content` by a thread, then closed."""
    r, w = os.pipe()

    def feed():
        with open(w, "wb", buffering=0) as writer:
            try:
                writer.write(content)
            except BrokenPipeError:
                pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    reader = open(r, "rb", buffering=0)
    closing(feeder.join)
    closing(reader.close)
    return reader


def subprocess_stdout(path, closing):
    process = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
    closing(process.wait)
    closing(process.stdout.close)
    return process.stdout


def mapped(path, closing):
    with open(path, "rb") as f:
        view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    closing(view.close)
    return view


def descriptor(path, closing):
    fd = os.open(path, os.O_RDONLY)
    closing(lambda: os.close(fd))
    return fd


def opened(path, closing):
    f = open(path, "rb")
    closing(f.close)
    return f


def bytesio_after_junk(path, closing):
    f = io.BytesIO(b"not a sound file" + path.read_bytes())
    f.seek(16)
    return f


SOURCES = {
    "BytesIO": lambda path, closing: io.BytesIO(path.read_bytes()),
    "BytesIO at an offset": bytesio_after_junk,
    "bytearray": lambda path, closing: bytearray(path.read_bytes()),
    "memoryview": lambda path, closing: memoryview(path.read_bytes()),
    "mmap": mapped,
    "numpy uint8": lambda path, closing: np.frombuffer(path.read_bytes(), np.uint8),
    "binary file": opened,
    "pipe": lambda path, closing: pipe_reader(path.read_bytes(), closing),
    "subprocess stdout": subprocess_stdout,
    "descriptor": descriptor,
    "bytes path": lambda path, closing: os.fsencode(path),
}


def info_fields(found):
    fields = vars(found).copy()
    del fields["path"]
    return fields


@pytest.mark.parametrize("kind", sorted(SOURCES))
def test_every_source_reads_like_the_path(sound, kind, closing):
    make = SOURCES[kind]
    expected, rate = soundfile.read(sound, dtype="int16")
    got, got_rate = ondalis.read(make(sound, closing), dtype="int16")
    assert got_rate == rate and got.dtype == np.int16 and np.array_equal(got, expected)
    assert info_fields(ondalis.info(make(sound, closing))) == info_fields(ondalis.info(sound))


def test_bytes_are_a_path_not_file_content(wav):
    path, _ = wav
    with pytest.raises(ValueError, match=r"bytes source is a file name.*pass io\.BytesIO\(data\)"):
        ondalis.read(path.read_bytes())
    with pytest.raises(FileNotFoundError):
        ondalis.read(b"RIFF no such file")


@pytest.mark.parametrize("kind", ["BytesIO", "binary file", "pipe"])
def test_blocks_from_a_source_match_blocks_from_the_path(wav, kind, closing):
    path, data = wav
    got = list(ondalis.blocks(SOURCES[kind](path, closing), 300, 50, dtype="int16"))
    expected = list(ondalis.blocks(path, 300, 50, dtype="int16"))
    assert len(got) == len(expected) == 4
    assert all(np.array_equal(a, b) for a, b in zip(got, expected))
    assert np.array_equal(got[-1], data[750:])


@pytest.mark.parametrize("encoding, stored, channels, read_as", [
    ("pcm16", "<i2", 2, "int16"), ("pcm24", "<i4", 1, "int32"), ("float32", "<f4", 3, "float32"),
])
def test_headerless_raw_from_a_bytesio(encoding, stored, channels, read_as):
    data = ramp(500, channels)
    if encoding == "pcm24":  # little-endian: the top three bytes of each int32
        expected = data.astype(np.int32) << 16
        payload = expected.astype("<i4").view(np.uint8).reshape(-1, 4)[:, 1:].tobytes()
    else:
        expected = data / 32768 if read_as == "float32" else data
        payload = expected.astype(stored).tobytes()
    described = dict(major="raw", encoding=encoding, samplerate=11025, channels=channels)
    got, rate = ondalis.read(io.BytesIO(payload), dtype=read_as, always_2d=True, **described)
    assert rate == 11025 and np.array_equal(got, expected)
    found = ondalis.info(io.BytesIO(payload), **described)
    assert (found.frames, found.channels, found.encoding) == (500, channels, encoding)


# --- targets ------------------------------------------------------------------------

def test_write_into_a_bytesio_keeps_what_stands_before_it():
    data = ramp(600, 2)
    target = io.BytesIO()
    target.write(b"prefix")
    assert ondalis.write(target, data, RATE, major="wav") == 600
    content = target.getvalue()
    assert content.startswith(b"prefix")
    with wave.open(io.BytesIO(content[6:])) as w:
        assert (w.getnchannels(), w.getframerate(), w.getsampwidth()) == (2, RATE, 2)
        assert np.array_equal(np.frombuffer(w.readframes(600), "<i2").reshape(600, 2), data)
    back, rate = soundfile.read(io.BytesIO(content[6:]), dtype="int16")
    assert rate == RATE and np.array_equal(back, data)


@pytest.mark.parametrize("name, major, sf_format", [
    ("x.flac", None, "FLAC"), ("x.aiff", None, "AIFF"), ("x.flac", "wav", "WAV"),
    ("x.bin", "caf", "CAF"),
])
def test_write_into_a_file_object_takes_the_format_from_its_name_or_major(
        tmp_path, name, major, sf_format):
    data = ramp(700, 1)[:, 0]
    with open(tmp_path / name, "wb") as f:
        ondalis.write(f, data, RATE, major=major)
    found = soundfile.info(tmp_path / name)
    assert (found.format, found.frames, found.channels) == (sf_format, 700, 1)
    assert np.array_equal(soundfile.read(tmp_path / name, dtype="int16")[0], data)


@pytest.mark.parametrize("major, sf_format", [("wav", "WAV"), ("flac", "FLAC"), ("au", "AU")])
def test_write_into_a_pipe(major, sf_format):
    data = ramp(50000, 2)  # more than a pipe holds: the reader runs beside the writer
    r, w = os.pipe()
    received = []
    reader = threading.Thread(target=lambda: received.append(open(r, "rb").read()))
    reader.start()
    with open(w, "wb", buffering=0) as target:
        assert not target.seekable()
        ondalis.write(target, data, RATE, major=major)
    reader.join()
    found = soundfile.info(io.BytesIO(received[0]))
    assert (found.format, found.frames) == (sf_format, 50000)
    assert np.array_equal(soundfile.read(io.BytesIO(received[0]), dtype="int16")[0], data)


@pytest.mark.parametrize("make", [io.BytesIO, lambda: open(os.pipe()[1], "wb")])
def test_a_target_without_a_name_needs_a_major_format(make):
    target = make()
    with target, pytest.raises(ValueError) as excinfo:
        ondalis.write(target, np.zeros(10), RATE)
    assert str(excinfo.value) == ("cannot tell the file format from the extension of ''; "
                                  "give the major format")


@pytest.mark.parametrize("mode, call, shown", [
    ("rb", lambda f, source: ondalis.write(f, np.zeros(10), RATE, major="wav"), "reading"),
    ("rb", lambda f, source: ondalis.convert(source, f, major="wav"), "reading"),
    ("wb", lambda f, source: ondalis.read(f), "writing"),
    ("wb", lambda f, source: ondalis.info(f), "writing"),
    ("wb", lambda f, source: ondalis.blocks(f, 16), "writing"),
])
def test_a_file_object_opened_the_other_way_says_so(tmp_path, wav, mode, call, shown):
    path = tmp_path / "other.wav"
    path.write_bytes(wav[0].read_bytes())
    before = path.read_bytes() if mode == "rb" else b""
    with open(path, mode) as f, pytest.raises(io.UnsupportedOperation) as excinfo:
        call(f, wav[0])
    assert str(excinfo.value) == f"file is open for {shown} only"
    assert path.read_bytes() == before


# --- out= ---------------------------------------------------------------------------

@pytest.mark.parametrize("room, fill", [(1000, None), (400, None), (1300, None), (1300, -7)])
def test_read_into_out_returns_it_filled(wav, room, fill):
    path, data = wav
    out = np.full((room, 2), 99, np.int16)
    got, rate = ondalis.read(path, out=out, fill_value=fill)
    n = min(room, 1000)
    assert rate == RATE and np.shares_memory(got, out) and np.array_equal(got[:n], data[:n])
    if room <= 1000 or fill is not None:
        assert got is out
    if fill is not None:
        assert (out[1000:] == fill).all()
    else:
        assert len(got) == n and (out[n:] == 99).all()


@pytest.mark.parametrize("out, error, message", [
    (np.zeros((10, 2), np.int8), TypeError,
     "out must hold float64, float32, int32 or int16 in native byte order"),
    (np.zeros((10, 2), ">f8"), TypeError,
     "out must hold float64, float32, int32 or int16 in native byte order"),
    (np.zeros((20, 2))[::2], ValueError, "out must be C-contiguous and aligned and writable"),
    (np.zeros((2, 10)).T, ValueError, "out must be C-contiguous and aligned and writable"),
    (np.zeros((10, 2)).view(), ValueError, "out must be C-contiguous and aligned and writable"),
    (np.zeros((10, 3)), ValueError, "out must have shape (frames, 2)"),
    (np.zeros(10), ValueError, "out must have shape (frames, 2)"),
    ([[0.0, 0.0]], TypeError, "out must be a numpy array, not list"),
])
def test_read_refuses_an_out_it_cannot_fill(wav, out, error, message):
    if isinstance(out, np.ndarray) and out.base is not None and out.flags.c_contiguous:
        out.flags.writeable = False
    with pytest.raises(error) as excinfo:
        ondalis.read(wav[0], out=out)
    assert str(excinfo.value) == message
    with pytest.raises(error):
        next(ondalis.blocks(wav[0], out=out))


@pytest.mark.parametrize("blocksize, overlap, fill", [(300, 0, None), (300, 100, None),
                                                      (300, 0, 5), (250, 50, 5)])
def test_blocks_into_out_yield_that_array(wav, blocksize, overlap, fill):
    path, data = wav
    out = np.empty((blocksize, 2), np.int32)
    expected = [b.copy() for b in ondalis.blocks(path, blocksize, overlap, dtype="int32",
                                                 fill_value=fill)]
    got = []
    for block in ondalis.blocks(path, overlap=overlap, out=out, fill_value=fill):
        assert np.shares_memory(block, out)
        if len(block) == blocksize:
            assert block is out
        got.append(block.copy())
    assert len(got) == len(expected)
    assert all(np.array_equal(a, b) for a, b in zip(got, expected))
    whole = data.astype(np.int32) << 16
    step = blocksize - overlap
    for i, block in enumerate(got):
        part = whole[i * step:i * step + blocksize]
        assert np.array_equal(block[:len(part)], part)
        if fill is None:
            assert len(block) == len(part)
        else:
            assert len(block) == blocksize and (block[len(part):] == fill).all()


# soundfile's blocks gives a first block of `frames + overlap` rows when the
# whole span is shorter than a block; the rows below avoid that case.
@pytest.mark.parametrize("blocksize, overlap, start, stop, frames, fill", [
    (128, 0, 0, None, -1, None), (128, 32, 0, None, -1, None), (100, 0, 10, 900, -1, None),
    (100, 20, -500, -50, -1, None), (100, 0, 250, None, 333, None), (100, 10, 0, None, 450, 0.5),
    (64, 0, -300, None, -1, -1.0), (100, 0, 990, 2000, -1, None), (100, 0, 500, 400, -1, None),
    (100, 0, 0, None, 1500, 0.25),
])
def test_blocks_choose_the_part_read_as_soundfile_does(wav, blocksize, overlap, start, stop,
                                                       frames, fill):
    path, _ = wav
    span = dict(start=start, stop=stop, frames=frames, fill_value=fill, dtype="float64")
    expected = list(soundfile.blocks(path, blocksize, overlap, **span))
    got = list(ondalis.blocks(path, blocksize, overlap, **span))
    assert [len(b) for b in got] == [len(b) for b in expected]
    assert all(np.array_equal(a, b) for a, b in zip(got, expected))


@pytest.mark.parametrize("start, stop, frames, fill", [
    (-300, -100, -1, None), (10, -990, -1, None), (-5, None, 10, 0.5), (990, 1200, -1, 0.5),
    (0, None, 1200, -0.25),
])
def test_read_chooses_the_part_read_as_soundfile_does(wav, start, stop, frames, fill, closing):
    path, _ = wav
    span = dict(start=start, stop=stop, frames=frames, fill_value=fill, dtype="float64")
    expected, _ = soundfile.read(path, **span)
    for source in (path, opened(path, closing), pipe_reader(path.read_bytes(), closing)):
        got, _ = ondalis.read(source, **span)
        assert got.shape == expected.shape and np.array_equal(got, expected)


# --- file objects that misbehave ----------------------------------------------------

class Reader(Seekable):
    """A binary reader over a BytesIO; the subclasses below each break one
    rule of the file-object protocol."""

    def __init__(self, content):
        super().__init__(io.BytesIO(content))

    def read(self, n=-1):
        self.calls += 1
        return self.f.read(n)


class ReadRaises(Reader):
    def read(self, n=-1):
        self.calls += 1
        return self.fail() if self.calls >= 3 else self.f.read(n)


class ReadGivesStr(Reader):
    def read(self, n=-1):
        return "RIFF"


class ReadGivesNone(Reader):
    def read(self, n=-1):
        return None


class ReadGivesTooMuch(Reader):
    def read(self, n=-1):
        return self.f.read(n) + b"\0"


class TellRaises(Reader):
    def tell(self):
        self.calls += 1
        return self.fail()


class TellNegative(Reader):
    def tell(self):
        return -4


class TellLies(Reader):
    def tell(self):
        return 0


class SeekRaises(Reader):
    def seek(self, *args):
        self.calls += 1
        return self.fail() if self.calls >= 2 else self.f.seek(*args)


class SeekIgnored(Reader):
    def seek(self, *args):
        return self.f.tell()


class SeekableRaises(Reader):
    def seekable(self):
        return self.fail()


class ClosedMidRead(Reader):
    def read(self, n=-1):
        self.calls += 1
        if self.calls == 4:
            self.f.close()
        return self.f.read(n)


class Trickle(Reader):
    """A raw stream's right: read(n) gives at most a few bytes a call."""

    def read(self, n=-1):
        return self.f.read(min(n, 5) if n >= 0 else 5)


CLOSED = "I/O operation on closed file."


@pytest.mark.parametrize("kind, error, message", [
    (ReadRaises, Fault, None),
    (ReadGivesStr, TypeError, "a bytes-like object is required, not 'str'"),
    (ReadGivesNone, TypeError, "a bytes-like object is required, not 'NoneType'"),
    (ReadGivesTooMuch, OSError, "the file object's read(12) returned 13 bytes"),
    (TellRaises, Fault, None),
    (TellNegative, OSError, "the file object's tell() returned a negative position"),
    (TellLies, OSError, None),
    (SeekRaises, Fault, None),
    (SeekIgnored, OSError, None),
    (SeekableRaises, Fault, None),
    (ClosedMidRead, ValueError, CLOSED),
])
@pytest.mark.parametrize("call", [ondalis.read, ondalis.info, lambda f: list(ondalis.blocks(f, 64))])
def test_a_misbehaving_file_object_gives_a_clear_error(wav, kind, error, message, call):
    source = kind(wav[0].read_bytes())
    before = sys.getrefcount(source)
    with pytest.raises(error) as excinfo:
        call(source)
    if error is Fault:
        assert excinfo.value is source.raised[0]
    elif message is not None:
        assert str(excinfo.value) == message
    else:  # libsndfile's reason, with the object named by its repr
        assert str(excinfo.value).startswith(f"cannot open {source!r}: ")
    del excinfo
    source.raised.clear()  # their tracebacks hold the object
    assert sys.getrefcount(source) == before


def test_short_reads_of_a_file_object_still_give_every_frame(sound):
    expected, _ = soundfile.read(sound, dtype="int16")
    source = Trickle(sound.read_bytes())
    before = sys.getrefcount(source)
    assert np.array_equal(ondalis.read(source, dtype="int16")[0], expected)
    assert sys.getrefcount(source) == before


def test_a_file_object_callback_may_open_another_file(wav):
    """No lock is held across a file object's callback: its read() may open
    other files, in this thread and in another that it waits for."""
    class Nested(Reader):
        def read(self, n=-1):
            assert ondalis.info(wav[0]).frames == len(wav[1])
            beside = threading.Thread(target=ondalis.info, args=(wav[0],))
            beside.start()
            beside.join(10)
            assert not beside.is_alive()
            return self.f.read(n)

    data, _ = ondalis.read(Nested(wav[0].read_bytes()), dtype="int16")
    assert np.array_equal(data, wav[1])


def test_a_lent_bytearray_cannot_be_resized_while_blocks_read_it(wav):
    path, data = wav
    source = bytearray(path.read_bytes())
    blocks = ondalis.blocks(source, 400, dtype="int16")
    first = next(blocks)
    with pytest.raises(BufferError):
        source.extend(b"\0" * 100000)
    rest = list(blocks)
    assert np.array_equal(np.concatenate([first, *rest]), data)
    del blocks
    source.extend(b"\0")  # the export ends with the iterator


def test_a_bytesio_stays_free_to_change_while_blocks_read_it(wav):
    """The stream reads the BytesIO's bytes as they were at the open: the
    caller may write over them and grow the BytesIO meanwhile."""
    path, data = wav
    source = io.BytesIO(path.read_bytes())
    blocks = ondalis.blocks(source, 400, dtype="int16")
    first = next(blocks)
    source.seek(44)
    source.write(b"\x55" * 100000)
    rest = list(blocks)
    assert np.array_equal(np.concatenate([first, *rest]), data)


@pytest.mark.parametrize("cut, frames", [(44 + 4 * 333 + 3, 333), (44 + 4000, 1000), (44, 0)])
def test_a_pipe_that_ends_inside_the_data_gives_the_frames_there(wav, cut, frames, closing):
    path, data = wav
    got, _ = ondalis.read(pipe_reader(path.read_bytes()[:cut], closing), dtype="int16")
    assert np.array_equal(got, data[:frames])


@pytest.mark.parametrize("cut", [0, 11, 30])
def test_a_pipe_that_ends_inside_the_header_is_refused(wav, cut, closing):
    source = pipe_reader(wav[0].read_bytes()[:cut], closing)
    with pytest.raises(OSError) as excinfo:
        ondalis.read(source)
    assert str(excinfo.value).startswith(f"cannot open {source!r}: ")


class FailingWriter(Seekable):
    """A writer over a real file whose write() raises once it has taken
    `limit` bytes."""

    def __init__(self, path, limit):
        super().__init__(open(path, "wb"))
        self.name, self.limit = str(path), limit

    def write(self, chunk):
        self.calls += 1
        return self.fail() if self.f.tell() + len(chunk) > self.limit else self.f.write(chunk)


@pytest.mark.parametrize("name, limit", [("a.wav", 0), ("a.wav", 44), ("a.wav", 2000),
                                         ("a.flac", 100)])
def test_a_failing_write_propagates_and_leaves_no_complete_looking_file(tmp_path, name, limit):
    data = ramp(1000, 2)
    target = FailingWriter(tmp_path / name, limit)
    before = sys.getrefcount(target)
    with pytest.raises(Fault) as excinfo:
        ondalis.write(target, data, RATE)
    assert excinfo.value is target.raised[0]
    del excinfo
    target.raised.clear()  # their tracebacks hold the object
    assert sys.getrefcount(target) == before
    target.f.close()
    try:
        back, _ = soundfile.read(tmp_path / name)
    except soundfile.LibsndfileError:
        return
    assert len(back) < len(data)


def test_a_failing_write_into_a_bytesio_leaves_it_empty():
    class Refusing(io.BytesIO):
        def write(self, chunk):
            raise Fault("no room")

    target = Refusing()
    with pytest.raises(Fault):
        ondalis.write(target, np.zeros(100), RATE, major="wav")
    assert target.getvalue() == b""


@pytest.mark.parametrize("make, label", [
    (bytearray, "<bytearray of 100000 bytes>"), (memoryview, "<memoryview of 100000 bytes>"),
    (lambda b: np.frombuffer(b, np.uint8), "<numpy.ndarray of 100000 bytes>"),
])
def test_a_buffer_that_is_no_sound_file_is_named_by_type_and_size(make, label):
    with pytest.raises(OSError) as excinfo:
        ondalis.read(make(b"\x01" * 100000))
    assert str(excinfo.value) == f"cannot open {label}: Format not recognised."


def test_a_str_name_that_is_not_utf8_opens_everywhere(tmp_path):
    """The names os.listdir gives for bytes that are not UTF-8 (surrogate
    escapes) open, write and convert as the file system spells them."""
    data = ramp(500, 2)
    name = os.path.join(str(tmp_path), os.fsdecode(b"caf\xe9.wav"))
    wave_wav(name, data)
    assert os.fsencode(name) in [os.path.join(os.fsencode(tmp_path), n)
                                 for n in os.listdir(os.fsencode(tmp_path))]
    assert np.array_equal(ondalis.read(name, dtype="int16")[0], data)
    assert ondalis.info(name).frames == 500
    target = os.path.join(str(tmp_path), os.fsdecode(b"\xff.flac"))
    ondalis.convert(name, target, progress=False)
    ondalis.write(os.path.join(str(tmp_path), os.fsdecode(b"w\xfe.wav")), data, RATE)
    assert np.array_equal(soundfile.read(os.fsencode(target), dtype="int16")[0], data)
    assert sorted(os.listdir(os.fsencode(tmp_path))) == [b"caf\xe9.wav", b"w\xfe.wav", b"\xff.flac"]
