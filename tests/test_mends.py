"""Closing that fails, reads to the end of files whose length libsndfile does
not know (or gets wrong), names that are not UTF-8, and descriptors or paths
refused before libsndfile is asked."""
import errno
import gc
import os
import sys
import wave

import numpy as np
import pytest
import soundfile

import _ondalis as m


def descriptors_of(path):
    """The descriptors of this process that refer to `path`."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == os.fsdecode(path):
                found.append(int(fd))
        except OSError:
            pass
    return found


def open_message(name, reason):
    """The text of the OSError of a failed open: both parts as bytes literals."""
    return f"Ondalis::error while opening {name!r}\n\t->{reason!r}"


# --- close ------------------------------------------------------------------------

def break_libsndfile_descriptor(path):
    """Closes libsndfile's own descriptor of `path` behind its back, so that
    its close(2) fails with EBADF. Nothing may open a descriptor before the
    object is closed, or it could take the freed number."""
    [fd] = descriptors_of(path)
    os.close(fd)


@pytest.mark.parametrize("closing", ["close", "with"])
def test_a_failed_close_raises_after_releasing_the_handle(stereo_wav, closing):
    f = m.Ondalis(stereo_wav)
    break_libsndfile_descriptor(stereo_wav)
    with pytest.raises(OSError) as excinfo:
        if closing == "close":
            f.close()
        else:
            with f:
                pass
    assert excinfo.type is OSError and excinfo.value.errno == errno.EBADF
    assert str(f) == "invalid sndfile"  # closed all the same
    assert f.close() is None  # and a second close does nothing
    with pytest.raises(RuntimeError):
        f.frames()


def test_a_failed_close_on_destruction_is_unraisable(stereo_wav, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    f = m.Ondalis(stereo_wav)
    break_libsndfile_descriptor(stereo_wav)
    del f
    gc.collect()
    [report] = reports
    assert type(report.exc_value) is OSError and report.exc_value.errno == errno.EBADF


# --- reading to the end -----------------------------------------------------------

def flac_claiming(tmp_path, samples, total):
    """A FLAC of `samples` (int16, frames x channels) written by soundfile, its
    STREAMINFO's 36-bit total-samples field then set to `total` (0: unknown)."""
    path = tmp_path / f"claims{total}.flac"
    soundfile.write(path, samples, 8000, subtype="PCM_16")
    data = bytearray(path.read_bytes())
    assert data[:4] == b"fLaC" and data[4] & 0x7F == 0  # STREAMINFO comes first
    # STREAMINFO starts at byte 8; its bits 108..143 hold the total samples.
    assert (data[21] & 0x0F) << 32 | int.from_bytes(data[22:26], "big") == len(samples)
    data[21] = data[21] & 0xF0 | total >> 32
    data[22:26] = (total & 0xFFFFFFFF).to_bytes(4, "big")
    path.write_bytes(bytes(data))
    return path


def ramp(frames, channels):
    values = (np.arange(frames * channels) * 7 % 60000 - 30000).astype(np.int16)
    return values.reshape(frames, channels)


UNKNOWN = 2**63 - 1  # libsndfile's frame count for an unknown length


# Frame counts around the first chunk of 65536 frames and past its doubling.
@pytest.mark.parametrize("frames, channels", [(10000, 2), (65536, 1), (65537, 1), (140000, 1)])
@pytest.mark.parametrize("total", [0, "more"])
def test_no_count_reads_what_the_file_holds(tmp_path, frames, channels, total):
    samples = ramp(frames, channels)
    path = flac_claiming(tmp_path, samples, 0 if total == 0 else frames + 4321)
    with m.Ondalis(path) as f:
        assert f.frames() == (UNKNOWN if total == 0 else frames + 4321)
        head = f.read_frames(100, np.int16, force_2d=True)
        rest = f.read_frames(dtype=np.int16, force_2d=True)
        assert np.array_equal(np.concatenate([head, rest]), samples)
        assert f.read_frames(-1).shape == ((0, channels) if channels > 1 else (0,))
        f.seek(0)
        every = f.read_frames(-5, np.float32)
        assert every.shape == ((frames, channels) if channels > 1 else (frames,))
        assert np.array_equal(every.reshape(frames, channels), samples / np.float32(32768))


@pytest.mark.parametrize("total", [0, 12000])
def test_an_explicit_count_keeps_its_short_read_rules(tmp_path, total):
    samples = ramp(10000, 2)
    path = flac_claiming(tmp_path, samples, total)
    with m.Ondalis(path) as f:
        with pytest.raises(RuntimeError) as excinfo:
            f.read_frames(12000, np.int16)
        assert str(excinfo.value) == "Asked 12000 frames, read 10000"
        f.seek(0)
        filled = f.read_frames(12000, np.int16, fill_value=-1)
        assert np.array_equal(filled[:10000], samples) and (filled[10000:] == -1).all()
        with pytest.raises(EOFError):
            f.read_frames(5, fill_value=0)


def test_a_fill_value_still_fills_a_file_shorter_than_announced(tmp_path):
    samples = ramp(10000, 2)
    with m.Ondalis(flac_claiming(tmp_path, samples, 12000)) as f:
        filled = f.read_frames(dtype=np.int16, fill_value=3)
    assert filled.shape == (12000, 2)
    assert np.array_equal(filled[:10000], samples) and (filled[10000:] == 3).all()


class ClosingNumpy:
    """numpy, except that its `empty` closes the file on the call `at`."""

    def __init__(self, at):
        self.file, self.at, self.calls = None, at, 0

    def __getattr__(self, name):
        return getattr(np, name)

    def empty(self, *args, **kwargs):
        self.calls += 1
        if self.calls == self.at:
            self.file.close()
        return np.empty(*args, **kwargs)


# The arrays of a read of 70000 frames: 65536, 131072 (the first one grown),
# then 70000 (what was read); the last is made when libsndfile is done.
@pytest.mark.parametrize("at", [1, 2, 3])
def test_a_read_to_the_end_takes_the_file_again_after_each_allocation(
        tmp_path, monkeypatch, at):
    samples = ramp(70000, 1)
    stand_in = ClosingNumpy(at)
    monkeypatch.setattr(m, "np", stand_in)
    with m.Ondalis(flac_claiming(tmp_path, samples, 0)) as f:
        stand_in.file = f
        if at < 3:
            with pytest.raises(RuntimeError) as excinfo:
                f.read_frames(dtype=np.int16)
            assert str(excinfo.value) == "Ondalis::error::no valid soundfilehandle"
        else:
            assert np.array_equal(f.read_frames(dtype=np.int16), samples[:, 0])
        assert str(f) == "invalid sndfile"
    assert stand_in.calls == at


# --- names that are not UTF-8 -----------------------------------------------------

def test_a_name_from_listdir_that_is_not_utf8_opens(tmp_path):
    raw = os.path.join(os.fsencode(tmp_path), b"caf\xe9.wav")
    with wave.open(open(raw, "wb")) as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(np.arange(7, dtype="<i2").tobytes())
    [name] = os.listdir(tmp_path)
    assert name == os.fsdecode(b"caf\xe9.wav")  # the byte 0xE9 as a lone surrogate
    with m.Ondalis(os.path.join(tmp_path, name)) as f:
        assert f.get_name() == raw
        assert np.array_equal(f.read_frames(dtype=np.int16), np.arange(7))
    made = os.path.join(str(tmp_path), os.fsdecode(b"\xff.wav"))
    with m.Ondalis(made, "w", m.construct_format("wav", "pcm16"), 1, 8000) as f:
        f.write_frames(np.zeros(3))
    assert sorted(os.listdir(os.fsencode(tmp_path))) == [b"caf\xe9.wav", b"\xff.wav"]
    missing = os.path.join(str(tmp_path), os.fsdecode(b"gone\xe9.wav"))
    with pytest.raises(OSError) as excinfo:
        m.Ondalis(missing)
    assert str(excinfo.value).startswith(
        f"Ondalis::error while opening {os.fsencode(missing)!r}\n\t->b'")


# --- refused before libsndfile is asked ---------------------------------------------

APPENDING = b"opened with O_APPEND: header rewrites would land at the end of the file"


@pytest.mark.parametrize("flags, mode, reason", [
    (os.O_WRONLY, "r", b"not open for reading"),
    (os.O_WRONLY, "rw", b"not open for reading"),
    (os.O_WRONLY | os.O_APPEND, "r", b"not open for reading"),
    (os.O_RDONLY, "w", b"not open for writing"),
    (os.O_RDONLY, "rw", b"not open for writing"),
    (os.O_RDWR | os.O_APPEND, "rw", APPENDING),
    (os.O_RDWR | os.O_APPEND, "w", APPENDING),
    (os.O_WRONLY | os.O_APPEND, "w", APPENDING),
])
def test_a_descriptor_that_does_not_fit_the_mode_is_refused(stereo_wav, flags, mode, reason):
    before = stereo_wav.read_bytes()
    fd = os.open(stereo_wav, flags)
    try:
        with pytest.raises(OSError) as excinfo:
            m.Ondalis(fd, mode, m.construct_format("wav", "pcm16"), 2, 8000)
        assert str(excinfo.value) == open_message(b"", reason)
        assert descriptors_of(stereo_wav) == [fd]  # the caller's, still open
    finally:
        os.close(fd)
    assert stereo_wav.read_bytes() == before


@pytest.mark.parametrize("flags, mode", [
    (os.O_RDWR | os.O_APPEND, "r"), (os.O_RDWR, "rw"), (os.O_WRONLY, "w")])
def test_a_descriptor_that_fits_the_mode_opens(stereo_wav, flags, mode):
    fd = os.open(stereo_wav, flags)
    try:
        with m.Ondalis(fd, mode, m.construct_format("wav", "pcm16"), 2, 8000) as f:
            if mode != "w":
                assert np.array_equal(f.read_frames(dtype=np.int16), np.arange(10).reshape(5, 2))
            if mode != "r":
                f.write_frames(np.full((3, 2), 0.5))
    finally:
        os.close(fd)
    with wave.open(str(stereo_wav)) as w:  # a reader that is not ours
        assert w.getnframes() == {"r": 5, "rw": 8, "w": 3}[mode]


@pytest.mark.parametrize("mode", ["r", "w", "rw"])
def test_a_directory_says_so(tmp_path, mode):
    fmt = m.construct_format("wav", "pcm16")
    with pytest.raises(OSError) as excinfo:
        m.Ondalis(tmp_path, mode, fmt, 1, 8000)
    assert str(excinfo.value) == open_message(os.fsencode(tmp_path), b"is a directory")
    (tmp_path / "link").symlink_to(tmp_path)
    with pytest.raises(OSError) as excinfo:
        m.Ondalis(tmp_path / "link", mode, fmt, 1, 8000)
    assert str(excinfo.value).endswith("->b'is a directory'")
    fd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        with pytest.raises(OSError) as excinfo:
            m.Ondalis(fd, mode, fmt, 1, 8000)
        assert str(excinfo.value) == open_message(b"", b"is a directory")
    finally:
        os.close(fd)
