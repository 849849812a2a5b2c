"""The package functions report failures as failures: a damaged file raises
(or, when asked, gives its decodable part with a warning), a header's claim
sizes no array, and every OSError names the source as the caller gave it."""
import errno
import io
import os
import pickle
import re
import struct
import warnings

import numpy as np
import pytest
import soundfile

import ondalis
import children
from conftest import mounted_tmpfs

RATE = 44100
FRAMES = 4 * RATE


@pytest.fixture(scope="module")
def flac_bytes():
    """A 4 s mono FLAC written by soundfile, and its samples as int16."""
    samples = (np.sin(np.arange(FRAMES) / 10) * 16000).astype(np.int16)
    buffer = io.BytesIO()
    soundfile.write(buffer, samples, RATE, format="FLAC", subtype="PCM_16")
    return buffer.getvalue(), samples


def decodable_frames(path):
    """How many frames the Ondalis object reads before libsndfile stops."""
    with ondalis.Ondalis(os.fspath(path)) as f:
        with pytest.raises(RuntimeError) as excinfo:
            f.read_frames(f.frames(), np.int16)
    return int(re.fullmatch(r"Asked \d+ frames, read (\d+)", str(excinfo.value)).group(1))


@pytest.fixture(params=["half", "head"])
def cut_flac(request, tmp_path, flac_bytes):
    """A FLAC cut by a power failure: at half its size, or after its first frames."""
    data, samples = flac_bytes
    size = len(data) // 2 if request.param == "half" else 9000
    path = tmp_path / "cut.flac"
    path.write_bytes(data[:size])
    return path, samples


def damage_message(path, frame):
    return (f"cannot read {str(path)!r}: decoding stopped at frame {frame} of the {FRAMES} "
            "its header announces: flac decoder lost sync.")


@pytest.mark.parametrize("call", [
    lambda p: ondalis.read(p),
    lambda p: ondalis.read(p, dtype="int16", start=100),
    lambda p: list(ondalis.blocks(p, 1024)),
    lambda p: list(ondalis.blocks(p, 1024, out=np.empty(1024, np.float32))),
], ids=["read", "read-int16", "blocks", "blocks-out"])
def test_a_damaged_file_raises_naming_file_frame_length_and_reason(cut_flac, call):
    path, _ = cut_flac
    stopped = decodable_frames(path)
    assert 0 < stopped < FRAMES
    with pytest.raises(ondalis.SndfileError) as excinfo:
        call(str(path))
    assert str(excinfo.value) == damage_message(path, stopped)
    assert excinfo.value.filename == str(path)
    assert isinstance(excinfo.value, OSError)


def test_convert_of_a_damaged_file_raises_and_leaves_the_target(cut_flac, tmp_path):
    path, _ = cut_flac
    target = tmp_path / "out.wav"
    soundfile.write(target, np.zeros(10), 8000)
    before = target.read_bytes()
    with pytest.raises(ondalis.SndfileError, match="decoding stopped at frame"):
        ondalis.convert(path, target)
    assert target.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["cut.flac", "out.wav"]


def test_the_decodable_part_is_given_when_asked_with_one_warning(cut_flac, tmp_path):
    path, samples = cut_flac
    stopped = decodable_frames(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        data, rate = ondalis.read(path, dtype="int16", on_damage="truncate")
        blocks = list(ondalis.blocks(path, 4096, dtype="int16", on_damage="truncate"))
        done = ondalis.convert(path, tmp_path / "part.wav", on_damage="truncate")
    assert rate == RATE
    np.testing.assert_array_equal(data, samples[:stopped])
    np.testing.assert_array_equal(np.concatenate(blocks), samples[:stopped])
    assert done.frames == stopped
    np.testing.assert_array_equal(soundfile.read(tmp_path / "part.wav", dtype="int16")[0],
                                  samples[:stopped])
    texts = [str(w.message) for w in caught]
    assert texts == [damage_message(path, stopped) + "; the frames before it are kept"] * 3


def test_on_damage_takes_raise_or_truncate(tmp_path, flac_bytes):
    path = tmp_path / "whole.flac"
    path.write_bytes(flac_bytes[0])
    np.testing.assert_array_equal(ondalis.read(path, dtype="int16", on_damage="raise")[0],
                                  flac_bytes[1])
    for call in (ondalis.read, ondalis.blocks, ondalis.convert):
        with pytest.raises(ValueError, match="on_damage must be 'raise' or 'truncate'"):
            call(path, **({"target": io.BytesIO()} if call is ondalis.convert else {}),
                 on_damage="ignore")


def flac_claiming(frames, body=b""):
    """FLAC bytes whose STREAMINFO announces `frames` mono 16-bit frames at
    44100 Hz, followed by `body` (the frames of a real stream, or NULs)."""
    fields = (RATE << 44) | (0 << 41) | (15 << 36) | frames
    streaminfo = struct.pack(">HH", 4096, 4096) + bytes(6) + fields.to_bytes(8, "big") + bytes(16)
    head = b"fLaC" + bytes([0x80, 0, 0, len(streaminfo)]) + streaminfo
    return head + (body or bytes(101 - len(head)))


def test_a_claim_beyond_the_file_sizes_no_array(tmp_path, flac_bytes, run_python):
    """Read under a 1 GiB address-space limit, in a child process: a 101-byte
    file announcing 10**8 or 2**33 frames, and a real stream of 1000 frames
    whose header announces 10**8 (libsndfile's decoder reports the end it
    meets as lost sync: damage, whose decodable part is all its frames)."""
    data, samples = flac_bytes
    short = (samples[:1000]).astype(np.int16)
    buffer = io.BytesIO()
    soundfile.write(buffer, short, RATE, format="FLAC", subtype="PCM_16")
    frames_of_real = buffer.getvalue()[42:]  # after fLaC and its 34-byte STREAMINFO
    (tmp_path / "small.flac").write_bytes(flac_claiming(10**8))
    (tmp_path / "huge.flac").write_bytes(flac_claiming(2**33))
    (tmp_path / "real.flac").write_bytes(flac_claiming(10**8, frames_of_real))
    code = f"""
import os, resource, sys
import numpy as np
import ondalis
# Under AddressSanitizer the address space is its shadow's: its allocator
# refuses an array of the claim's size itself, and reports it.
if "libasan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
for name in ("small", "huge"):
    path = {str(tmp_path)!r} + "/" + name + ".flac"
    for truncated in (ondalis.read(path, on_damage="truncate")[0],
                      ondalis.read(path, dtype="int16", on_damage="truncate")[0]):
        assert truncated.shape == (0,), truncated.shape
    try:
        ondalis.read(path)
    except ondalis.SndfileError as error:
        assert "decoding stopped at frame 0" in str(error), error
    else:
        raise AssertionError("no error for " + name)
real = {str(tmp_path)!r} + "/real.flac"
try:
    ondalis.read(real)
except ondalis.SndfileError as error:
    assert "decoding stopped at frame 1000 of the 100000000" in str(error), error
else:
    raise AssertionError("no error for the real stream")
data, _ = ondalis.read(real, dtype="int16", on_damage="truncate")
sys.stdout.write(data.tobytes().hex())
"""
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(np.frombuffer(bytes.fromhex(done.stdout), np.int16), short)


def test_reading_a_stream_open_for_writing_is_refused():
    code = ondalis.construct_format("wav", "pcm16")
    with ondalis._stream.Stream(io.BytesIO(), "w", code, 1, 8000) as f:
        with pytest.raises(io.UnsupportedOperation, match="^file is open for writing only$"):
            f.read(10)


@pytest.fixture
def garbage(tmp_path):
    path = tmp_path / "garbage.wav"
    path.write_bytes(b"not a sound file" * 100)
    return path


@pytest.mark.parametrize("given, named", [
    (lambda p: str(p), lambda p: str(p)),
    (lambda p: os.fsencode(p), lambda p: str(p)),
    (lambda p: p, lambda p: str(p)),
    (lambda p: open(p, "rb"), lambda p: str(p)),
    (lambda p: io.BytesIO(p.read_bytes()), lambda p: None),
], ids=["str", "bytes", "Path", "file object", "BytesIO"])
@pytest.mark.parametrize("call", [ondalis.read, ondalis.info, ondalis.blocks],
                         ids=["read", "info", "blocks"])
def test_an_unreadable_file_names_the_source_as_given(garbage, given, named, call):
    source = given(garbage)
    with pytest.raises(ondalis.SndfileError) as excinfo:
        call(source, **({"blocksize": 64} if call is ondalis.blocks else {}))
    assert excinfo.value.filename == named(garbage)
    assert str(excinfo.value).endswith(": Format not recognised.")
    # as a process pool hands it back
    travelled = pickle.loads(pickle.dumps(excinfo.value))
    assert (type(travelled), str(travelled), travelled.filename) == \
        (ondalis.SndfileError, str(excinfo.value), named(garbage))
    if hasattr(source, "close"):
        source.close()


def test_a_descriptor_is_named_by_its_number(garbage):
    fd = os.open(garbage, os.O_RDONLY)
    try:
        with pytest.raises(ondalis.SndfileError) as excinfo:
            ondalis.read(fd)
        assert excinfo.value.filename == fd
    finally:
        os.close(fd)


def in_child_as_nobody(job):
    """Runs `job()` in a forked child that is not root (when this process is
    root); returns what it returned, as repr."""
    return children.in_child(job, children.NOBODY if os.geteuid() == 0 else None)


def test_a_file_the_user_may_not_read_is_a_permission_error(tmp_path):
    folder = tmp_path / "open"
    folder.mkdir()
    path = folder / "private.wav"
    soundfile.write(path, np.zeros(10), 8000)
    path.chmod(0)
    os.chmod(tmp_path, 0o755)
    folder.chmod(0o755)

    def job():
        try:
            ondalis.read(str(path))
        except OSError as error:
            return type(error).__name__, error.errno, error.filename
        return "read"

    assert in_child_as_nobody(job) == repr(("PermissionError", errno.EACCES, str(path)))


@pytest.fixture
def full_disk(tmp_path):
    """A 64 KiB tmpfs (root only)."""
    yield from mounted_tmpfs(tmp_path / "small", "64k")


@pytest.mark.parametrize("name", ["full.wav", "full.flac", "full.ogg"])
def test_a_full_disk_names_the_target_with_its_errno(full_disk, name):
    target = full_disk / name
    data = np.random.default_rng(1).uniform(-0.5, 0.5, (400000, 2))
    with pytest.raises(OSError) as excinfo:
        ondalis.write(target, data, RATE)
    error = excinfo.value
    assert error.errno == errno.ENOSPC
    assert error.filename == str(target)
    assert str(error).startswith(f"cannot write to {str(target)!r}: ")
    assert ".part" not in str(error)
    assert os.listdir(full_disk) == []


def test_an_ogg_page_that_does_not_fit_says_so_and_prints_nothing(full_disk, capfd):
    """libsndfile's Ogg writer reports -1 when a page cannot be written, a
    number its error texts print a complaint about on the standard output."""
    data = np.random.default_rng(2).uniform(-0.5, 0.5, (30000, 2))
    failures = []
    for fill in range(40 * 1024, 64 * 1024, 2048):
        for name in os.listdir(full_disk):
            os.remove(full_disk / name)
        try:
            (full_disk / "filler").write_bytes(bytes(fill))
        except OSError:
            break
        try:
            ondalis.write(full_disk / "a.ogg", data, RATE)
        except OSError as error:
            failures.append((error.errno, str(error)))
        else:  # it fitted
            assert ondalis.info(full_disk / "a.ogg").frames == len(data)
    assert failures
    target = str(full_disk / "a.ogg")
    assert set(failures) == {(errno.ENOSPC,
                              f"cannot write to {target!r}: No space left on device")}
    assert capfd.readouterr() == ("", "")


def test_a_channel_position_libsndfile_does_not_name_is_a_value_of_its_own():
    """libsndfile 1.2.0 may hand back a channel map holding a value it has no
    name for (from an AIFF 'CHAN' chunk with a bitmap layout, whatever its
    memory held): it reads as unknown(N), without a warning, and is taken
    back as the same value."""
    fields = {field: None for field in ondalis._api._RECORD_BUILDERS}
    fields["channel_map"] = [ondalis.channel_map_name_to_id["SF_CHANNEL_MAP_LEFT"], 1573363452]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        records = ondalis._api._records(fields, "x.aiff")
    assert records["channel_map"] == ["SF_CHANNEL_MAP_LEFT", "unknown(1573363452)"]
    given = ondalis._metadata.given(None, channel_map=records["channel_map"])
    assert ondalis._metadata._fields("channel_map", given.records["channel_map"]) == \
        fields["channel_map"]


class SeekBackFails(io.FileIO):
    """A real file whose seek() back towards its start raises OSError once
    `failing` is set (a tape, a device that cannot go back)."""
    failing = False

    def seek(self, offset, whence=0):
        if self.failing and whence == 0 and offset < self.tell():
            raise OSError(errno.EIO, "the device cannot go back")
        return super().seek(offset, whence)

    def write(self, data):
        self.failing = True  # from the first bytes on
        return super().write(data)


@pytest.mark.parametrize("major", ["wav", "aiff", "flac", "caf"])
def test_a_file_objects_failed_seek_is_its_own_error(tmp_path, major):
    """libsndfile goes on past a failed seek and rewrites the header at
    close by seeking back: the file is not whole, and the file object's own
    OSError says so, where the write used to report success."""
    with SeekBackFails(tmp_path / f"x.{major}", "w+") as target:
        with pytest.raises(OSError) as excinfo:
            ondalis.write(target, np.zeros(1000), 8000, major=major)
    assert (type(excinfo.value), excinfo.value.errno, excinfo.value.strerror) == \
        (OSError, errno.EIO, "the device cannot go back")
