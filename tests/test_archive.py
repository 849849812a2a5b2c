"""Whole files checked: decoded to their end and judged (decoder errors,
files shorter than their header says, FLAC audio against its MD5
signature), and a summary of a file that reads like soundfile's. Files are
written by wave, soundfile, sox and flac, and damaged by cutting and
patching their bytes."""
import hashlib
import io
import os
import shutil
import struct
import subprocess
import threading
import wave

import numpy as np
import pytest
import soundfile

import ondalis
from ondalis import _stream

RATE = 8000


def pcm16(path, frames, channels=1):
    """A 16-bit WAV by the standard library, its samples a ramp."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes((np.arange(frames * channels) % 20000 - 10000).astype("<i2").tobytes())
    return path


def noise(frames, channels=2, seed=1):
    return np.random.default_rng(seed).uniform(-0.7, 0.7, (frames, channels))


def flac(path, frames, subtype="PCM_16", seed=1):
    """A FLAC by soundfile (libFLAC fills in the MD5 signature)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    soundfile.write(path, noise(frames, seed=seed), RATE, subtype=subtype)
    return path


# STREAMINFO of a file that starts with it: "fLaC", the block header, then
# the block; its total samples end at byte 18 of the block, the MD5 follows.
STREAMINFO = 8


def signature(data):
    return data[STREAMINFO + 18:STREAMINFO + 34]


def patched(data, at, new):
    return data[:at] + new + data[at + len(new):]


def with_signature(data, md5):
    return patched(data, STREAMINFO + 18, md5)


# --- MD5 ------------------------------------------------------------------------------

@pytest.mark.parametrize("size", [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 1 << 20])
def test_md5_is_rfc_1321(size):
    """Sizes on either side of the padding's boundaries (56 bytes into a block)."""
    data = np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8).tobytes()
    expected = hashlib.md5(data).digest()
    assert _stream.md5(data) == expected
    assert _stream.md5(memoryview(bytearray(data))) == expected


# --- check: whole files -----------------------------------------------------------------

def by_soundfile(path, subtype):
    return flac(path, 5000, subtype)


def by_sox(path, bits):
    wav = path.with_suffix(".wav")
    soundfile.write(wav, noise(5000), RATE, subtype="PCM_24")
    subprocess.run(["sox", wav, "-b", str(bits), path], check=True)
    return path


def by_flac(path, bits):
    if shutil.which("flac") is None:
        pytest.skip("the flac program is not installed")
    wav = path.with_suffix(".wav")
    soundfile.write(wav, noise(5000), RATE, subtype=f"PCM_{bits}")
    subprocess.run(["flac", "-s", "-f", "-o", path, wav], check=True)
    return path


@pytest.mark.parametrize("encoder, depth", [
    (by_soundfile, "PCM_S8"), (by_soundfile, "PCM_16"), (by_soundfile, "PCM_24"),
    (by_sox, 12), (by_sox, 16), (by_sox, 20), (by_sox, 24), (by_flac, 16), (by_flac, 24),
])
def test_a_whole_flac_matches_the_signature_its_encoder_wrote(tmp_path, encoder, depth):
    """Each encoder's own MD5 of its audio (12 and 20 bits too: samples in
    the fewest whole bytes that hold them) against ours of the decoded audio."""
    path = encoder(tmp_path / "whole.flac", depth)
    assert signature(path.read_bytes()) != bytes(16)
    assert ondalis.check(path) == ondalis.CheckResult(str(path), True, 5000, 5000, None, "match")


def fd_at_offset(path, tmp_path):
    """A descriptor 100 bytes into a file, where the sound file begins."""
    embedded = tmp_path / "embedded.bin"
    embedded.write_bytes(b"x" * 100 + path.read_bytes())
    fd = os.open(embedded, os.O_RDONLY)
    os.lseek(fd, 100, os.SEEK_SET)
    return fd


def id3_tagged(path, tmp_path):
    """The FLAC after an ID3v2 tag (libsndfile skips it; so must the signature's reader)."""
    tagged = tmp_path / "tagged.flac"
    tagged.write_bytes(b"ID3\x04\x00\x00\x00\x00\x01\x10" + bytes(144) + path.read_bytes())
    return tagged


class OneWay(io.RawIOBase):
    """A reader that cannot seek, as a pipe."""

    def __init__(self, data):
        self.data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self.data.readinto(buffer)


SOURCES = {
    "str": lambda path, _: str(path),
    "bytes name": lambda path, _: os.fsencode(path),
    "pathlib": lambda path, _: path,
    "fd at an offset": fd_at_offset,
    "after an ID3 tag": id3_tagged,
    "BytesIO": lambda path, _: io.BytesIO(path.read_bytes()),
    "bytearray": lambda path, _: bytearray(path.read_bytes()),
    "file object": lambda path, _: open(path, "rb"),
    "one-way reader": lambda path, _: OneWay(path.read_bytes()),
}


@pytest.mark.parametrize("source", SOURCES.values(), ids=SOURCES.keys())
def test_the_signature_is_read_from_every_kind_of_source(tmp_path, source):
    path = flac(tmp_path / "source.flac", 3000)
    given = source(path, tmp_path)
    result = ondalis.check(given)
    assert (result.ok, result.frames, result.md5) == (True, 3000, "match")
    if isinstance(given, int):
        # The stream began where the descriptor stood; the descriptor is the caller's.
        os.close(given)


def test_checks_run_side_by_side(tmp_path):
    """Decoding and hashing release the interpreter lock: threads, each on
    its own file, give each file's own verdict."""
    paths = [flac(tmp_path / f"t{n}.flac", 20000, seed=n) for n in range(4)]
    bad = tmp_path / "t3.flac"
    bad.write_bytes(with_signature(bad.read_bytes(), bytes(range(16))))
    found = {}

    def check(path):
        found[path] = ondalis.check(path).md5

    threads = [threading.Thread(target=check, args=(path,)) for path in paths * 3]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert found == {**dict.fromkeys(paths[:3], "match"), bad: "mismatch"}


# --- check: damaged files ----------------------------------------------------------------

def cut_in_half(path):
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])
    return path


def flipped(path, at=0.5):
    """One bit of a byte in the middle of the audio flipped (the frame's CRC
    no longer matches)."""
    data = bytearray(path.read_bytes())
    data[int(len(data) * at)] ^= 0x10
    path.write_bytes(bytes(data))
    return path


def test_a_flac_cut_or_flipped_names_the_frame_where_decoding_stopped(tmp_path):
    for damage in (cut_in_half, flipped):
        path = damage(flac(tmp_path / f"{damage.__name__}.flac", 44100))
        result = ondalis.check(path)
        assert (result.ok, result.expected_frames, result.md5) == (False, 44100, "unchecked")
        assert 0 <= result.frames < 44100
        prefix = f"decoding stopped at frame {result.frames} of the 44100 its header announces: "
        assert result.error.startswith(prefix) and len(result.error) > len(prefix)
        # The frame read() names too, and the frames it keeps on request.
        with pytest.raises(ondalis.SndfileError, match=f"at frame {result.frames} of the 44100"):
            ondalis.read(path)


def test_a_flac_cut_between_two_frames_ends_early(tmp_path):
    """libFLAC reaches the end cleanly: fewer frames than STREAMINFO announces
    is the only sign. The cut is where the second frame begins: the FLAC of
    the first 4096 frames alone (one block) is byte for byte the start of
    the FLAC of 8192 frames, its STREAMINFO aside."""
    samples = noise(8192)
    soundfile.write(tmp_path / "long.flac", samples, RATE)
    soundfile.write(tmp_path / "first.flac", samples[:4096], RATE)
    long, first = (tmp_path / "long.flac").read_bytes(), (tmp_path / "first.flac").read_bytes()
    assert long[STREAMINFO + 34:len(first)] == first[STREAMINFO + 34:]
    (tmp_path / "cut.flac").write_bytes(long[:len(first)])
    result = ondalis.check(tmp_path / "cut.flac")
    assert (result.ok, result.frames, result.expected_frames, result.md5) == \
        (False, 4096, 8192, "unchecked")
    assert result.error == "ends at frame 4096 of the 8192 its header announces"


def cut_wav(tmp_path):
    """A WAV of 1000 frames cut after 301 bytes of its samples (header: 44 bytes)."""
    path = pcm16(tmp_path / "cut.wav", 1000)
    path.write_bytes(path.read_bytes()[:44 + 301])
    return path, "ends at frame 150 of the 1000 its header announces (data of 2000 bytes, 301 in the file)"


def test_a_file_shorter_than_its_header_says_is_damaged(tmp_path):
    """libsndfile shortens a chunk that claims more than the file holds and
    says so only in its log; the claim gives the frames announced."""
    path, message = cut_wav(tmp_path)
    assert soundfile.info(path).frames == 150  # what libsndfile reports
    assert ondalis.check(path) == ondalis.CheckResult(str(path), False, 150, 1000, message)
    for name, field in (("cut.aiff", "SSND"), ("cut.au", "Data Size")):
        path = tmp_path / name
        soundfile.write(path, np.zeros((1000, 2), np.int16), RATE, subtype="PCM_16")
        data = path.read_bytes()
        start = data.index(b"SSND") + 16 if field == "SSND" else int.from_bytes(data[4:8], "big")
        path.write_bytes(data[:start + 2000])
        held = 2000 + (8 if field == "SSND" else 0)  # SSND counts its offset and block size
        given = 4000 + (8 if field == "SSND" else 0)
        assert ondalis.check(path) == ondalis.CheckResult(
            str(path), False, 500, 1000,
            f"ends at frame 500 of the 1000 its header announces ({field} of {given} bytes, "
            f"{held} in the file)")


def test_a_flac_whose_audio_does_not_match_its_signature(tmp_path):
    """The signature altered, and different audio carrying the signature of
    the first: both decode cleanly, neither is the audio the signature
    describes."""
    original = flac(tmp_path / "original.flac", 6000).read_bytes()
    other = flac(tmp_path / "other.flac", 6000, seed=2).read_bytes()
    cases = {"altered.flac": with_signature(original, bytes(range(16))),
             "reencoded.flac": with_signature(other, signature(original))}
    for name, data in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        result = ondalis.check(path)
        assert (result.ok, result.frames, result.expected_frames, result.md5) == \
            (False, 6000, 6000, "mismatch")
        decoded = signature(original) if name == "altered.flac" else signature(other)
        assert result.error == (
            "the decoded audio does not match the MD5 signature of its STREAMINFO block "
            f"(signature {signature(data).hex()}, decoded {decoded.hex()})")
        assert ondalis.read(path)[0].shape == (6000, 2)  # nothing else tells


def test_a_signature_left_unset_or_a_length_left_unknown(tmp_path):
    """An encoder that computed no MD5 writes zeros: nothing to compare. One
    that did not know the length writes 0 total samples: decoded to the end."""
    data = flac(tmp_path / "a.flac", 3000).read_bytes()
    unset = tmp_path / "unset.flac"
    unset.write_bytes(with_signature(data, bytes(16)))
    assert ondalis.check(unset) == ondalis.CheckResult(str(unset), True, 3000, 3000, None,
                                                       "unchecked")
    streamed = tmp_path / "streamed.flac"
    total_at = STREAMINFO + 13
    streamed.write_bytes(patched(data, total_at, bytes([data[total_at] & 0xF0, 0, 0, 0, 0])))
    assert ondalis.check(streamed) == ondalis.CheckResult(str(streamed), True, 3000, None, None,
                                                          "match")


def test_a_file_libsndfile_cannot_open_is_a_result_a_missing_one_an_error(tmp_path):
    text = tmp_path / "notes.wav"
    text.write_text("not a sound file")
    assert ondalis.check(text) == ondalis.CheckResult(
        str(text), False, 0, None, f"cannot open {str(text)!r}: Format not recognised.")
    with pytest.raises(FileNotFoundError):
        ondalis.check(tmp_path / "missing.wav")


def test_a_pad_byte_missing_at_the_end_is_no_damage(tmp_path):
    """An odd data chunk whose pad byte the writer counted in the RIFF size
    but never wrote: the audio is whole."""
    samples = bytes(range(101))  # 8-bit mono: 101 frames, an odd chunk
    fmt = struct.pack("<4sIHHIIHH", b"fmt ", 16, 1, 1, RATE, RATE, 1, 8)
    body = b"WAVE" + fmt + struct.pack("<4sI", b"data", len(samples)) + samples
    path = tmp_path / "unpadded.wav"
    path.write_bytes(struct.pack("<4sI", b"RIFF", len(body) + 1) + body)
    assert ondalis.check(path) == ondalis.CheckResult(str(path), True, 101, 101)
    path.write_bytes(struct.pack("<4sI", b"RIFF", len(body) + 2) + body)
    assert ondalis.check(path).error == \
        f"the file is shorter than its header says (RIFF of {len(body) + 2} bytes, " \
        f"{len(body)} in the file)"


# --- a summary of a file -------------------------------------------------------------------

def test_str_of_info_reads_like_soundfiles_summary(tmp_path):
    path = tmp_path / "take.flac"
    with soundfile.SoundFile(path, "w", 44100, 2, subtype="PCM_24") as f:
        f.title = "Take one"
        f.write(np.zeros((66150, 2)))
    found = ondalis.info(path)
    theirs = soundfile.info(path)
    assert str(found).splitlines() == [
        str(path),
        "samplerate: 44100 Hz",
        "channels: 2",
        "duration: 1.500 s (66150 frames)",
        f"format: {theirs.format_info} [flac]",
        f"encoding: {theirs.subtype_info} [pcm24]",
        "strings:",
        "  title: Take one",
    ]
    assert repr(found).startswith(f"SoundInfo(path={str(path)!r}, frames=66150, ")


@pytest.mark.parametrize("frames, shown", [
    (RATE * 65 + RATE // 2, "0:01:05.500"), (RATE * 3725, "1:02:05.000"), (3, "0.000 s"),
])
def test_str_of_info_shows_a_long_duration_in_hours_minutes_and_seconds(tmp_path, frames, shown):
    path = tmp_path / "long.wav"
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(1)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))
    assert f"duration: {shown} ({frames} frames)" in str(ondalis.info(path)).splitlines()


def test_str_of_info_escapes_what_the_file_holds(tmp_path):
    path = tmp_path / "evil.wav"
    ondalis.write(path, np.zeros(10), RATE, strings={"title": "A\x1b[2J\rFAKE"})
    text = str(ondalis.info(path))
    assert "\x1b" not in text and "\r" not in text
    assert "  title: A\\x1b[2J\\rFAKE" in text.splitlines()
