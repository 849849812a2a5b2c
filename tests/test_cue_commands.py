"""Cue point commands: lists of SfCuePoint to and from libsndfile's cue list."""
import struct
import types

import pytest

import _ondalis as m
from conftest import pcm16_wav
from messages import NO_HANDLE
from riff import (chunk, closed_file, command_id, new_file, recording_checker, recording_class,
                  riff_chunks, write_wav)

GET = command_id("SFC_GET_CUE")
SET = command_id("SFC_SET_CUE")
DATA = struct.unpack("<i", b"data")[0]
FIELDS = ["indx", "position", "fcc_chunk", "chunk_start", "block_start", "sample_offset", "name"]


def point(i, **changes):
    values = dict(indx=i, position=i * 10, fcc_chunk=DATA, chunk_start=0, block_start=0,
                  sample_offset=i * 10, name="")
    values.update(changes)
    return m.SfCuePoint(**values)


def read_cues(path):
    with m.Ondalis(path) as f:
        return f._cue_get_command(GET)


def written_points(path):
    """The points of the file's cue chunk, as stdlib struct reads them."""
    body = riff_chunks(path)[b"cue "]
    (count,) = struct.unpack_from("<I", body)
    return [struct.unpack_from("<iIiiiI", body, 4 + 24 * i) for i in range(count)]


def members(p):
    return (p.indx, p.position, p.fcc_chunk, p.chunk_start, p.block_start, p.sample_offset)


def hand_built(path, points, names):
    """A WAV whose cue chunk holds `points` and whose adtl list labels them."""
    cue = chunk(b"cue ", struct.pack("<I", len(points)) +
                b"".join(struct.pack("<iI4siiI", *p) for p in points))
    labels = b"".join(chunk(b"labl", struct.pack("<I", p[0]) + name + b"\0")
                      for p, name in zip(points, names))
    return write_wav(path, cue, chunk(b"LIST", b"adtl" + labels))


# 100 points fit libsndfile's declared SF_CUES; 101 need the longer structure.
@pytest.mark.parametrize("n", [0, 1, 100, 101])
def test_wav_round_trip(wav_path, n):
    points = [point(i) for i in range(n)]
    with new_file(wav_path) as f:
        assert f._cue_set_command(command=SET, arg=points) is None
    assert written_points(wav_path) == [members(p) for p in points]
    assert read_cues(wav_path) == points


def test_member_boundaries_and_conversions(wav_path):
    # A name of 255 bytes is the longest accepted (WAV cue chunks drop names).
    given = [point(-1, position=4294967295, sample_offset=4294967295, name="x" * 255),
             point(1, position=10.9, chunk_start=-2147483648, block_start=2147483647),
             point(2, position=True, fcc_chunk=0)]
    expected = [(-1, 4294967295, DATA, 0, 0, 4294967295),
                (1, 10, DATA, -2147483648, 2147483647, 10),
                (2, 1, 0, 0, 0, 20)]
    with new_file(wav_path) as f:
        f._cue_set_command(SET, given)
    assert written_points(wav_path) == expected
    assert [members(p) for p in read_cues(wav_path)] == expected


def test_reads_a_hand_built_list_of_150_points(tmp_path):
    raw = [(i + 1, i * 3, b"data", 0, 7, i * 5) for i in range(150)]
    names = ["x" * 255] + [f"marker {i} é" for i in range(1, 150)]
    path = hand_built(tmp_path / "cues.wav", raw, [n.encode() for n in names])
    expected = [m.SfCuePoint(i + 1, i * 3, DATA, 0, 7, i * 5, name)
                for i, name in enumerate(names)]
    with m.Ondalis(path) as f:
        assert f._cue_get_command(command=GET) == expected


def test_name_that_is_not_utf8_fails_reading(tmp_path):
    path = hand_built(tmp_path / "cues.wav", [(1, 0, b"data", 0, 0, 0)], [b"caf\xe9"])
    with pytest.raises(UnicodeDecodeError):
        read_cues(path)


def test_file_without_cues_gives_empty_list(tmp_path):
    assert read_cues(pcm16_wav(tmp_path / "plain.wav", [0, 1, 2])) == []


# libsndfile 1.2.0 keeps names only in AIFF markers (WAV cue chunks have no
# names), and writes an unreadable AIFF for names of 254 bytes or more.
@pytest.mark.parametrize("name, expected", [("näme", "näme"), (None, ""), ("", ""),
                                            ("x" * 253, "x" * 253)])
def test_aiff_round_trip_of_names(tmp_path, name, expected):
    path = tmp_path / "names.aiff"
    with new_file(path, "aiff") as f:
        f._cue_set_command(SET, [point(1, name=name)])
    assert [p.name for p in read_cues(path)] == [expected]


@pytest.mark.parametrize("change, error, message", [
    (dict(name="x" * 256), RuntimeError,
     "Ondalis::error:: name is too long (256) in SFC_SET_CUE, maximum length is 255"),
    (dict(name="é" * 128), RuntimeError,
     "Ondalis::error:: name is too long (256) in SFC_SET_CUE, maximum length is 255"),
    (dict(name=b"bytes"), AttributeError, None),
    (dict(position=-1), OverflowError, "can't convert negative value to unsigned int"),
    (dict(sample_offset=2**32), OverflowError, "value too large to convert to unsigned int"),
    (dict(indx=2**31), OverflowError, "value too large to convert to int"),
    (dict(block_start="7"), TypeError, "an integer is required"),
])
def test_bad_point_sends_nothing(wav_path, change, error, message):
    with new_file(wav_path) as f:
        with pytest.raises(error) as excinfo:
            f._cue_set_command(SET, [point(0), point(1, **change)])
    if message is not None:
        assert str(excinfo.value) == message
    assert b"cue " not in riff_chunks(wav_path)


def test_missing_attribute(wav_path):
    incomplete = types.SimpleNamespace(**{k: 0 for k in FIELDS[:-1]})
    with new_file(wav_path) as f, pytest.raises(AttributeError):
        f._cue_set_command(SET, [incomplete])


def test_list_too_long_for_libsndfile_is_refused_before_use(wav_path):
    class Huge:
        def __len__(self):
            return 7669585

        def __getitem__(self, i):
            raise AssertionError("no point may be read")

    with new_file(wav_path) as f, pytest.raises(RuntimeError) as excinfo:
        f._cue_set_command(SET, Huge())
    assert str(excinfo.value) == (
        "Ondalis::error:: too many cue points (7669585) in SFC_SET_CUE, maximum is 7669584")


def test_record_class_and_checker_are_looked_up_at_each_use(tmp_path, monkeypatch):
    path = hand_built(tmp_path / "cues.wav", [(1, 0, b"data", 0, 0, 0), (2, 5, b"data", 0, 0, 5)],
                      [b"a", b"b"])
    record = recording_class()
    monkeypatch.setattr(m, "SfCuePoint", record)
    got = read_cues(path)
    assert record.calls == [FIELDS, FIELDS]
    assert [(p.indx, p.name) for p in got] == [(1, "a"), (2, "b")]
    checks = []
    monkeypatch.setattr(m, "_check_command_retval", recording_checker(checks))
    with new_file(tmp_path / "out.wav") as f:
        f._cue_set_command(SET, [])
    assert checks == [(1, SET, 0)]


@pytest.mark.parametrize("call", [lambda f: f._cue_get_command(GET),
                                  lambda f: f._cue_set_command(SET, [])])
def test_closed_object(wav_path, call):
    with pytest.raises(RuntimeError) as excinfo:
        call(closed_file(wav_path))
    assert str(excinfo.value) == NO_HANDLE
