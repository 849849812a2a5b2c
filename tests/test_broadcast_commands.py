"""Broadcast extension commands: SF_BROADCAST_INFO as SfBroadcastInfo."""
import dataclasses
import struct

import pytest

import _ondalis as m
from conftest import pcm16_wav
from messages import NO_HANDLE
from riff import (chunk, closed_file, command_id, on_file, on_new_file, recording_class,
                  riff_chunks, write_wav)

GET = command_id("SFC_GET_BROADCAST_INFO")
SET = command_id("SFC_SET_BROADCAST_INFO")
# The bext chunk: description, originator, reference, date, time, time
# reference low and high, version, UMID, five loudness values, reserved; the
# coding history follows the 602 fixed bytes.
BEXT = struct.Struct("<256s32s32s10s8sIIH64s5h180s")
FIELDS = [f.name for f in dataclasses.fields(m.SfBroadcastInfo)]


def info(**changes):
    values = dict(description="d" * 256, originator="ö" * 16, originator_reference="ref",
                  origination_date="2024-01-02", origination_time="12:34:56",
                  time_reference=2**32 + 5, version=1, umid=bytes(range(10)),
                  loudness_value=-32768, loudness_range=32767, max_true_peak_level=-1,
                  max_momentary_loudness=0, max_shortterm_loudness=5, coding_history="")
    values.update(changes)
    return m.SfBroadcastInfo(**values)


def read(path):
    return on_file(path, "_broadcast_get_command", GET)


def write(path, record):
    return on_new_file(path, "_broadcast_set_command", SET, record)


def bext_chunk(history, description=b"desc"):
    fixed = BEXT.pack(description, b"orig", b"ref", b"2024-01-02", b"12:34:56", 5, 1, 1,
                      b"\xff" * 64, -1, 2, 3, 4, 5, b"")
    return chunk(b"bext", fixed + history)


def as_crlf_lines(text):
    return text.replace("\n", "\r\n") + ("\r\n" if text else "")


# 255 bytes of coding history fit the declared 864-byte structure, 256 and
# more need a longer one.
@pytest.mark.parametrize("history, time_reference", [
    ("", 2**32 + 5), ("x" * 255, 2**64 - 1), ("y" * 256, 0), ("line\nz" * 200, 1)])
def test_wav_round_trip(wav_path, history, time_reference):
    given = info(coding_history=history, time_reference=time_reference)
    assert write(wav_path, given) is None
    raw = riff_chunks(wav_path)[b"bext"]
    fixed = BEXT.unpack_from(raw)
    assert fixed[:5] == (b"d" * 256, "ö".encode() * 16, b"ref".ljust(32, b"\0"), b"2024-01-02",
                         b"12:34:56")
    assert fixed[5:7] == (time_reference & 0xFFFFFFFF, time_reference >> 32)
    assert fixed[8:14] == (bytes(range(10)).ljust(64, b"\0"), -32768, 32767, -1, 0, 5)
    got = read(wav_path)
    assert got.coding_history == raw[BEXT.size:].decode()
    # libsndfile writes version 2, ends each history line in CR LF and
    # appends a line of its own.
    assert got.coding_history.startswith(as_crlf_lines(history))
    assert got == dataclasses.replace(given, version=2, umid=fixed[8],
                                      coding_history=got.coding_history)


@pytest.mark.parametrize("umid, stored", [
    (bytes(range(10)), bytes(range(10)).ljust(64, b"\0")),
    (b"\xff" * 64, b"\xff" * 64),
    (bytearray(b"\x01\x02"), b"\x01\x02".ljust(64, b"\0")),
    ([0, 255, 7], b"\x00\xff\x07".ljust(64, b"\0")),
    (None, bytes(64)),
    (b"", bytes(64)),
])
def test_umid(wav_path, umid, stored):
    write(wav_path, info(umid=umid))
    assert BEXT.unpack_from(riff_chunks(wav_path)[b"bext"])[8] == stored
    assert read(wav_path).umid == stored


@pytest.mark.parametrize("n", [0, 1, 255, 256, 5000])
def test_reads_a_hand_built_chunk(tmp_path, n):
    history = "h" * n if n < 2 else "h" * (n - 2) + "é"  # n bytes of UTF-8
    path = write_wav(tmp_path / "bext.wav", bext_chunk(history.encode()))
    assert read(path) == m.SfBroadcastInfo(
        description="desc", originator="orig", originator_reference="ref",
        origination_date="2024-01-02", origination_time="12:34:56", time_reference=2**32 + 5,
        version=1, umid=b"\xff" * 64, loudness_value=-1, loudness_range=2,
        max_true_peak_level=3, max_momentary_loudness=4, max_shortterm_loudness=5,
        coding_history=history)


@pytest.mark.parametrize("chunk_bytes", [bext_chunk(b"", description=b"caf\xe9"),
                                         bext_chunk(b"ok\xff")])
def test_text_that_is_not_utf8_fails_reading(tmp_path, chunk_bytes):
    with pytest.raises(UnicodeDecodeError):
        read(write_wav(tmp_path / "bext.wav", chunk_bytes))


def test_file_without_chunk_gives_none(tmp_path):
    assert read(pcm16_wav(tmp_path / "plain.wav", [0])) is None


@pytest.mark.parametrize("change, error, message", [
    # The coding history is encoded first, before any other member is read.
    (dict(coding_history=None, description="x" * 257), AttributeError, None),
    (dict(description="x" * 257), RuntimeError,
     "Ondalis::error:: description is too long (257) in SFC_SET_BROADCAST_INFO, "
     "maximum length is 256"),
    (dict(origination_time="12:34:567"), RuntimeError,
     "Ondalis::error:: origination_time is too long (9) in SFC_SET_BROADCAST_INFO, "
     "maximum length is 8"),
    (dict(originator=b"bytes"), AttributeError, None),
    (dict(time_reference=-1), OverflowError, "can't convert negative value to uint64_t"),
    (dict(time_reference=2**64), OverflowError, None),
    (dict(version=32768), OverflowError, "value too large to convert to short"),
    (dict(version="1"), TypeError, "an integer is required"),
    (dict(umid=bytes(65)), RuntimeError,
     "Ondalis::error:: umid is too long (65) in SFC_SET_BROADCAST_INFO, maximum length is 64"),
    (dict(umid=[1, 256]), ValueError,
     "Ondalis::error:: umid item 1 value 256 in SFC_SET_BROADCAST_INFO is not a byte value "
     "(0-255)"),
    (dict(umid=[-1]), ValueError,
     "Ondalis::error:: umid item 0 value -1 in SFC_SET_BROADCAST_INFO is not a byte value "
     "(0-255)"),
    (dict(loudness_value=32768), RuntimeError,
     "Ondalis::error:: command SFC_SET_BROADCAST_INFO argument loudness_value value 32768 "
     "is out of range -32768-32767"),
    (dict(max_shortterm_loudness=-32769), RuntimeError,
     "Ondalis::error:: command SFC_SET_BROADCAST_INFO argument max_shortterm_loudness "
     "value -32769 is out of range -32768-32767"),
    (dict(loudness_range="1"), TypeError, None),
])
def test_bad_record_sends_nothing(wav_path, change, error, message):
    with pytest.raises(error) as excinfo:
        write(wav_path, info(**change))
    if message is not None:
        assert str(excinfo.value) == message
    assert read(wav_path) is None


def test_refusal_by_libsndfile(tmp_path):
    path = pcm16_wav(tmp_path / "plain.wav", [0])
    with m.Ondalis(path) as f, pytest.raises(RuntimeError) as excinfo:
        f._broadcast_set_command(command=SET, arg=info())
    assert str(excinfo.value) == "Ondalis::error:: command SFC_SET_BROADCAST_INFO failed"


def test_record_class_is_looked_up_at_each_use(tmp_path, monkeypatch):
    path = write_wav(tmp_path / "bext.wav", bext_chunk(b"h" * 300))
    record = recording_class()
    monkeypatch.setattr(m, "SfBroadcastInfo", record)
    with m.Ondalis(path) as f:
        got = f._broadcast_get_command(command=GET)
    assert record.calls == [FIELDS]
    assert (got.description, got.coding_history) == ("desc", "h" * 300)


@pytest.mark.parametrize("call", [lambda f: f._broadcast_get_command(GET),
                                  lambda f: f._broadcast_set_command(SET, info())])
def test_closed_object(wav_path, call):
    with pytest.raises(RuntimeError) as excinfo:
        call(closed_file(wav_path))
    assert str(excinfo.value) == NO_HANDLE
