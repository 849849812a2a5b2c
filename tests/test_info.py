"""What the object reports about its file, and its description."""
import os

import numpy as np
import pytest

from messages import NO_HANDLE


@pytest.fixture
def stereo(tmp_path, build):
    return build.pcm16_wav(tmp_path / "info.wav", np.zeros((123, 2)), channels=2,
                           samplerate=22050)


def description(file_line, channels, rate, frames, fmt, major, encoding):
    return ("----------------------------------------\n"
            f"{file_line}\n"
            f"Channels    : {channels}\n"
            f"Sample rate : {rate}\n"
            f"Frames      : {frames}\n"
            f"Raw Format  : {fmt}\n"
            f"File format : {major}\n"
            f"Encoding    : {encoding}\n"
            "Seekable    : 1\n")


def test_wave_module_file(m, stereo):
    with m.Ondalis(stereo) as f:
        values = (f.frames(), f.format(), f.channels(), f.samplerate(), f.seekable())
        assert values == (123, 65538, 2, 22050, 1)
        assert type(f.seekable()) is int
        assert (f.major_format_str(), f.encoding_str()) == ("wav", "pcm16")
        assert (f.error(), f.strError()) == (0, b"No Error.")
        assert str(f) == description(f"File        : {stereo}", 2, 22050, 123, "0x00010002",
                                     "wav", "pcm16")


@pytest.mark.parametrize("suffix, options, fmt, major, encoding", [
    ("aiff", (), 0x00020002, "aiff", "pcm16"),
    ("flac", ("-b", "24"), 0x00170003, "flac", "pcm24"),
    ("wav", ("-e", "floating-point", "-b", "32"), 0x00010006, "wav", "float32"),
    ("au", ("-e", "u-law"), 0x00030010, "au", "ulaw"),
])
def test_files_made_by_sox(m, build, stereo, tmp_path, suffix, options, fmt, major, encoding):
    path = build.sox_convert(stereo, tmp_path / f"x.{suffix}", *options)
    with m.Ondalis(path) as f:
        assert (f.format(), f.major_format_str(), f.encoding_str()) == (fmt, major, encoding)
        assert (f.frames(), f.channels(), f.samplerate()) == (123, 2, 22050)
        assert str(f).splitlines()[5:8] == [f"Raw Format  : {fmt:#010x}",
                                            f"File format : {major}", f"Encoding    : {encoding}"]


def test_values_stay_those_of_opening(m, wav_path):
    fmt = m.construct_format("wav", "float32")
    with m.Ondalis(wav_path, "w", format=fmt, channels=1, samplerate=8000) as f:
        f.write_frames(np.zeros(50, dtype=np.float32))
        assert f.frames() == 0
        assert str(f).splitlines()[4] == "Frames      : 0"


def test_descriptor_line(m, stereo):
    fd = os.open(stereo, os.O_RDONLY)
    try:
        with m.Ondalis(fd) as f:
            assert str(f) == description(f"File        : {fd} (opened by file descriptor)", 2,
                                         22050, 123, "0x00010002", "wav", "pcm16")
    finally:
        os.close(fd)


def test_tables_are_looked_up_at_each_call(m, stereo, monkeypatch):
    with m.Ondalis(stereo) as f:
        monkeypatch.setattr(m, "fileformat_id_to_name", {0x10000: "renamed"})
        assert f.major_format_str() == "renamed"
        assert "File format : renamed\n" in str(f)
        monkeypatch.setattr(m, "encoding_id_to_name", {})
        for call in (f.encoding_str, lambda: str(f)):
            with pytest.raises(KeyError) as excinfo:
                call()
            assert excinfo.value.args == (2,)


def test_name_that_is_not_utf8(m, build, tmp_path):
    path = os.path.join(os.fsencode(tmp_path), b"\xff.wav")
    build.pcm16_wav(os.fsdecode(path), np.zeros(4))
    with m.Ondalis(path) as f:
        assert f.frames() == 4
        with pytest.raises(UnicodeDecodeError):
            str(f)


ACCESSORS = ["frames", "format", "channels", "samplerate", "seekable", "error", "strError",
             "major_format_str", "encoding_str"]


@pytest.mark.parametrize("name", ACCESSORS)
def test_arguments_and_closed_object(m, stereo, name):
    f = m.Ondalis(stereo)
    method = getattr(f, name)
    with pytest.raises(TypeError) as excinfo:
        method(1)
    assert str(excinfo.value) == f"{name}() takes exactly 0 positional arguments (1 given)"
    with pytest.raises(TypeError):
        method(x=1)
    f.close()
    with pytest.raises(RuntimeError) as excinfo:
        method()
    assert str(excinfo.value) == NO_HANDLE
    assert str(f) == "invalid sndfile"


def test_pipe_is_not_seekable(m, build):
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, build.wav_bytes(np.zeros(16)))
        os.close(write_end)
        with m.Ondalis(read_end) as f:
            assert f.seekable() == 0 and type(f.seekable()) is int
            assert str(f).endswith("Seekable    : 0\n")
    finally:
        os.close(read_end)


def test_repr_names_the_file_its_mode_and_its_shape(m, stereo, tmp_path):
    with m.Ondalis(stereo) as f:
        assert repr(f) == f"<Ondalis {str(stereo)!r} r 22050 Hz 2 ch 123 frames>"
    assert repr(f) == "<Ondalis closed>"
    fd = os.open(stereo, os.O_RDONLY)
    try:
        with m.Ondalis(fd, "r") as f:
            assert repr(f) == "<Ondalis fd %d r 22050 Hz 2 ch 123 frames>" % fd
    finally:
        os.close(fd)
    target = os.path.join(str(tmp_path), os.fsdecode(b"caf\xe9.wav"))
    with m.Ondalis(target, "w", m.construct_format("wav", "pcm16"), 1, 44100) as f:
        assert repr(f) == f"<Ondalis {target!r} w 44100 Hz 1 ch 0 frames>"
