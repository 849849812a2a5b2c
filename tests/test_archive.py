"""Archives: every file decoded to its end and judged (decoder errors, files
shorter than their header says, FLAC audio against its MD5 signature), every
entry of a tree accounted for (FIFOs, devices, sockets, links that lead
nowhere or to folders, folders that cannot be read, names that are not
UTF-8), folders mirrored by convert, and a summary of a file that reads like
soundfile's. Files are written by wave, soundfile, sox and flac, and damaged
by cutting and patching their bytes."""
import base64
import hashlib
import io
import json
import os
import pathlib
import shutil
import socket
import stat
import struct
import subprocess
import tempfile
import threading
import wave

import numpy as np
import pytest
import soundfile

import ondalis
from ondalis import _batch, _stream
from test_cli_batch import program, run
from test_package_failures import in_child_as_nobody

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


# --- check on the command line ----------------------------------------------------------

@pytest.fixture
def checked_tree(tmp_path):
    """takes/: a sound WAV, a FLAC, a FLAC cut in half, a FLAC whose signature
    was altered, a text file with a sound name, a FIFO."""
    top = tmp_path / "takes"
    pcm16(top / "a.wav", 100)
    flac(top / "b.flac", 3000)
    cut_in_half(flac(top / "c.flac", 44100))
    altered = flac(top / "day2" / "d.flac", 3000)
    altered.write_bytes(with_signature(altered.read_bytes(), bytes(range(16))))
    (top / "e.wav").write_text("not a sound file")
    os.mkfifo(top / "f.wav")
    return top


def test_check_reports_every_file_and_fails_when_one_is_damaged(capsys, checked_tree):
    top = checked_tree
    status, out, err = run(capsys, "check", "-r", top)
    assert status == 1
    lines = out.splitlines()
    assert lines[:2] == [f"{top}/a.wav: ok", f"{top}/b.flac: ok, MD5 signature matches"]
    assert lines[2].startswith(f"{top}/c.flac: decoding stopped at frame ")
    assert lines[3].startswith(f"{top}/day2/d.flac: the decoded audio does not match the MD5")
    assert lines[4:] == [f"{top}/e.wav: cannot open '{top}/e.wav': Format not recognised.",
                         f"{top}/f.wav: skipped: not a regular file"]
    assert err == "ondalis: 6 entries: 2 ok, 3 failed, 1 skipped\n"
    status, out, err = run(capsys, "check", top / "a.wav", top / "b.flac")
    assert (status, err) == (0, "ondalis: 2 entries: 2 ok, 0 failed, 0 skipped\n")


@pytest.mark.parametrize("options", [["--json"], ["--jsonl", "-j", "2"], ["--json", "-j", "3"]])
def test_check_json_has_an_entry_for_every_input(checked_tree, tmp_path, options):
    top = checked_tree
    result = program("check", "-r", top, tmp_path / "missing.flac", *options, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, "")
    if "--json" in options:
        entries = json.loads(result.stdout)
    else:
        entries = sorted(map(json.loads, result.stdout.splitlines()), key=lambda e: e["path"])
    found = {os.path.relpath(entry.pop("path"), tmp_path): entry for entry in entries}
    assert found["takes/a.wav"] == {"ok": True, "frames": 100, "expected_frames": 100,
                                    "md5": None}
    assert found["takes/b.flac"] == {"ok": True, "frames": 3000, "expected_frames": 3000,
                                     "md5": "match"}
    assert found["takes/c.flac"]["error"].startswith("decoding stopped at frame ")
    assert found["takes/day2/d.flac"]["md5"] == "mismatch"
    assert found["takes/e.wav"] == {"ok": False, "frames": 0, "expected_frames": None,
                                    "md5": None, "error": f"cannot open '{top}/e.wav': "
                                                          "Format not recognised."}
    assert found["takes/f.wav"] == {"skipped": "not a regular file"}
    assert found["missing.flac"] == {"ok": False, "error": "No such file or directory"}
    assert [entry["ok"] for entry in found.values() if "ok" in entry].count(False) == 4


# --- every entry of a tree accounted for ---------------------------------------------------

ODD = os.fsdecode(b"take\xff.wav")  # a name that is not UTF-8


@pytest.fixture
def odd_tree(tmp_path):
    """tree/: sound files (one in a subfolder, one whose name is not UTF-8),
    a FIFO with a sound name and one without, a socket, a character device
    (root only), links that lead nowhere (a missing target, a loop), a link to
    the subfolder, and a text file, which is no sound file and not listed."""
    top = tmp_path / "tree"
    pcm16(top / "a.wav", 10)
    pcm16(top / "sub" / "b.wav", 20)
    pcm16(top / ODD, 30)
    os.mkfifo(top / "fifo.wav")
    os.mkfifo(top / "pipe")
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(top / "sock"))
    (top / "dangling.wav").symlink_to("missing.wav")
    (top / "loop.wav").symlink_to("loop.wav")
    (top / "linked").symlink_to("sub", target_is_directory=True)
    (top / "notes.txt").write_text("no sound\n")
    try:
        os.mknod(top / "null.wav", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pass  # not root: the row is left out
    yield top
    server.close()


def expected_entries(top):
    """{path: what its entry says}, in the order of the walk."""
    nowhere = "a symbolic link that leads nowhere ({})"
    found = {"a.wav": None, "dangling.wav": nowhere.format("No such file or directory"),
             "fifo.wav": "skipped", "linked": "skipped folder",
             "loop.wav": nowhere.format("Too many levels of symbolic links")}
    if (top / "null.wav").exists():
        found["null.wav"] = "skipped"
    found.update({"pipe": "skipped", "sock": "skipped", "sub/b.wav": None, ODD: None})
    return {str(top / name): said for name, said in found.items()}


def said(entry):
    """What a JSON entry says, as expected_entries puts it."""
    if "skipped" in entry:
        return {"not a regular file": "skipped",
                "a symbolic link to a directory": "skipped folder"}[entry["skipped"]]
    return entry.get("error")


def exact_path(entry):
    """The name an entry stands for: its path_bytes when it has them."""
    if "path_bytes" in entry:
        return os.fsdecode(base64.b64decode(entry["path_bytes"]))
    return entry["path"]


@pytest.mark.parametrize("command", ["info", "check"])
@pytest.mark.parametrize("options", [["--json"], ["--jsonl", "-j", "2"]])
def test_json_accounts_for_every_entry_of_a_tree(odd_tree, tmp_path, command, options):
    result = program(command, "-r", odd_tree, *options, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, "")  # the two links that lead nowhere
    assert result.stdout.isascii()
    if "--json" in options:
        entries = json.loads(result.stdout)
    else:
        entries = [json.loads(line) for line in result.stdout.splitlines()]
    # Strict JSON: no lone surrogate anywhere, so any encoder takes it.
    json.dumps(entries, ensure_ascii=False).encode("utf-8")
    expected = expected_entries(odd_tree)
    got = {exact_path(entry): said(entry) for entry in entries}
    assert got == expected
    if "--json" in options:
        assert [exact_path(entry) for entry in entries] == list(expected)
    (odd,) = [entry for entry in entries if "path_bytes" in entry]
    assert odd["path"] == str(odd_tree / "take\ufffd.wav")
    assert base64.b64decode(odd["path_bytes"]) == os.fsencode(odd_tree / ODD)
    if command == "check":
        assert odd["ok"] is True and odd["frames"] == 30


def test_text_accounts_for_every_entry_of_a_tree(capsys, odd_tree):
    """info: each skipped entry and each error on stderr in its place, then
    the count; the name that is not UTF-8 escaped."""
    status, out, err = run(capsys, "info", "-r", odd_tree)
    assert status == 1
    expected = expected_entries(odd_tree)
    described = [line for line in out.splitlines() if line and not line.startswith(" ")]
    assert described == [str(odd_tree / "a.wav"), str(odd_tree / "sub" / "b.wav"),
                         str(odd_tree / "take\\xff.wav")]
    complaints = err.splitlines()
    reasons = {"skipped": "skipped: not a regular file",
               "skipped folder": "skipped: a symbolic link to a directory"}
    assert complaints[:-1] == [f"ondalis: {path}: {reasons.get(said, said)}"
                               for path, said in expected.items() if said is not None]
    skipped = sum(1 for said in expected.values() if said and said.startswith("skipped"))
    assert complaints[-1] == (f"ondalis: {len(expected)} entries: 3 ok, 2 failed, "
                              f"{skipped} skipped")


def test_convert_accounts_for_every_entry_and_mirrors_the_tree(odd_tree, tmp_path):
    out = tmp_path / "out"
    result = program("convert", "-r", odd_tree, "--outdir", out, "--major", "flac", "-j", "2",
                     cwd=tmp_path)
    assert result.returncode == 1
    assert sorted(result.stdout.splitlines()) == sorted([
        f"{out}/a.flac: 10 frames", f"{out}/sub/b.flac: 20 frames",
        f"{out}/take\\xff.flac: 30 frames"])
    written = sorted(os.path.relpath(os.path.join(folder, name), out)
                     for folder, _, names in os.walk(out) for name in names)
    assert written == sorted(["a.flac", "sub/b.flac", os.fsdecode(b"take\xff.flac")])
    lines = result.stderr.splitlines()
    assert f"ondalis: {odd_tree}/fifo.wav: skipped: not a regular file" in lines
    assert f"ondalis: {odd_tree}/linked: skipped: a symbolic link to a directory" in lines
    assert lines[-1].startswith(f"ondalis: {len(expected_entries(odd_tree))} entries: 3 ok, "
                                "2 failed, ")


def test_a_folder_that_cannot_be_read_is_an_error_in_its_place():
    """Run by a user who may not read the folder (root reads any: the walk
    then runs in a child that has given up root)."""
    top = tempfile.mkdtemp()
    try:
        os.chmod(top, 0o755)
        pcm16(pathlib.Path(top) / "a.wav", 10)
        closed = os.path.join(top, "closed")
        os.mkdir(closed, 0)
        pcm16(pathlib.Path(top) / "z.wav", 10)

        def walk():
            return [(path, type(error).__name__ if error else None)
                    for path, error in _batch.sound_files([top], True)]

        assert in_child_as_nobody(walk) == repr([(os.path.join(top, "a.wav"), None),
                                                 (closed, "PermissionError"),
                                                 (os.path.join(top, "z.wav"), None)])
    finally:
        os.chmod(os.path.join(top, "closed"), 0o755)
        shutil.rmtree(top)


# --- convert mirrors the folders -----------------------------------------------------------

@pytest.fixture
def days(tmp_path):
    """music/: one base name in two folders, and a file at the top."""
    top = tmp_path / "music"
    pcm16(top / "day0" / "take000.wav", 10)
    pcm16(top / "day1" / "take000.wav", 20)
    pcm16(top / "intro.wav", 30)
    return top


def test_convert_mirrors_the_folders_of_each_input(capsys, days, tmp_path):
    out = tmp_path / "out"
    status, printed, err = run(capsys, "convert", "-r", days, "--outdir", out, "--major", "flac")
    assert (status, err) == (0, "")
    assert printed.splitlines() == [f"{out}/day0/take000.flac: 10 frames",
                                    f"{out}/day1/take000.flac: 20 frames",
                                    f"{out}/intro.flac: 30 frames"]
    for name, frames in (("day0/take000.flac", 10), ("day1/take000.flac", 20)):
        assert soundfile.info(out / name).frames == frames
    # Relative to the folder given, however it is spelled.
    status, printed, _ = run(capsys, "convert", "-r", f"{days}/./", "--outdir", tmp_path / "o2")
    assert status == 0 and f"{tmp_path}/o2/day1/take000.wav: 20 frames" in printed.splitlines()


@pytest.mark.parametrize("argv, copy, clash", [
    # flat, the one base name in two folders clashes again
    (["--flat"], None, ("day0/take000.wav", "day1/take000.wav", "take000.flac")),
    # mirrored, two files of one folder that differ by their extension alone
    ([], "day0/take000.aiff", ("day0/take000.aiff", "day0/take000.wav", "day0/take000.flac")),
])
def test_a_collision_that_remains_is_refused_before_anything_is_written(capsys, days, tmp_path,
                                                                        argv, copy, clash):
    if copy:
        shutil.copy(days / "day0" / "take000.wav", days / copy)
    out = tmp_path / "out"
    status, printed, err = run(capsys, "convert", "-r", days, "--outdir", out, "--major", "flac",
                               *argv)
    first, second, target = clash
    assert (status, printed) == (1, "")
    assert err == (f"ondalis: {days / first} and {days / second} would both be written to "
                   f"{out / target}; nothing was converted\n")
    assert not out.exists()


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
