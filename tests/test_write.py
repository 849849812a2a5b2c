"""Writing arrays as frames, checked by readers that are not ours."""
import types
import warnings

import numpy as np
import pytest
import soundfile

from messages import NO_HANDLE

RNG = np.random.default_rng(11)
N = 300


def exact_for_pcm24(dtype):
    """Floats that survive libsndfile's 24-bit scaling (k / 2**23, |k| < 2**22)."""
    return (RNG.integers(-2**22 + 1, 2**22, size=(N, 2)) / 2.0**23).astype(dtype)


DATA = {
    np.int16: lambda: RNG.integers(-32768, 32768, size=(N, 2)).astype(np.int16),
    np.int32: lambda: RNG.integers(-2**31, 2**31, size=(N, 2)).astype(np.int32),
    np.float32: lambda: RNG.uniform(-1, 1, size=(N, 2)).astype(np.float32),
    np.float64: lambda: RNG.uniform(-1, 1, size=(N, 2)),
}
SOUNDFILE_DTYPE = {np.int16: "int16", np.int32: "int32", np.float32: "float32",
                   np.float64: "float64"}

ROUND_TRIPS = [
    ("wav", "pcm16", np.int16, DATA[np.int16]),
    ("wav", "pcm32", np.int32, DATA[np.int32]),
    ("wav", "float32", np.float32, DATA[np.float32]),
    ("wav", "float64", np.float64, DATA[np.float64]),
    ("aiff", "pcm16", np.int16, DATA[np.int16]),
    ("aiff", "pcm32", np.int32, DATA[np.int32]),
    ("aiff", "float32", np.float32, DATA[np.float32]),
    ("aiff", "float64", np.float64, DATA[np.float64]),
    ("flac", "pcm16", np.int16, DATA[np.int16]),
    ("flac", "pcm24", np.int32, lambda: DATA[np.int32]() & ~0xFF),
    ("flac", "pcm24", np.float32, lambda: exact_for_pcm24(np.float32)),
    ("flac", "pcm24", np.float64, lambda: exact_for_pcm24(np.float64)),
]


@pytest.mark.parametrize("major, encoding, dtype, make", ROUND_TRIPS)
def test_round_trip(m, tmp_path, major, encoding, dtype, make):
    data = make()
    path = tmp_path / f"x.{major}"
    fmt = m.construct_format(major, encoding)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with m.Ondalis(path, "w", format=fmt, channels=2, samplerate=8000) as f:
            assert f.write_frames(data[:100]) == 100
            assert f.write_frames(data[100:]) == N - 100
    theirs, _ = soundfile.read(path, dtype=SOUNDFILE_DTYPE[dtype])
    np.testing.assert_array_equal(theirs, data)
    with m.Ondalis(path) as f:
        ours = f.read_frames(dtype=dtype)
    assert ours.dtype == dtype
    np.testing.assert_array_equal(ours, data)


def open_pcm16(m, path, channels=1, mode="w"):
    return m.Ondalis(path, mode, format=m.construct_format("wav", "pcm16"),
                     channels=channels, samplerate=8000)


def test_mono_float64_is_scaled_by_libsndfile(m, build, wav_path):
    ints = np.arange(-32768, 32768, 331)
    data = np.append(ints / 32768.0, 1.0)  # 1.0 is full scale, stored as 32767
    with open_pcm16(m, wav_path) as f:
        assert f.write_frames(data) == len(data)
    np.testing.assert_array_equal(build.read_wav_ints(wav_path)[:, 0], np.append(ints, 32767))


@pytest.mark.parametrize("layout", [
    lambda a: np.asfortranarray(a),
    lambda a: np.ascontiguousarray(a.T).T,          # a transposed (2, n) array
    lambda a: np.repeat(a, 2, axis=0)[::2],          # every other row
])
def test_other_layouts_are_written_frame_by_frame(m, build, wav_path, layout):
    data = DATA[np.int16]()
    arranged = layout(data)
    assert not arranged.flags.c_contiguous
    with open_pcm16(m, wav_path, channels=2) as f:
        assert f.write_frames(arranged) == N
    np.testing.assert_array_equal(build.read_wav_ints(wav_path), data)


def test_strided_1d_input(m, build, wav_path):
    data = np.arange(-50, 50, dtype=np.int16)
    with open_pcm16(m, wav_path) as f:
        assert f.write_frames(np.repeat(data, 3)[::3]) == 100
    np.testing.assert_array_equal(build.read_wav_ints(wav_path)[:, 0], data)


def test_misaligned_input(m, build, wav_path):
    data = np.arange(-8, 8, dtype=np.int16)
    raw = np.frombuffer(b"\0" + data.tobytes(), dtype=np.uint8)[1:].view(np.int16)
    assert not raw.flags.aligned
    with open_pcm16(m, wav_path) as f:
        assert f.write_frames(raw) == 16
    np.testing.assert_array_equal(build.read_wav_ints(wav_path)[:, 0], data)


def test_ndarray_subclass_is_accepted(m, build, wav_path):
    class Samples(np.ndarray):
        pass

    data = np.arange(10, dtype=np.int16).reshape(5, 2).view(Samples)
    with open_pcm16(m, wav_path, channels=2) as f:
        assert f.write_frames(data.T.copy().T) == 5
    np.testing.assert_array_equal(build.read_wav_ints(wav_path), np.asarray(data))


@pytest.mark.parametrize("data, channels, error, text", [
    (np.zeros(4), 2, ValueError, "Expected 2 channels, got 1"),
    (np.zeros((4, 3)), 2, ValueError, "Expected 2 channels, got 3"),
    (np.zeros((4, 0)), 2, ZeroDivisionError, "integer division or modulo by zero"),
    (np.zeros((2, 2, 2)), 2, ValueError, "Ondalis::write_frames::error cannot handle arrays "
     "of 3 dimensions, please restrict to  2 dimensions"),
    (np.array(1.0), 1, ValueError, "Ondalis::write_frames::error cannot handle arrays "
     "of 0 dimensions, please restrict to  2 dimensions"),
    (np.zeros(4, dtype=np.int64), 1, RuntimeError, "type of input int64 not understood"),
    (np.zeros(4, dtype=">f8"), 1, RuntimeError, "type of input >f8 not understood"),
    (None, 1, TypeError,
     "Argument 'input' has incorrect type (expected numpy.ndarray, got NoneType)"),
    ([0.0], 1, TypeError,
     "Argument 'input' has incorrect type (expected numpy.ndarray, got list)"),
])
def test_refusals_leave_the_file_untouched(m, wav_path, data, channels, error, text):
    with open_pcm16(m, wav_path, channels=channels) as f:
        with pytest.raises(error) as excinfo:
            f.write_frames(data)
        assert str(excinfo.value) == text
        assert f.seek(0, 1, "w") == 0


def test_closed_and_read_only(m, build, tmp_path):
    path = build.pcm16_wav(tmp_path / "a.wav", np.zeros(10))
    f = m.Ondalis(path)
    with pytest.raises(OSError) as excinfo:
        f.write_frames(np.zeros(10))
    assert str(excinfo.value) == "write_frames::error::wrote 0 frames, expected to write 10"
    f.close()
    with pytest.raises(RuntimeError) as excinfo:
        f.write_frames(np.zeros(10))
    assert str(excinfo.value) == NO_HANDLE


def test_argument_count(m, wav_path):
    with open_pcm16(m, wav_path) as f:
        with pytest.raises(TypeError) as excinfo:
            f.write_frames()
        assert str(excinfo.value) == "write_frames() takes exactly 1 positional argument (0 given)"
        assert f.write_frames(input=np.zeros(3)) == 3


def fake_np(**overrides):
    """A stand-in for the module's numpy import with some functions replaced."""
    names = ("float64", "float32", "int32", "short", "require", "abs", "max")
    return types.SimpleNamespace(**{n: getattr(np, n) for n in names} | overrides)


@pytest.mark.parametrize("encoding, data, warns", [
    ("pcm16", np.array([0.5, 1.5, -0.2], dtype=np.float32), True),
    ("pcm16", np.array([0.5, -1.25]), True),
    ("pcm16", np.array([1.0, -1.0, 0.0]), False),
    ("pcm16", np.array([np.nan, 2.0]), False),   # the maximum is NaN, not above 1
    ("pcm16", np.array([np.inf]), True),
    ("pcm16", np.zeros(0), False),
    ("float32", np.array([1.5, -3.0], dtype=np.float32), False),
    ("float64", np.array([1.5, -3.0]), False),
    ("pcm16", np.array([2, -3], dtype=np.int16), False),    # integers are never checked
])
@pytest.mark.parametrize("wrapped", [False, True], ids=["numpy", "wrapped"])
def test_clipping_warning(m, wav_path, monkeypatch, encoding, data, warns, wrapped):
    if wrapped:  # the same decision through Python-level np.require, np.abs and np.max
        monkeypatch.setattr(m, "np", fake_np(require=lambda a, **kw: np.require(a, **kw),
                                             abs=lambda a: np.abs(a), max=lambda a: np.max(a)))
    fmt = m.construct_format("wav", encoding)
    with m.Ondalis(wav_path, "w", format=fmt, channels=1, samplerate=8000) as f:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert f.write_frames(data) == len(data)
    texts = [str(w.message) for w in caught]
    expected = ["write_frames::warning::audio data has been clipped while writing to file "
                f"{wav_path}."] if warns else []
    assert texts == expected
    if warns:
        assert caught[0].category is UserWarning


def test_clipped_data_is_limited_by_libsndfile(m, build, wav_path):
    with open_pcm16(m, wav_path) as f:
        with pytest.warns(UserWarning):
            f.write_frames(np.array([1.5, -1.5, 0.25]))
    np.testing.assert_array_equal(build.read_wav_ints(wav_path)[:, 0],
                                  [32767, -32768, 8192])


def test_clipping_warning_for_a_descriptor_names_no_file(m, wav_path):
    import os
    fd = os.open(wav_path, os.O_RDWR | os.O_CREAT)
    try:
        with m.Ondalis(fd, "w", format=m.construct_format("wav", "pcm16"), channels=1,
                       samplerate=8000) as f:
            with pytest.warns(UserWarning) as caught:
                f.write_frames(np.array([3.0]))
    finally:
        os.close(fd)
    assert str(caught[0].message) == ("write_frames::warning::audio data has been clipped "
                                      "while writing to file .")


@pytest.mark.parametrize("overrides, data, outcome", [
    ({"float64": np.dtype("float64")}, np.zeros(3), 3),     # equal, not a scalar type
    ({"float64": np.float32}, np.zeros(3), "type of input float64 not understood"),
    ({"short": np.int32, "int32": np.int64}, np.zeros(3, np.int32),
     "Ondalis::error::the array from np.require holds dtype('int32'), not dtype('int16')"),
])
def test_element_types_are_looked_up_at_each_call(m, wav_path, monkeypatch, overrides, data,
                                                  outcome):
    monkeypatch.setattr(m, "np", fake_np(**overrides))
    with open_pcm16(m, wav_path) as f:
        if isinstance(outcome, int):
            assert f.write_frames(data) == outcome
            return
        with pytest.raises((RuntimeError, TypeError)) as excinfo:
            f.write_frames(data)
        assert str(excinfo.value).startswith(outcome)


def test_rebound_range_functions_are_used(m, wav_path, monkeypatch):
    monkeypatch.setattr(m, "np", fake_np(max=lambda values: 2.0))
    with open_pcm16(m, wav_path) as f:
        with pytest.warns(UserWarning):
            f.write_frames(np.zeros(3))


def test_rebound_require_receives_the_column_view(m, build, wav_path, monkeypatch):
    calls = []

    def require(a, **kwargs):
        calls.append((a.shape, kwargs))
        return np.require(a, **kwargs)

    monkeypatch.setattr(m, "np", fake_np(require=require))
    with open_pcm16(m, wav_path) as f:
        assert f.write_frames(np.arange(4, dtype=np.int16)[::-1]) == 4
    assert calls == [((4, 1), {"requirements": "C"})]
    np.testing.assert_array_equal(build.read_wav_ints(wav_path)[:, 0], [3, 2, 1, 0])


@pytest.mark.parametrize("require, error, text", [
    (lambda a, **kw: a.tolist(), TypeError, "not a numpy array"),
    (lambda a, **kw: np.asfortranarray(np.zeros((4, 2), dtype=a.dtype)), RuntimeError,
     "not C-contiguous"),
    (lambda a, **kw: np.zeros((1, 2), dtype=a.dtype), RuntimeError, "too small"),
])
def test_rebound_require_is_checked_before_libsndfile_reads(m, wav_path, monkeypatch,
                                                            require, error, text):
    monkeypatch.setattr(m, "np", fake_np(require=require))
    with open_pcm16(m, wav_path, channels=2) as f:
        with pytest.raises(error) as excinfo:
            f.write_frames(np.zeros((100, 2)))
        assert text in str(excinfo.value)
        assert f.seek(0, 1, "w") == 0
