"""Strings that libsndfile writes while closing, on a full disk.

libsndfile writes a string set after the frames (any string of a file opened
'rw', and the strings of a file that got no frame, with its header) when the
file is closed, and sf_close answers success when that write fails: close()
must find the loss and raise OSError. The disk is a real small tmpfs: the
filler takes every page left, and the sound file ends on a page boundary, so
that whatever libsndfile appends at close finds no room.
"""
import contextlib
import errno
import os

import numpy as np
import pytest
import soundfile

import _ondalis as m
from conftest import pcm16_wav

PAGE = os.sysconf("SC_PAGE_SIZE")
LONGEST = b"x" * 2040  # the longest WAV string libsndfile reads back


def fill(folder):
    """Takes every page left on the tmpfs at `folder`."""
    fd = os.open(folder / "filler", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    try:
        while True:
            os.write(fd, bytes(PAGE))
    except OSError as error:
        assert error.errno == errno.ENOSPC
    finally:
        os.close(fd)


def to_page_end(f, path):
    """Silent frames, at least a few, until the mono 16-bit file ends on a
    page boundary."""
    f.write_frames(np.zeros(100, dtype=np.int16))
    f.command("SFC_UPDATE_HEADER_NOW")
    missing = -os.path.getsize(path) % PAGE
    assert missing % 2 == 0
    f.write_frames(np.zeros(missing // 2, dtype=np.int16))
    assert os.path.getsize(path) % PAGE == 0


def new(path, major, name=None):
    """A mono 16-bit file opened for writing, by `name` (a path or a descriptor)."""
    fmt = m.construct_format(major, "pcm16")
    return m.Ondalis(path if name is None else name, "w", fmt, 1, 8000)


def after_frames(major):
    def opened(path, stack):
        f = new(path, major)
        to_page_end(f, path)
        return f
    return opened


def by_descriptor(path, stack):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT)  # write only: read back through /proc
    stack.callback(os.close, fd)
    f = new(path, "wav", fd)
    to_page_end(f, path)
    return f


def opened_rw(path, stack):
    pcm16_wav(path, np.zeros((PAGE - 44) // 2), samplerate=8000)  # 44-byte header
    assert os.path.getsize(path) == PAGE
    return m.Ondalis(path, "rw", m.construct_format("wav", "pcm16"))


TITLE = {"SF_STR_TITLE": b"late title"}
# With the header but never a frame: the header grows past its page at close.
HEADER = {"SF_STR_TITLE": LONGEST, "SF_STR_ARTIST": LONGEST, "SF_STR_COMMENT": LONGEST}


CASES = [
    ("late.wav", after_frames("wav"), TITLE),
    ("late.aiff", after_frames("aiff"), TITLE),
    ("late.caf", after_frames("caf"), TITLE),
    ("fd.wav", by_descriptor, TITLE),
    ("rw.wav", opened_rw, TITLE),
    ("header.wav", lambda path, stack: new(path, "wav"), HEADER),
]


@pytest.mark.parametrize("name, open_file, strings", CASES, ids=[case[0] for case in CASES])
@pytest.mark.parametrize("full", [True, False], ids=["full", "room"])
def test_strings_lost_at_close_raise(small_disk, name, open_file, strings, full):
    path = small_disk / name
    with contextlib.ExitStack() as stack:  # descriptors the file was opened by
        closed_as_expected(path, open_file(path, stack), strings, full, small_disk)


def closed_as_expected(path, f, strings, full, small_disk):
    if full:
        fill(small_disk)
    f.set_strings(strings)
    if not full:
        assert f.close() is None
        with soundfile.SoundFile(path) as written:
            assert written.title == strings["SF_STR_TITLE"].decode()
        return
    with pytest.raises(OSError) as excinfo:
        f.close()
    shown = b"" if f.get_name() == b"" else os.fsencode(path)
    assert str(excinfo.value) == (
        f"Ondalis::error while closing {shown!r}\n\t->{', '.join(strings)} did not reach the "
        "file (is the disk full?)")
    assert str(f) == "invalid sndfile"  # closed all the same
    assert f.close() is None


# Types a format does not keep (WAV drops SF_STR_LICENSE, AIFF keeps five) and
# texts libsndfile changes (its name after the software) are no loss.
@pytest.mark.parametrize("major", ["wav", "rf64", "aiff", "caf", "flac"])
@pytest.mark.parametrize("frames_first", [True, False])
def test_every_string_type_closes_without_error_on_a_disk_with_room(tmp_path, major,
                                                                    frames_first):
    f = new(tmp_path / f"all.{major}", major)
    if frames_first:
        f.write_frames(np.zeros(10, dtype=np.int16))
    for name in m.stringtype_name_to_id:
        try:
            f.set_string(name, name.encode())
        except RuntimeError:  # FLAC takes no string after the frames
            assert frames_first and major == "flac"
    assert f.close() is None
