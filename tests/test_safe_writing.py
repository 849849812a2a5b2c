"""write and convert never harm what was there: a regular file is written
beside its target and moves over it only when finished and read back; a
failure or an interrupt leaves the target as it was and nothing beside it.
Devices and FIFOs are written in place and never removed."""
import inspect
import io
import os
import stat
import sys
import threading

import numpy as np
import pytest
import soundfile

import ondalis
from ondalis import _safe
import sample_files

KEEP = b"an existing file that a failed call must not touch"


def stereo(frames=4000):
    return np.random.default_rng(7).uniform(-0.5, 0.5, (frames, 2))


def only(folder, *names):
    """The folder holds exactly these names: no new file left beside them."""
    assert sorted(os.listdir(folder)) == sorted(names)


class BreaksAfter(io.RawIOBase):
    """A real FLAC read through a file object that raises `error` once
    `limit` bytes have been read."""

    def __init__(self, path, limit, error):
        self.file, self.limit, self.error = open(path, "rb"), limit, error

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        if self.file.tell() >= self.limit:
            raise self.error
        return self.file.readinto(buffer)

    def seek(self, offset, whence=0):
        return self.file.seek(offset, whence)

    def tell(self):
        return self.file.tell()

    def close(self):
        self.file.close()
        super().close()


@pytest.fixture
def long_flac(tmp_path):
    path = tmp_path / "src" / "long.flac"
    path.parent.mkdir()
    soundfile.write(path, stereo(200_000), 44100, subtype="PCM_16")
    return path


@pytest.mark.parametrize("error", [OSError(5, "Input/output error"), KeyboardInterrupt()])
def test_a_conversion_that_fails_midway_leaves_the_old_target(tmp_path, long_flac, error):
    out = tmp_path / "out"
    out.mkdir()
    (out / "keep.wav").write_bytes(KEEP)
    source = BreaksAfter(long_flac, os.path.getsize(long_flac) // 2, error)
    with pytest.raises(type(error)):
        ondalis.convert(source, out / "keep.wav", progress=False)
    source.close()
    assert (out / "keep.wav").read_bytes() == KEEP
    only(out, "keep.wav")


def test_a_write_that_fails_leaves_nothing(tmp_path):
    (tmp_path / "keep.opus").write_bytes(KEEP)
    with pytest.raises(OSError, match="'.*keep.opus'.*sample rates") as excinfo:
        ondalis.write(tmp_path / "keep.opus", stereo(), 44100)   # Opus refuses 44.1 kHz
    assert ".part" not in str(excinfo.value)
    assert (tmp_path / "keep.opus").read_bytes() == KEEP
    only(tmp_path, "keep.opus")


def test_replacing_keeps_the_files_mode_and_a_symlink_stays_a_link(tmp_path):
    real = tmp_path / "real.wav"
    real.write_bytes(KEEP)
    os.chmod(real, 0o640)
    link = tmp_path / "link.wav"
    link.symlink_to(real)
    ondalis.write(link, stereo(), 8000)
    assert link.is_symlink() and os.readlink(link) == str(real)
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o640
    assert soundfile.info(real).frames == 4000
    only(tmp_path, "real.wav", "link.wav")


def test_a_new_file_gets_the_mode_the_umask_gives(tmp_path):
    old = os.umask(0o027)
    try:
        ondalis.write(tmp_path / "new.wav", stereo(), 8000)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new.wav").st_mode) == 0o640


def test_a_fifo_is_written_in_place_and_kept(tmp_path):
    fifo = tmp_path / "pipe.wav"
    os.mkfifo(fifo)
    received = bytearray()

    def drain():
        with open(fifo, "rb") as r:
            received.extend(r.read())
    reader = threading.Thread(target=drain)
    reader.start()
    frames, lost = ondalis.convert(sample_files.every_metadata_wav(tmp_path / "every.wav"),
                                   fifo, progress=False)
    reader.join(timeout=60)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    data, _ = soundfile.read(io.BytesIO(bytes(received)), dtype="int16")
    assert frames == sample_files.FRAMES and np.array_equal(data, sample_files.samples())
    assert lost == ["channel map"]  # the acid chunk (loop information) is carried


def test_a_device_is_written_in_place_and_kept():
    assert ondalis.write("/dev/null", stereo(), 8000, major="wav") == 4000
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


@pytest.mark.parametrize("name", ["full.flac", "full.wav"])
def test_a_full_disk_is_an_error_and_the_old_file_stays(small_disk, name):
    (small_disk / name).write_bytes(KEEP)
    with pytest.raises(OSError):
        ondalis.write(small_disk / name, stereo(400_000), 44100)
    assert (small_disk / name).read_bytes() == KEEP
    only(small_disk, name)


@pytest.mark.parametrize("name, data, message", [
    ("nan.flac", np.array([0.1, np.nan, np.inf, 0.2]),
     r"data holds 2 NaN or infinite sample\(s\), the first at index 1; the pcm16 encoding"),
    ("nan.wav", np.array([[0.0, 0.1], [0.2, -np.inf]]), r"1 NaN or infinite .* index \(1, 1\)"),
    ("wide.flac", np.zeros((100, 9)), r"flac files hold at most 8 channels, got 9$"),
    ("transposed.wav", np.zeros((2, 44100)),
     r"at most 1024 channels, got 44100; data of shape \(2, 44100\) looks like "
     r"\(channels, frames\): pass data\.T"),
])
def test_write_refuses_what_it_cannot_store_before_any_file_exists(tmp_path, name, data,
                                                                  message):
    with pytest.raises(ValueError, match=message):
        ondalis.write(tmp_path / name, data, 8000)
    only(tmp_path)


def test_float_encodings_keep_nan_and_big_endian_arrays_are_written_as_numbers(tmp_path):
    special = np.array([np.nan, np.inf, -np.inf, 0.25])
    ondalis.write(tmp_path / "keep.wav", special, 8000, encoding="float64")
    back, _ = soundfile.read(tmp_path / "keep.wav")
    assert np.array_equal(back, special, equal_nan=True)
    swapped = np.array([[1000, -2000], [3000, -4000]], dtype=">i2")
    ondalis.write(tmp_path / "be.wav", swapped, 8000)
    assert np.array_equal(soundfile.read(tmp_path / "be.wav", dtype="int16")[0], swapped)


@pytest.mark.parametrize("flags, mode, message", [
    (os.O_WRONLY | os.O_CREAT | os.O_APPEND, "w", "is open for appending"),
    (os.O_RDWR | os.O_CREAT | os.O_APPEND, "w", "is open for appending"),
    (os.O_WRONLY | os.O_CREAT, "r", "is not open for reading"),
    (os.O_RDONLY | os.O_CREAT, "w", "is not open for writing"),
])
def test_a_descriptor_that_does_not_fit_is_refused_before_libsndfile(tmp_path, flags, mode,
                                                                      message):
    path = tmp_path / "fd.wav"
    soundfile.write(path, np.zeros((10, 2)), 8000)
    before = path.read_bytes()
    fd = os.open(path, flags)
    try:
        with pytest.raises(OSError, match=f"descriptor {fd} {message}"):
            if mode == "r":
                ondalis.read(fd)
            else:
                ondalis.write(fd, stereo(), 8000, major="wav")
    finally:
        os.close(fd)
    assert path.read_bytes() == before


def test_a_directory_descriptor_is_a_directory(tmp_path):
    fd = os.open(tmp_path, os.O_RDONLY)
    try:
        with pytest.raises(IsADirectoryError):
            ondalis.info(fd)
    finally:
        os.close(fd)


def interrupting_at(code, line):
    """A trace function that raises KeyboardInterrupt as `code` reaches `line`,
    as Ctrl-C would between two of its statements."""
    def local(frame, event, arg):
        if event == "line" and frame.f_lineno == line:
            raise KeyboardInterrupt
        return local
    return lambda frame, event, arg: local if frame.f_code is code else None


def test_an_interrupt_anywhere_while_the_new_file_is_made_leaves_nothing(tmp_path):
    target = tmp_path / "take.wav"
    target.write_bytes(b"old")
    code = _safe._Part.create.__code__
    lines = sorted({line for _, _, line in code.co_lines() if line and line > code.co_firstlineno})
    interrupted = set()
    for line in lines:
        sys.settrace(interrupting_at(code, line))
        try:
            with _safe.written(target):
                pass
        except KeyboardInterrupt:
            interrupted.add(line)
            assert target.read_bytes() == b"old"
        else:  # the line was not reached: the (empty) new file replaced it
            target.write_bytes(b"old")
        finally:
            sys.settrace(None)
        assert sorted(tmp_path.iterdir()) == [target], f"left behind, interrupted at line {line}"
    # Among them: right after the exclusive open made the file, and after its
    # name is known.
    source, first = inspect.getsourcelines(_safe._Part.create)
    after = {first + i for i, text in enumerate(source)
             if "self.path = path" in text or "made = os.fstat(fd)" in text}
    assert len(after) == 2 and after <= interrupted
