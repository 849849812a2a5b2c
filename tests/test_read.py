"""Reading frames into new arrays, from files that other writers made."""
import types

import numpy as np
import pytest

from messages import NO_HANDLE

RNG = np.random.default_rng(7)
STEREO = RNG.integers(-32768, 32768, size=(500, 2), dtype=np.int16)


@pytest.fixture
def stereo(tmp_path, build):
    return build.pcm16_wav(tmp_path / "stereo.wav", STEREO, channels=2)


@pytest.fixture
def mono(tmp_path, build):
    return build.pcm16_wav(tmp_path / "mono.wav", STEREO[:, 0])


# What libsndfile gives for 16-bit samples s in each element type.
EXPECTED = [
    (np.float64, lambda s: s / 32768.0),
    (np.float32, lambda s: (s / 32768.0).astype(np.float32)),
    (np.int32, lambda s: s.astype(np.int32) << 16),
    (np.int16, lambda s: s),
    (np.dtype("float32"), lambda s: (s / 32768.0).astype(np.float32)),  # equal, not identical
]


@pytest.mark.parametrize("dtype, expect", EXPECTED)
def test_values_and_layout_match_the_wave_module(m, stereo, dtype, expect):
    with m.Ondalis(stereo) as f:
        got = f.read_frames(dtype=dtype)
    want = expect(STEREO)
    assert got.dtype == want.dtype and got.shape == (500, 2)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("suffix", ["aiff", "flac"])
def test_reads_files_made_by_sox(m, build, stereo, tmp_path, suffix):
    other = build.sox_convert(stereo, tmp_path / f"x.{suffix}")
    with m.Ondalis(other) as f:
        np.testing.assert_array_equal(f.read_frames(dtype=np.int16), STEREO)


def test_mono_defaults_read_to_the_end_as_1d_float64(m, mono):
    with m.Ondalis(mono) as f:
        f.seek(100)
        got = f.read_frames()
        assert f.seek(0, 1, "r") == 500
        assert got.dtype == np.float64 and got.shape == (400,)
        assert got.flags.owndata  # reshaped in place, not a view
        np.testing.assert_array_equal(got, STEREO[100:, 0] / 32768.0)
        assert f.read_frames().shape == (0,)


@pytest.mark.parametrize("path, kwargs, shape", [
    ("mono", {"force_2d": True}, (500, 1)),
    ("mono", {"nframes": 0}, (0,)),
    ("mono", {"nframes": 0, "force_2d": 1}, (0, 1)),
    ("stereo", {"nframes": 0}, (0, 2)),
    ("stereo", {"nframes": 7}, (7, 2)),
])
def test_shapes(m, request, path, kwargs, shape):
    with m.Ondalis(request.getfixturevalue(path)) as f:
        assert f.read_frames(**kwargs).shape == shape


def test_short_read_without_fill_value(m, stereo):
    with m.Ondalis(stereo) as f:
        with pytest.raises(RuntimeError) as excinfo:
            f.read_frames(1000)
        assert str(excinfo.value) == "Asked 1000 frames, read 500"
        assert f.seek(0, 1, "r") == 500


def test_short_read_fills_missing_rows(m, stereo):
    with m.Ondalis(stereo) as f:
        f.seek(400)
        got = f.read_frames(1000, dtype=np.int16, fill_value=-3)
    assert got.shape == (1000, 2)
    np.testing.assert_array_equal(got[:100], STEREO[400:])
    assert (got[100:] == -3).all()


@pytest.mark.parametrize("start, min_read, result", [
    (500, 0, EOFError),     # nothing read, at most the default 0
    (500, -1, 200),         # nothing read, but more than -1
    (400, 100, EOFError),   # 100 read is not more than 100
    (400, 99, 200),
])
def test_min_read_decides_between_eof_and_fill(m, stereo, start, min_read, result):
    with m.Ondalis(stereo) as f:
        f.seek(start)
        if result is EOFError:
            with pytest.raises(EOFError) as excinfo:
                f.read_frames(200, fill_value=0, min_read=min_read)
            assert excinfo.value.args == ()
        else:
            got = f.read_frames(200, dtype=np.int16, fill_value=0, min_read=min_read)
            assert got.shape == (result, 2)
            np.testing.assert_array_equal(got[:500 - start], STEREO[start:])
            assert not got[500 - start:].any()


def test_unsupported_dtype_and_closed_object(m, stereo):
    f = m.Ondalis(stereo)
    with pytest.raises(RuntimeError) as excinfo:
        f.read_frames(dtype=np.uint8)
    assert str(excinfo.value) == f"Sorry, dtype {np.uint8} not supported"
    f.close()
    with pytest.raises(RuntimeError) as excinfo:
        f.read_frames(dtype=np.uint8)
    assert str(excinfo.value) == NO_HANDLE


def test_bad_arguments(m, stereo):
    with m.Ondalis(stereo) as f:
        with pytest.raises(TypeError):
            f.read_frames("10")
        with pytest.raises(TypeError):
            f.read_frames(1, np.float64, False, None, 0, 6)
        with pytest.raises(TypeError):
            f.read_frames(frames=3)
        with pytest.raises(ValueError):  # numpy refuses the bad fill value
            f.read_frames(600, fill_value="x")


def fake_np(empty):
    """A stand-in for the module's numpy import with a different `empty`."""
    return types.SimpleNamespace(float64=np.float64, float32=np.float32, int32=np.int32,
                                 int16=np.int16, short=np.short, empty=empty)


@pytest.mark.parametrize("empty, error, text", [
    (lambda shape, **kw: [0.0] * 1000, TypeError, "not a numpy array"),
    (lambda shape, **kw: np.empty(shape, dtype=np.float32), TypeError,
     "Ondalis::error::the array from np.empty holds dtype('float32'), not dtype('float64')"),
    (lambda shape, **kw: np.empty((1, 2)), RuntimeError, "too small"),
    (lambda shape, **kw: np.empty((shape[0], 4))[:, ::2], RuntimeError, "not C-contiguous"),
    (lambda shape, **kw: np.broadcast_to(np.zeros(2), shape), RuntimeError, "not C-contiguous"),
    (lambda shape, **kw: np.frombuffer(bytes(160), dtype=np.float64).reshape(shape),
     RuntimeError, "not writable"),
])
def test_rebound_empty_is_checked_before_libsndfile_writes(m, stereo, monkeypatch, empty,
                                                           error, text):
    monkeypatch.setattr(m, "np", fake_np(empty))
    with m.Ondalis(stereo) as f:
        with pytest.raises(error) as excinfo:
            f.read_frames(10)
        assert text in str(excinfo.value)
        assert f.seek(0, 1, "r") == 0


def test_rebound_empty_is_called_as_documented(m, stereo, monkeypatch):
    calls = []

    def empty(shape, **kwargs):
        calls.append((shape, kwargs))
        return np.empty(shape, **kwargs)

    monkeypatch.setattr(m, "np", fake_np(empty))
    with m.Ondalis(stereo) as f:
        got = f.read_frames(5, dtype=np.int16)
    assert calls == [((5, 2), {"dtype": np.short, "order": "C"})]
    np.testing.assert_array_equal(got, STEREO[:5])


MONO_FILLS = [
    (0, False),
    (np.arange(100, dtype=float).reshape(100, 1), False),  # one value per missing row
    (np.array([[9.0]]), True),
    (7, True),
]


@pytest.mark.parametrize("fill, force_2d", MONO_FILLS)
def test_mono_reads_agree_with_numpys_empty_and_a_replacement(m, mono, monkeypatch, fill,
                                                              force_2d):
    # numpy's own np.empty lets a mono result be made one-dimensional at once;
    # a replacement goes the documented way (2-D array, then reshape). Both
    # give the same array, and a fill value is assigned to rows in both.
    def read():
        with m.Ondalis(mono) as f:
            f.seek(-50, 2)
            return f.read_frames(150, fill_value=fill, force_2d=force_2d)

    fast = read()
    monkeypatch.setattr(m, "np", fake_np(lambda shape, **kw: np.empty(shape, **kw)))
    documented = read()
    assert fast.shape == documented.shape == ((150, 1) if force_2d else (150,))
    assert fast.base is None and documented.base is None
    np.testing.assert_array_equal(fast, documented)
    np.testing.assert_array_equal(fast.reshape(-1)[:50], STEREO[-50:, 0] / 32768.0)
