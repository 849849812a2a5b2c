"""Cue markers of hand-built AIFF MARK and WAV 'cue ' chunks."""
import numpy as np
import pytest

from messages import NO_HANDLE

SAMPLES = np.zeros(64, dtype=np.int16)


def aiff(build, tmp_path, markers):
    path = tmp_path / "m.aiff"
    path.write_bytes(build.aiff_bytes(SAMPLES, markers=markers))
    return path


def wav(build, tmp_path, offsets):
    path = tmp_path / "c.wav"
    path.write_bytes(build.wav_bytes(SAMPLES, extra_chunks=build.wav_cue_chunk(offsets)))
    return path


def test_file_without_markers(m, build, tmp_path):
    with m.Ondalis(build.pcm16_wav(tmp_path / "a.wav", SAMPLES)) as f:
        assert f.get_cue_count() == 0
        assert f.get_cue_mrks() == []


@pytest.mark.parametrize("markers", [
    [(10, b"intro"), (3000000000, b"far")],   # an offset above the int32 range
    [(5, b"ab"), (0, b""), (7, b"x" * 255)],  # even and empty names, the longest name
])
def test_aiff_markers_in_file_order(m, build, tmp_path, markers):
    with m.Ondalis(aiff(build, tmp_path, markers)) as f:
        assert f.get_cue_count() == len(markers)
        assert f.get_cue_mrks() == [(pos, name.decode()) for pos, name in markers]


@pytest.mark.parametrize("count", [1, 100, 101, 150])
def test_wav_cue_points_beyond_the_published_record(m, build, tmp_path, count):
    offsets = [3000000000 - i if i % 2 else 7 * i for i in range(count)]
    with m.Ondalis(wav(build, tmp_path, offsets)) as f:
        assert f.get_cue_count() == count
        assert f.get_cue_mrks() == [(off, "") for off in offsets]


def test_non_ascii_name(m, build, tmp_path):
    with m.Ondalis(aiff(build, tmp_path, [(1, b"caf\xe9")])) as f:
        with pytest.raises(UnicodeDecodeError):
            f.get_cue_mrks()


def test_closed_object_and_arguments(m, build, tmp_path):
    f = m.Ondalis(wav(build, tmp_path, [1]))
    for call in (f.get_cue_count, f.get_cue_mrks):
        with pytest.raises(TypeError):
            call(1)
        with pytest.raises(TypeError):
            call(x=1)
    f.close()
    for call in (f.get_cue_count, f.get_cue_mrks):
        with pytest.raises(RuntimeError) as excinfo:
            call()
        assert str(excinfo.value) == NO_HANDLE
