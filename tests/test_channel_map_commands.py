"""Channel map commands: one position name per channel."""
import pytest

import _ondalis as m
from conftest import pcm16_wav
from messages import NO_HANDLE
from riff import (closed_file, command_id, fmt_extensible, new_file, recording_checker, write_wav)

GET = command_id("SFC_GET_CHANNEL_MAP_INFO")
SET = command_id("SFC_SET_CHANNEL_MAP_INFO")


def names(*positions):
    return ["SF_CHANNEL_MAP_" + p for p in positions]


STEREO = names("LEFT", "RIGHT")
SURROUND = names("LEFT", "RIGHT", "CENTER", "LFE", "REAR_LEFT", "REAR_RIGHT")


def read(path):
    with m.Ondalis(path) as f:
        return f._channel_map_get_command(GET)


# libsndfile 1.2.0 stores channel maps in WAVEX and RF64 (as a channel mask),
# CAF and AIFF (as a channel layout).
@pytest.mark.parametrize("major", ["wavex", "rf64", "caf", "aiff"])
@pytest.mark.parametrize("given", [STEREO, tuple(SURROUND)])
def test_round_trip(tmp_path, major, given):
    path = tmp_path / f"map.{major}"
    with new_file(path, major, channels=len(given)) as f:
        assert f._channel_map_set_command(command=SET, arg=given) is None
    assert read(path) == list(given)


# WAVE_FORMAT_EXTENSIBLE speaker bits: 0x1 front left, 0x2 front right,
# 0x4 front centre, 0x8 LFE, 0x10 back left, 0x20 back right.
@pytest.mark.parametrize("mask, expected", [
    (0x3, STEREO),
    (0x33, names("LEFT", "RIGHT", "REAR_LEFT", "REAR_RIGHT")),
    (0x3F, SURROUND),
    (0x4, names("CENTER")),
])
def test_reads_a_hand_built_channel_mask(tmp_path, mask, expected):
    path = write_wav(tmp_path / "mask.wav", fmt=fmt_extensible(len(expected), mask),
                     channels=len(expected))
    assert read(path) == expected


@pytest.mark.parametrize("make", [
    lambda p: pcm16_wav(p, [0, 0], channels=2),
    lambda p: write_wav(p, fmt=fmt_extensible(2, 0), channels=2),
])
def test_file_without_channel_map_gives_none(tmp_path, make):
    assert read(make(tmp_path / "plain.wav")) is None


def test_wrong_number_of_names(tmp_path):
    with new_file(tmp_path / "map.caf", "caf", channels=2) as f, \
            pytest.raises(RuntimeError) as excinfo:
        f._channel_map_set_command(SET, names("LEFT", "RIGHT", "CENTER"))
    assert str(excinfo.value) == (
        "Ondalis::error:: wrong number of channels (3) in SFC_SET_CHANNEL_MAP_INFO, should be 2")


def test_unknown_name_sends_nothing(tmp_path):
    path = tmp_path / "map.caf"
    with new_file(path, "caf", channels=2) as f, pytest.raises(KeyError) as excinfo:
        f._channel_map_set_command(SET, ["SF_CHANNEL_MAP_LEFT", "SF_CHANNEL_MAP_NOWHERE"])
    assert excinfo.value.args == ("SF_CHANNEL_MAP_NOWHERE",)
    assert read(path) is None


def test_refusal_by_libsndfile(tmp_path):
    # A WAVEX channel mask has no bits for the FRONT_* positions in 1.2.0.
    with new_file(tmp_path / "map.wav", "wavex", channels=2) as f, \
            pytest.raises(RuntimeError) as excinfo:
        f._channel_map_set_command(SET, names("FRONT_LEFT", "FRONT_RIGHT"))
    assert str(excinfo.value) == "Ondalis::error:: command SFC_SET_CHANNEL_MAP_INFO failed"


def test_tables_and_checker_are_looked_up_at_each_use(tmp_path, monkeypatch):
    path = tmp_path / "map.caf"
    monkeypatch.setattr(m, "channel_map_name_to_id", {"L": 2, "R": 3})
    checks = []
    monkeypatch.setattr(m, "_check_command_retval", recording_checker(checks))
    with new_file(path, "caf", channels=2) as f:
        f._channel_map_set_command(SET, ["L", "R"])
    assert checks == [(1, SET, 0)]
    monkeypatch.setattr(m, "channel_map_id_to_name", {2: "left", 3: "right"})
    assert read(path) == ["left", "right"]
    monkeypatch.setattr(m, "channel_map_id_to_name", {2: "left"})
    with pytest.raises(KeyError):
        read(path)


@pytest.mark.parametrize("call", [lambda f: f._channel_map_get_command(GET),
                                  lambda f: f._channel_map_set_command(SET, STEREO)])
def test_closed_object(tmp_path, call):
    with pytest.raises(RuntimeError) as excinfo:
        call(closed_file(tmp_path / "map.caf", "caf", channels=2))
    assert str(excinfo.value) == NO_HANDLE
