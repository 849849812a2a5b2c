"""Instrument and loop commands: SF_INSTRUMENT and SF_LOOP_INFO as records."""
import struct

import pytest

import _ondalis as m
from conftest import pcm16_wav
from messages import NO_HANDLE
from riff import (chunk, closed_file, command_id, new_file, recording_class, riff_chunks,
                  write_aiff, write_wav)

GET = command_id("SFC_GET_INSTRUMENT")
SET = command_id("SFC_SET_INSTRUMENT")
LOOP_INFO = command_id("SFC_GET_LOOP_INFO")
Loop = m.SfInstrumentLoop
MODES = ["SF_LOOP_FORWARD", "SF_LOOP_BACKWARD", "SF_LOOP_ALTERNATING"]
SMPL_TYPE = {"SF_LOOP_FORWARD": 0, "SF_LOOP_ALTERNATING": 1, "SF_LOOP_BACKWARD": 2}


def instrument(loops=(), **changes):
    # gain 1, velocities and keys 0..127 are what libsndfile reads from a WAV
    # smpl chunk, which stores only the base note, the detune and the loops.
    values = dict(gain=1, basenote=60, detune=0, velocity_lo=0, velocity_hi=127, key_lo=0,
                  key_hi=127, loops=list(loops))
    values.update(changes)
    return m.SfInstrument(**values)


def loops(n):
    return [Loop(MODES[i % 3], i * 100, i * 100 + 50, i) for i in range(n)]


GETTERS = {GET: "_instrument_get_command", LOOP_INFO: "_loop_get_command"}


def read(path, command=GET):
    with m.Ondalis(path) as f:
        return getattr(f, GETTERS[command])(command)


def smpl_chunk(unity_note, loop_rows):
    head = struct.pack("<9I", 0, 0, 125000, unity_note, 0, 0, 0, len(loop_rows), 0)
    return chunk(b"smpl", head + b"".join(struct.pack("<6I", *row) for row in loop_rows))


@pytest.mark.parametrize("n", [0, 1, 16])
@pytest.mark.parametrize("basenote", [-128, 127])
def test_wav_round_trip(wav_path, n, basenote):
    given = instrument(loops(n), basenote=basenote)
    with new_file(wav_path) as f:
        assert f._instrument_set_command(command=SET, arg=given) is None
    smpl = riff_chunks(wav_path)[b"smpl"]
    assert struct.unpack_from("<i", smpl, 12)[0] == basenote
    assert struct.unpack_from("<I", smpl, 28)[0] == n
    # smpl stores the last frame of a loop, libsndfile's end is one past it.
    assert [struct.unpack_from("<6I", smpl, 36 + 24 * i)[1:] for i in range(n)] == \
        [(SMPL_TYPE[lp.mode], lp.start, lp.end - 1, 0, lp.count) for lp in given.loops]
    assert read(wav_path) == given


def test_loop_members_take_the_whole_uint32_range(wav_path):
    given = instrument([Loop("SF_LOOP_FORWARD", 4294967295, 4294967295, 4294967295),
                        Loop("SF_LOOP_BACKWARD", 0, 1, 0)])
    with new_file(wav_path) as f:
        f._instrument_set_command(SET, given)
    assert read(wav_path).loops == given.loops


def test_reads_all_members_from_a_hand_built_aiff(tmp_path):
    # INST: base note, detune, low/high note, low/high velocity (signed
    # bytes), gain (int16), sustain and release loops (mode, begin and end
    # marker ids); the loop positions come from the MARK chunk.
    inst = chunk(b"INST", struct.pack(">6b7h", -128, 127, -5, 100, 1, -1, -300,
                                      1, 1, 2, 0, 0, 0), ">")
    mark = chunk(b"MARK", struct.pack(">H", 2) + struct.pack(">hI", 1, 10) + b"\x02m1\0" +
                 struct.pack(">hI", 2, 20) + b"\x02m2\0", ">")
    path = write_aiff(tmp_path / "inst.aiff", mark, inst)
    assert read(path) == m.SfInstrument(gain=-300, basenote=-128, detune=127, velocity_lo=1,
                                        velocity_hi=-1, key_lo=-5, key_hi=100,
                                        loops=[Loop("SF_LOOP_FORWARD", 10, 20, 0)])


def test_reads_at_most_16_loops(tmp_path):
    rows = [(i, i % 3, i * 10, i * 10 + 5, 0, i) for i in range(17)]
    path = write_wav(tmp_path / "smpl.wav", smpl_chunk(61, rows))
    got = read(path)
    assert got.basenote == 61
    assert got.loops == [Loop(["SF_LOOP_FORWARD", "SF_LOOP_ALTERNATING", "SF_LOOP_BACKWARD"][t],
                              start, end + 1, count) for _, t, start, end, _, count in rows[:16]]


# acid chunk: flags (1: one-shot, 2: root note set), root note, two unknown
# fields, beats, meter denominator and numerator, tempo (float32).
@pytest.mark.parametrize("flags, tempo, mode, root_key, bpm", [
    (0x02, 120.5, "SF_LOOP_FORWARD", 60, 120.5),
    (0x01, 0.1, "SF_LOOP_NONE", -1, 0.10000000149011612),
])
def test_reads_loop_information(tmp_path, flags, tempo, mode, root_key, bpm):
    acid = chunk(b"acid", struct.pack("<IHHfIHHf", flags, 60, 0x8000, 0.0, 8, 4, 7, tempo))
    path = write_wav(tmp_path / "acid.wav", acid)
    with m.Ondalis(path) as f:
        assert f._loop_get_command(command=LOOP_INFO) == m.SfLoopInfo(
            time_sig_num=7, time_sig_den=4, loop_mode=mode, num_beats=8, bpm=bpm,
            root_key=root_key, future=[0] * 6)


@pytest.mark.parametrize("command", [GET, LOOP_INFO])
def test_file_without_instrument_data_gives_none(tmp_path, command):
    assert read(pcm16_wav(tmp_path / "plain.wav", [0, 1]), command) is None


BAD_LOOP = [Loop("SF_LOOP_FORWARD", 0, 10, 0)]


@pytest.mark.parametrize("given, error, message", [
    (instrument(loops(17), basenote=128), RuntimeError,
     "Ondalis::error:: too many loops (17) in 4305, maximum is 16"),
    (instrument(basenote=128), RuntimeError,
     "Ondalis::error:: command SFC_SET_INSTRUMENT argument basenote value 128 is out of range"),
    (instrument(key_hi=-129), RuntimeError,
     "Ondalis::error:: command SFC_SET_INSTRUMENT argument key_hi value -129 is out of range"),
    (instrument(velocity_lo="1"), TypeError, None),
    (instrument(gain=2**31), OverflowError, "value too large to convert to int"),
    (instrument(gain="1"), TypeError, "an integer is required"),
    (instrument(BAD_LOOP + [Loop("SF_LOOP_SIDEWAYS", 0, 1, 0)]), RuntimeError,
     "Ondalis::error:: unknow loop mode (SF_LOOP_SIDEWAYS) in 4305"),
    (instrument([Loop("SF_LOOP_FORWARD", -1, 1, 0)]), OverflowError,
     "can't convert negative value to uint32_t"),
    (instrument([Loop("SF_LOOP_FORWARD", 0, 1, 2**32)]), OverflowError,
     "value too large to convert to uint32_t"),
])
def test_bad_instrument_sends_nothing(wav_path, given, error, message):
    with new_file(wav_path) as f:
        with pytest.raises(error) as excinfo:
            f._instrument_set_command(SET, given)
    if message is not None:
        assert str(excinfo.value) == message
    assert read(wav_path) is None


def test_records_and_tables_are_looked_up_at_each_use(tmp_path, monkeypatch):
    path = write_wav(tmp_path / "smpl.wav", smpl_chunk(60, [(0, 0, 5, 9, 0, 1)]))
    records = {name: recording_class() for name in ("SfInstrument", "SfInstrumentLoop")}
    for name, record in records.items():
        monkeypatch.setattr(m, name, record)
    got = read(path)
    assert records["SfInstrument"].calls == [
        ["gain", "basenote", "detune", "velocity_lo", "velocity_hi", "key_lo", "key_hi", "loops"]]
    assert records["SfInstrumentLoop"].calls == [["mode", "start", "end", "count"]]
    assert [(lp.mode, lp.start, lp.end) for lp in got.loops] == [("SF_LOOP_FORWARD", 5, 10)]
    monkeypatch.setattr(m, "loop_id_to_name", {})
    with pytest.raises(KeyError):
        read(path)


@pytest.mark.parametrize("call", [lambda f: f._instrument_get_command(GET),
                                  lambda f: f._instrument_set_command(SET, instrument()),
                                  lambda f: f._loop_get_command(LOOP_INFO)])
def test_closed_object(wav_path, call):
    with pytest.raises(RuntimeError) as excinfo:
        call(closed_file(wav_path))
    assert str(excinfo.value) == NO_HANDLE
