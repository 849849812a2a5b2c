"""Reading real files to their end: a FLAC that does not say its length (a
streaming encoder's, total samples 0) and one that announces more frames
than it holds, as encoders other than ours write them."""
import struct

import numpy as np
import pytest
import soundfile

import ondalis
from ondalis import cli

FRAMES = 30_000
# STREAMINFO follows "fLaC" and its 4-byte block header; its 8 bytes at
# offset 10 hold the rate (20 bits), channels, bits per sample and the
# 36-bit count of samples.
TOTAL_AT = 4 + 4 + 10


def flac_announcing(tmp_path, total):
    """A FLAC by soundfile of FRAMES stereo frames whose STREAMINFO is made to
    announce `total` samples; its frames."""
    data = (np.arange(FRAMES * 2, dtype=np.int32).reshape(FRAMES, 2) % 20000 - 10000)
    data = data.astype(np.int16)
    path = tmp_path / f"total{total}.flac"
    soundfile.write(path, data, 44100, subtype="PCM_16")
    raw = bytearray(path.read_bytes())
    assert raw[:4] == b"fLaC" and raw[4] & 0x7F == 0  # STREAMINFO first
    (packed,) = struct.unpack(">Q", raw[TOTAL_AT:TOTAL_AT + 8])
    assert packed & (2**36 - 1) == FRAMES
    raw[TOTAL_AT:TOTAL_AT + 8] = struct.pack(">Q", (packed & ~(2**36 - 1)) | total)
    path.write_bytes(bytes(raw))
    return path, data


@pytest.mark.parametrize("total", [0, FRAMES + 5000])
def test_read_blocks_and_convert_go_to_the_real_end(tmp_path, total):
    path, data = flac_announcing(tmp_path, total)
    back, rate = ondalis.read(path, dtype="int16")
    assert rate == 44100 and np.array_equal(back, data)
    blocks = list(ondalis.blocks(path, 4096, dtype="int16"))
    assert np.array_equal(np.concatenate(blocks), data)
    frames, _ = ondalis.convert(path, tmp_path / "out.wav", progress=False)
    assert frames == FRAMES
    assert np.array_equal(soundfile.read(tmp_path / "out.wav", dtype="int16")[0], data)


def test_a_file_of_unknown_length_says_so(tmp_path, capsys):
    path, _ = flac_announcing(tmp_path, 0)
    found = ondalis.info(path)
    assert (found.frames, found.duration, found.samplerate) == (None, None, 44100)
    assert cli.main(["info", str(path)]) == 0
    assert "  frames: unknown\n" in capsys.readouterr().out


@pytest.mark.skipif("mpeg" not in ondalis.get_sndfile_formats(), reason="no MPEG support")
def test_an_mp3_cut_short_gives_the_frames_it_holds(tmp_path):
    """Its Xing header still announces the whole length: read, blocks and
    convert give what soundfile reads from it, not an error."""
    whole = tmp_path / "whole.mp3"
    soundfile.write(whole, 0.5 * np.sin(np.arange(88200) / 10), 44100, format="MP3")
    cut = tmp_path / "cut.mp3"
    cut.write_bytes(whole.read_bytes()[:whole.stat().st_size // 2])
    expected, _ = soundfile.read(cut)
    assert ondalis.info(cut).frames > len(expected) > 0
    assert np.array_equal(ondalis.read(cut)[0], expected)
    assert np.array_equal(np.concatenate(list(ondalis.blocks(cut, 4096))), expected)
    frames, _ = ondalis.convert(cut, tmp_path / "cut.wav", progress=False)
    assert frames == len(expected)
