"""Metadata in one call: write() and convert() take the texts and records that
info() returns, a file's metadata round-trips through metadata(), and what a
format does not keep is refused by name before any file is made."""
import dataclasses
import io
import json
import subprocess
import sys

import numpy as np
import pytest
import soundfile

import ondalis
import riff
import sample_files

DATA = sample_files.samples()
RATE = sample_files.SAMPLERATE


@pytest.fixture
def every(tmp_path):
    return sample_files.every_metadata_wav(tmp_path / "every.wav")


def without(found, *names):
    return {key: value for key, value in found.items() if key not in names}


def test_a_file_s_metadata_round_trips_into_a_new_wav(tmp_path, every):
    given = without(ondalis.metadata(every), "channel_map")  # WAV keeps no channel map
    target = tmp_path / "copy.wav"
    assert ondalis.write(target, DATA, RATE, **given) == len(DATA)
    back = ondalis.metadata(target)
    assert back.keys() == given.keys()
    for key in ("strings", "cue_points", "instrument", "loop_info", "cart"):
        if key == "cart":  # libsndfile ends a tag text with a line break
            assert back[key].tag_text == given[key].tag_text + "\r\n"
            back[key] = dataclasses.replace(back[key], tag_text=given[key].tag_text)
        assert back[key] == given[key], key
    # libsndfile adds its own line to the coding history, and writes version 2.
    history = back["broadcast"].coding_history
    assert history.startswith(sample_files.BEXT["coding_history"]) and "libsndfile" in history
    assert dataclasses.replace(back["broadcast"], coding_history="", version=1) == \
        dataclasses.replace(given["broadcast"], coding_history="", version=1)
    assert np.array_equal(soundfile.read(target, dtype="int16")[0], DATA)


def test_loop_information_is_written_as_the_acid_chunk_recorders_write(tmp_path, every):
    target = tmp_path / "loop.wav"
    ondalis.write(target, DATA, RATE, loop_info=ondalis.info(every).loop_info)
    assert riff.riff_chunks(target)[b"acid"] == riff.riff_chunks(every)[b"acid"]


def test_strings_by_short_name_reach_other_readers(tmp_path):
    target = tmp_path / "titled.flac"
    ondalis.write(target, DATA, RATE, strings={"title": "Take 5", "ARTIST": "Them",
                                               "SF_STR_GENRE": "Jazz", "album": ""})
    assert soundfile.info(target).extra_info.count("Take 5") >= 1
    with soundfile.SoundFile(target) as f:
        assert (f.title, f.artist, f.genre) == ("Take 5", "Them", "Jazz")
    assert ondalis.info(target).strings == {"title": "Take 5", "artist": "Them", "genre": "Jazz"}


def test_a_software_text_comes_back_with_libsndfile_s_name_and_round_trips(tmp_path):
    first, second = tmp_path / "first.wav", tmp_path / "second.wav"
    ondalis.write(first, DATA, RATE, strings={"software": "Recorder 2"})
    software = ondalis.info(first).strings["software"]
    assert software.startswith("Recorder 2 (libsndfile-")
    ondalis.write(second, DATA, RATE, **ondalis.metadata(first))
    assert ondalis.info(second).strings["software"] == software


def test_records_may_be_given_as_the_json_of_ondalis_info(tmp_path, every):
    shown = subprocess.run([sys.executable, "-m", "ondalis", "info", "--json", str(every)],
                           capture_output=True, text=True, check=True, cwd=tmp_path)
    (found,) = json.loads(shown.stdout)
    target = tmp_path / "from_json.wav"
    ondalis.write(target, DATA, RATE, **{key: found[key] for key in (
        "strings", "cue_points", "instrument", "loop_info", "broadcast", "cart")})
    assert without(ondalis.metadata(target), "broadcast", "cart") == \
        without(ondalis.metadata(every), "broadcast", "cart", "channel_map")
    assert ondalis.info(target).broadcast.umid == ondalis.info(every).broadcast.umid


CUE = ondalis.SfCuePoint(indx=1, position=3, fcc_chunk=int.from_bytes(b"data", "little"),
                         chunk_start=0, block_start=0, sample_offset=3, name="")


@pytest.mark.parametrize("name, given, missing", [
    ("x.wav", dict(channel_map=["left", "right"]), "channel map"),
    ("x.wav", dict(cue_points=[dataclasses.replace(CUE, name="verse")]), "cue point names"),
    ("x.flac", dict(cue_points=[CUE]), "cue points"),
    ("x.aiff", dict(strings={"title": "t", "album": "a"}), "string 'album'"),
    ("x.aiff", dict(loop_info=ondalis.SfLoopInfo(4, 4, "forward", 8, 120.0, 60, [0] * 6)),
     "loop information"),
    ("x.wav", dict(loop_info=ondalis.SfLoopInfo(4, 4, "backward", 8, 120.0, 60, [0] * 6)),
     "loop information"),
])
def test_what_a_format_does_not_keep_is_refused_and_nothing_is_made(tmp_path, name, given,
                                                                    missing):
    target = tmp_path / name
    stereo = np.zeros((8, 2), dtype=np.int16)
    with pytest.raises(ValueError, match=f"files do not keep: {missing}"):
        ondalis.write(target, stereo, RATE, **given)
    assert list(tmp_path.iterdir()) == []
    target.write_bytes(b"old")
    with pytest.raises(ValueError):
        ondalis.write(target, stereo, RATE, **given)
    assert list(tmp_path.iterdir()) == [target] and target.read_bytes() == b"old"


INSTRUMENT = ondalis.SfInstrument(gain=1, basenote=60, detune=0, velocity_lo=0, velocity_hi=127,
                                  key_lo=0, key_hi=127, loops=[])


@pytest.mark.parametrize("given, error, match", [
    (dict(strings={"tittle": "x"}), ValueError, "unknown string 'tittle'; choose from title, "),
    (dict(strings={"title": "a\0b"}), ValueError, "holds a NUL"),
    (dict(strings={"title": b"x"}), TypeError, "must be a str"),
    (dict(cue_points=[dataclasses.replace(CUE, name="n" * 256)]), ValueError,
     "cue point 0 name: 256 bytes of UTF-8 do not fit its 255"),
    (dict(cue_points=[dataclasses.replace(CUE, position=-1)]), ValueError,
     "cue point 0 position: can't convert negative value"),
    (dict(instrument=dataclasses.replace(INSTRUMENT, basenote=128)), ValueError,
     "instrument basenote: value too large"),
    (dict(instrument=dataclasses.replace(INSTRUMENT, loops=[{"mode": "sideways", "start": 0,
                                                             "end": 1, "count": 0}])),
     ValueError, "unknown loop mode 'sideways'; choose from none, forward, backward"),
    (dict(instrument={"gain": 1}), ValueError, "instrument: .*missing"),
    (dict(cue_points=CUE), TypeError, "cue_points must be a list"),
    (dict(channel_map=["left"]), ValueError, "channel map: 1 positions for 2 channels"),
    (dict(channel_map=["left", "north"]), ValueError, "unknown channel position 'north'"),
    (dict(cart=ondalis.SfCartInfo(*[""] * 15, 0, [ondalis.SfCartTimer("", 1)], "", "")),
     ValueError,
     "cart timer 0 usage: a timer needs a usage"),
])
def test_values_that_do_not_fit_are_refused_with_their_field(tmp_path, given, error, match):
    target = tmp_path / "x.wav"
    with pytest.raises(error, match=match):
        ondalis.write(target, np.zeros((4, 2)), RATE, major="wavex", **given)
    assert not target.exists()


def test_fixed_width_texts_fill_their_fields_and_no_more(tmp_path, every):
    broadcast = ondalis.info(every).broadcast
    full = dataclasses.replace(broadcast, description="é" * 128, originator="o" * 32)
    target = tmp_path / "full.wav"
    ondalis.write(target, DATA, RATE, broadcast=full)
    back = ondalis.info(target).broadcast
    assert (back.description, back.originator) == ("é" * 128, "o" * 32)
    with pytest.raises(ValueError, match="broadcast originator: 33 bytes of UTF-8 do not fit its 32"):
        ondalis.write(target, DATA, RATE, broadcast=dataclasses.replace(full, originator="o" * 33))
    assert ondalis.info(target).broadcast == back


@pytest.mark.parametrize("make", [io.BytesIO, lambda: open_buffered()])
def test_metadata_reaches_memory_and_file_objects(tmp_path, every, make):
    given = without(ondalis.metadata(every), "channel_map")
    target = make()
    ondalis.write(target, DATA, RATE, major="wav", **given)
    target.seek(0)
    found = ondalis.info(io.BytesIO(target.read()))
    assert found.strings == given["strings"] and found.cue_points == given["cue_points"]
    assert found.loop_info == given["loop_info"]


def open_buffered():
    return io.BufferedRandom(io.BytesIO())


def test_convert_replaces_the_source_s_metadata_with_what_is_given(tmp_path, every):
    loop = ondalis.SfLoopInfo(4, 4, "SF_LOOP_NONE", 16, 90.0, -1, [0] * 6)
    target = tmp_path / "out.wav"
    frames, lost = ondalis.convert(every, target, strings={"title": "New", "genre": "Jazz"},
                                   loop_info=loop)
    assert (frames, lost) == (sample_files.FRAMES, ["channel map"])
    found = ondalis.info(target)
    assert found.strings == {**sample_files.SHORT_STRINGS, "title": "New", "genre": "Jazz"}
    assert found.loop_info == loop
    assert [id for id, _ in found.chunks].count("acid") == 1
    assert found.cue_points == ondalis.info(every).cue_points
