"""Nothing written is lost: files dropped without close, writes that hit the
file-size limit, writes through descriptors that cannot write, and streams
whose length is unknown."""
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import soundfile

import _ondalis as m

RAMP = (np.arange(6000) % 30000 - 15000).astype(np.int16)


def ramp(frames, channels):
    return np.stack([np.roll(RAMP[:frames], c) for c in range(channels)], axis=1)


FORMATS = [("wav", "pcm16"), ("aiff", "pcm16"), ("flac", "pcm16"), ("caf", "pcm16"),
           ("wav64", "pcm16"), ("rf64", "pcm16"), ("au", "pcm16")]


def write_unclosed(path, major, encoding, data, drop):
    f = m.Ondalis(str(path), "w", m.construct_format(major, encoding), data.shape[1], 8000)
    for block in np.array_split(data, 7):
        assert f.write_frames(block) == len(block)
    drop(f)


def drop_reference(f):
    del f


class Kept(m.Ondalis):
    """A subclass whose instances can sit in a reference cycle."""


@pytest.mark.parametrize("major,encoding", FORMATS)
def test_file_dropped_without_close_keeps_every_frame(tmp_path, major, encoding):
    path = tmp_path / f"dropped.{major}"
    data = ramp(5000, 2)
    write_unclosed(path, major, encoding, data, drop_reference)
    with m.Ondalis(str(path)) as f:
        assert f.frames() == len(data)
        assert np.array_equal(f.read_frames(dtype=np.int16), data)
    if major in ("wav", "flac", "aiff"):
        assert np.array_equal(soundfile.read(path, dtype="int16")[0], data)


def test_file_in_a_reference_cycle_is_completed_by_the_collector(tmp_path):
    path = tmp_path / "cycle.wav"
    data = ramp(3000, 1)
    f = Kept(str(path), "w", m.construct_format("wav", "pcm16"), 1, 8000)
    f.write_frames(data[:, 0])
    f.me = f
    del f
    gc.collect()
    assert np.array_equal(soundfile.read(path, dtype="int16")[0], data[:, 0])


def run_child(code, *args):
    script = textwrap.dedent(code)
    return subprocess.run([sys.executable, "-P", "-c", script, *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_file_left_open_at_interpreter_exit_keeps_every_frame(tmp_path):
    path = tmp_path / "exit.flac"
    result = run_child("""
        import sys
        import numpy as np
        import _ondalis as m
        f = m.Ondalis(sys.argv[1], "w", m.construct_format("flac", "pcm16"), 1, 8000)
        f.write_frames((np.arange(4000) % 3000).astype(np.int16))
        """, path)
    assert result.returncode == 0, result.stderr
    data, rate = soundfile.read(path, dtype="int16")
    assert rate == 8000 and np.array_equal(data, np.arange(4000) % 3000)


FILE_SIZE_LIMIT = """
    import json, resource, signal, sys
    import numpy as np
    import _ondalis as m
    path, limit, by_descriptor = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    code = m.construct_format("wav", "pcm16")
    if by_descriptor:
        import os
        target = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    else:
        target = path
    f = m.Ondalis(target, "w", code, 2, 8000)
    block = 700
    data = np.stack([np.arange(20000), -np.arange(20000)], axis=1).astype(np.int16)
    written, error = 0, None
    try:
        while written + block <= len(data):
            written += f.write_frames(data[written:written + block])
    except OSError as exc:
        error = str(exc)
    f.close()
    print(json.dumps({"written": written, "block": block, "error": error}))
"""


@pytest.mark.parametrize("by_descriptor", [False, True], ids=["path", "descriptor"])
def test_write_beyond_the_file_size_limit(tmp_path, by_descriptor):
    import json
    import re
    path = tmp_path / "limited.wav"
    limit = 44 + 4 * 3 * 700 + 1001  # three blocks and part of a fourth
    result = run_child(FILE_SIZE_LIMIT, path, limit, int(by_descriptor))
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    match = re.fullmatch(r"write_frames::error::wrote (\d+) frames, expected to write (\d+)",
                         report["error"] or "")
    assert match, report
    partly, asked = int(match[1]), int(match[2])
    assert asked == report["block"] and partly < asked
    assert report["written"] == 3 * report["block"]
    saved = report["written"] + partly
    expected = np.stack([np.arange(20000), -np.arange(20000)], axis=1).astype(np.int16)
    assert os.path.getsize(path) <= limit
    with m.Ondalis(str(path)) as f:
        assert f.frames() >= saved
        assert np.array_equal(f.read_frames(saved, np.int16), expected[:saved])
    assert np.array_equal(soundfile.read(path, dtype="int16", frames=saved)[0],
                          expected[:saved])


@pytest.fixture
def read_only_descriptor(tmp_path):
    path = tmp_path / "existing.wav"
    with m.Ondalis(str(path), "w", m.construct_format("wav", "pcm16"), 1, 8000) as f:
        f.write_frames(RAMP[:100])
    fd = os.open(path, os.O_RDONLY)
    yield fd
    os.close(fd)


def test_opening_a_read_only_descriptor_for_writing_fails_and_keeps_it_open(
        read_only_descriptor):
    fd = read_only_descriptor
    with pytest.raises(OSError) as excinfo:
        m.Ondalis(fd, "w", m.construct_format("wav", "pcm16"), 1, 8000)
    assert str(excinfo.value) == "Ondalis::error while opening b''\n\t->b'not open for writing'"
    assert os.fstat(fd)  # the caller's descriptor is still open
    with m.Ondalis(fd) as f:
        assert np.array_equal(f.read_frames(dtype=np.int16), RAMP[:100])


def test_writing_through_a_read_only_descriptor_fails(read_only_descriptor):
    with m.Ondalis(read_only_descriptor) as f:
        with pytest.raises(OSError) as excinfo:
            f.write_frames(RAMP[:10])
        assert str(excinfo.value) == "write_frames::error::wrote 0 frames, expected to write 10"
        assert np.array_equal(f.read_frames(dtype=np.int16), RAMP[:100])


@pytest.mark.parametrize("content", [b"", b"RIFF\x04\x00\x00\x00WAVE", b"\xff" * 64])
def test_failed_open_by_descriptor_keeps_the_descriptor_open(tmp_path, content):
    path = tmp_path / "bad.wav"
    path.write_bytes(content)
    fd = os.open(path, os.O_RDONLY)
    try:
        with pytest.raises(OSError):
            m.Ondalis(fd)
        os.lseek(fd, 0, os.SEEK_SET)
        assert os.read(fd, 100) == content
    finally:
        os.close(fd)


def test_unknown_length_stream_is_read_to_the_end(tmp_path):
    source = tmp_path / "stream.ogg"
    with m.Ondalis(str(source), "w", m.construct_format("ogg", "vorbis"), 1, 8000) as f:
        f.write_frames(np.sin(np.arange(4000) / 9.0) * 0.5)
    expected = soundfile.read(source)[0]  # the decoded frames, by a reader that is not ours
    assert len(expected) == 4000
    r, w = os.pipe()
    os.write(w, source.read_bytes())
    os.close(w)
    try:
        with m.Ondalis(r) as f:
            assert f.seekable() == 0
            assert f.frames() == 2**63 - 1  # libsndfile's count for an unknown length
            # the decoders round differently, by less than 1e-6
            assert np.allclose(f.read_frames(100), expected[:100], rtol=0, atol=1e-6)
            rest = f.read_frames()  # in chunks, to the end
            assert rest.shape == (3900,)
            assert np.allclose(rest, expected[100:], rtol=0, atol=1e-6)
            assert f.read_frames().shape == (0,)
    finally:
        os.close(r)
