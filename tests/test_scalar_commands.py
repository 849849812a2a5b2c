"""Scalar command handlers: integers, truth values, doubles, counts, texts, peaks."""
import math
import struct

import numpy as np
import pytest
import soundfile

import _ondalis
from messages import BAD_PARAMETER, NO_HANDLE

IDS = _ondalis.commands_name_to_id
SAMPLES = np.array([[100, -200], [16384, 5], [-3, 7]] * 20, dtype=np.int16)


@pytest.fixture
def path(tmp_path, make_pcm16_wav):
    return make_pcm16_wav(tmp_path / "a.wav", SAMPLES, channels=2)


@pytest.fixture
def f(path):
    with _ondalis.Ondalis(path) as f:
        yield f


def new_file(tmp_path, name, major, encoding, channels=1):
    code = _ondalis.construct_format(major, encoding)
    return _ondalis.Ondalis(tmp_path / name, "w", format=code, channels=channels, samplerate=8000)


def raised(callable_, *args):
    with pytest.raises(Exception) as excinfo:
        callable_(*args)
    return excinfo.type, str(excinfo.value)


@pytest.mark.parametrize("name, arg, message", [
    ("SFC_SET_CLIPPING", 2, "Ondalis::error:: command SFC_SET_CLIPPING argument 2 should be 0 or 1"),
    ("SFC_SET_NORM_FLOAT", 0.5,
     "Ondalis::error:: command SFC_SET_NORM_FLOAT argument 0.5 should be 0 or 1"),
    # A read-only WAV gets no PEAK chunk: libsndfile answers 0.
    ("SFC_SET_ADD_PEAK_CHUNK", True, "Ondalis::error:: command SFC_SET_ADD_PEAK_CHUNK failed "
     "with current value 0 while it should be set to True"),
    ("SFC_TEST_IEEE_FLOAT_REPLACE", 1,
     f"Ondalis::error:: command SFC_TEST_IEEE_FLOAT_REPLACE failed with error {BAD_PARAMETER}"),
    ("SFC_SET_COMPRESSION_LEVEL", 1.5,
     "Ondalis::error:: value 1.5 not in range 0.0-1.0 for command SFC_SET_COMPRESSION_LEVEL"),
    ("SFC_SET_VBR_ENCODING_QUALITY", -0.1,
     "Ondalis::error:: value -0.1 not in range 0.0-1.0 for command SFC_SET_VBR_ENCODING_QUALITY"),
    ("SFC_SET_OGG_PAGE_LATENCY_MS", 10,
     "Ondalis::error:: value 10 not in range 50.0-1600.0 for command SFC_SET_OGG_PAGE_LATENCY_MS"),
    ("SFC_SET_OGG_PAGE_LATENCY", 1600.5,
     "Ondalis::error:: value 1600.5 not in range 50.0-1600.0 for command SFC_SET_OGG_PAGE_LATENCY"),
    # In range but not a compressed format: a hybrid answer of 0.
    ("SFC_SET_COMPRESSION_LEVEL", 0.5, "Ondalis::error:: command SFC_SET_COMPRESSION_LEVEL failed"),
    # A NaN passes the range check and reaches libsndfile.
    ("SFC_SET_COMPRESSION_LEVEL", math.nan,
     "Ondalis::error:: command SFC_SET_COMPRESSION_LEVEL failed"),
    ("SFC_FILE_TRUNCATE", -1, "Ondalis::error:: argument to command SFC_FILE_TRUNCATE must not be "
     "negative (-1 provided)"),
    ("SFC_SET_RAW_START_OFFSET", -5, "Ondalis::error:: argument to command SFC_SET_RAW_START_OFFSET "
     "must not be negative (-5 provided)"),
    # Truncating a file opened for reading: libsndfile answers 1.
    ("SFC_FILE_TRUNCATE", 0, "Ondalis::error:: command SFC_FILE_TRUNCATE failed"),
    ("SFC_SET_RAW_START_OFFSET", 0,
     f"Ondalis::error:: command SFC_SET_RAW_START_OFFSET failed with error {BAD_PARAMETER}"),
    ("SFC_GET_ORIGINAL_SAMPLERATE", 0, "Ondalis::error:: command SFC_GET_ORIGINAL_SAMPLERATE failed"),
    ("SFC_SET_ORIGINAL_SAMPLERATE", 44100,
     "Ondalis::error:: command SFC_SET_ORIGINAL_SAMPLERATE failed"),
    ("SFC_GET_OGG_STREAM_SERIALNO", 0, "Ondalis::error:: command SFC_GET_OGG_STREAM_SERIALNO failed"),
    ("SFC_SET_BITRATE_MODE", "SF_BITRATE_MODE_CONSTANT",
     "Ondalis::error:: command SFC_SET_BITRATE_MODE failed"),
])
def test_failure_messages(f, name, arg, message):
    assert raised(f.command, name, arg) == (RuntimeError, message)


@pytest.mark.parametrize("name, arg, error, message", [
    ("SFC_SET_BITRATE_MODE", "SF_BITRATE_MODE_FAST", KeyError, "'SF_BITRATE_MODE_FAST'"),
    ("SFC_SET_ORIGINAL_SAMPLERATE", "x", TypeError, "an integer is required"),
    ("SFC_SET_ORIGINAL_SAMPLERATE", 2**31, OverflowError, "value too large to convert to int"),
    ("SFC_FILE_TRUNCATE", 2**63, OverflowError, "value too large to convert to sf_count_t"),
    ("SFC_SET_COMPRESSION_LEVEL", "x", TypeError, "must be real number, not str"),
    ("SFC_SET_CLIPPING", "x", RuntimeError,
     "Ondalis::error:: command SFC_SET_CLIPPING argument x should be 0 or 1"),
])
def test_argument_conversion(f, name, arg, error, message):
    assert raised(f.command, name, arg) == (error, message)


def test_command_ids_are_converted_to_int(f):
    assert raised(f._int32_get_command, "x") == (TypeError, "an integer is required")
    assert raised(f._uint32_get_command, 2**40) == (OverflowError, "value too large to convert to int")


HANDLER_CALLS = [
    ("_int_get_command", ("x", False, False)),
    ("_int32_get_command", ("x",)),
    ("_uint32_get_command", ("x",)),
    ("_int_set_command", ("x", "x")),
    ("_bool_set_command", ("x", 2, True, False)),
    ("_double_get_command", ("x", False)),
    ("_double_channel_get_command", ("x", False)),
    ("_double_set_command", ("x", "x", None, True)),
    ("_sf_count_set_command", ("x", -1, False)),
    ("_string_out_command", ("x", False)),
    ("_bitrate_set_command", ("x", "no such mode")),
]


@pytest.mark.parametrize("method, args", HANDLER_CALLS)
def test_handlers_refuse_a_closed_object_first(f, method, args):
    f.close()
    assert raised(getattr(f, method), *args) == (RuntimeError, NO_HANDLE)


def test_null_handle_handlers_work_on_a_closed_object(f):
    f.close()
    assert f._int_get_command(IDS["SFC_GET_SIMPLE_FORMAT_COUNT"], True, False) > 0
    assert f._string_out_command(IDS["SFC_GET_LIB_VERSION"], 1).startswith("libsndfile-")


def test_handlers_take_keywords(f):
    assert f._bool_set_command(command=0x10C0, arg=True, compare_return=True,
                               check_retcode=False) == 1
    assert raised(f._bool_set_command, 0x10C0, True) == (
        TypeError, "_bool_set_command() takes exactly 4 positional arguments (2 given)")


def test_bool_set_compares_the_answer_when_asked(f):
    # SFC_GET_NORM_DOUBLE answers the current setting, 1, whatever is sent.
    assert f._bool_set_command(0x1010, False, False, False) == 1
    assert raised(f._bool_set_command, 0x1010, False, True, False) == (
        RuntimeError, "Ondalis::error:: command SFC_GET_NORM_DOUBLE failed with current value 1 "
        "while it should be set to False")


def test_bool_set_returns_the_previous_setting(f):
    assert f.command("SFC_SET_NORM_FLOAT", False) == 1
    assert f.command("SFC_GET_NORM_FLOAT") == 0
    assert f.command("SFC_SET_NORM_FLOAT", True) == 0
    assert f.command("SFC_SET_CLIPPING", True) == 1


def test_norm_float_changes_what_reading_returns(f):
    if not hasattr(_ondalis.Ondalis, "read_frames"):
        pytest.skip("reading frames is not built yet")
    assert f.read_frames(1, dtype=np.float32)[0, 0] == np.float32(100 / 32768)
    f.command("SFC_SET_NORM_FLOAT", False)
    assert f.read_frames(1, dtype=np.float32)[0, 0] == np.float32(16384)


def test_ieee_float_replace_on_a_float_file(tmp_path):
    with new_file(tmp_path, "f.wav", "wav", "float32") as f:
        assert f.command("SFC_TEST_IEEE_FLOAT_REPLACE", True) is None


@pytest.mark.parametrize("valid_range, error", [
    (5, TypeError),
    ([0.0], IndexError),
])
def test_double_set_range_must_hold_two_items(f, valid_range, error):
    with pytest.raises(error):
        f._double_set_command(0x1301, 0.5, valid_range, True)


@pytest.mark.parametrize("valid_range", [(0.0, 1.0), {0: 0.0, 1: 1.0}, [0, 1]])
def test_double_set_takes_any_subscriptable_range(tmp_path, valid_range):
    with new_file(tmp_path, "c.flac", "flac", "pcm16") as f:
        assert f._double_set_command(0x1301, 0.25, valid_range, True) is None


@pytest.mark.parametrize("level", [0.0, 1.0, 0.5, math.nan])
def test_compression_bounds_pass(tmp_path, level):
    with new_file(tmp_path, "c.flac", "flac", "pcm16") as f:
        assert f.command("SFC_SET_COMPRESSION_LEVEL", level) is None


@pytest.mark.parametrize("latency", [50.0, 1600.0, 50])
def test_ogg_latency_bounds_pass(tmp_path, latency):
    with new_file(tmp_path, "c.ogg", "ogg", "vorbis") as f:
        assert f.command("SFC_SET_OGG_PAGE_LATENCY_MS", latency) is None
        assert f.command("SFC_SET_OGG_PAGE_LATENCY", latency) is None


def test_compression_level_changes_the_flac_size(tmp_path):
    if not hasattr(_ondalis.Ondalis, "write_frames"):
        pytest.skip("writing frames is not built yet")
    noise = np.random.default_rng(1).normal(0, 0.1, 40000)
    sizes = []
    for level in (0.0, 1.0):
        path = tmp_path / f"{level}.flac"
        with new_file(tmp_path, path.name, "flac", "pcm16") as f:
            f.command("SFC_SET_COMPRESSION_LEVEL", level)
            f.write_frames(noise)
        sizes.append(path.stat().st_size)
    assert sizes[1] < sizes[0]


def test_channel_peaks_match_numpy(tmp_path):
    data = np.random.default_rng(2).integers(-30000, 30000, (500, 3), dtype=np.int16)
    soundfile.write(tmp_path / "p.wav", data, 8000, subtype="PCM_16")
    peaks = np.abs(data.astype(np.float64)).max(axis=0)
    with _ondalis.Ondalis(tmp_path / "p.wav") as f:
        calc = f.command("SFC_CALC_MAX_ALL_CHANNELS")
        assert calc.dtype == np.float64 and calc.shape == (3,)
        np.testing.assert_array_equal(calc, peaks)
        np.testing.assert_allclose(f.command("SFC_CALC_NORM_MAX_ALL_CHANNELS"), peaks / 32768)
        assert f.command("SFC_CALC_SIGNAL_MAX") == peaks.max()
        assert f.command("SFC_CALC_NORM_SIGNAL_MAX") == pytest.approx(peaks.max() / 32768)
        assert f.command("SFC_CALC_MAX_ALL_CHANNELS") is not calc
        # 16-bit PCM files carry no peak chunk.
        assert f.command("SFC_GET_SIGNAL_MAX") is None
        assert f.command("SFC_GET_MAX_ALL_CHANNELS") is None


def test_stored_peaks_of_a_float_file(tmp_path):
    data = np.array([[0.25, -0.5], [0.125, 0.0625]] * 10, dtype=np.float32)
    soundfile.write(tmp_path / "p.wav", data, 8000, subtype="FLOAT")
    with _ondalis.Ondalis(tmp_path / "p.wav") as f:
        assert f.command("SFC_GET_SIGNAL_MAX") == 0.5
        np.testing.assert_array_equal(f.command("SFC_GET_MAX_ALL_CHANNELS"), [0.25, 0.5])


class FakeNumpy:
    """Stands in for the module's np, with a zeros of our choosing."""
    float64 = np.float64

    def __init__(self, zeros):
        self.zeros = zeros


@pytest.mark.parametrize("zeros", [
    lambda n, dtype, order: [0.0] * n,
    lambda n, dtype, order: np.zeros(n, dtype=np.float32),
    lambda n, dtype, order: np.zeros(n - 1),
    lambda n, dtype, order: np.zeros(2 * n)[::2],
])
def test_peak_array_is_checked_before_libsndfile_fills_it(f, monkeypatch, zeros):
    monkeypatch.setattr(_ondalis, "np", FakeNumpy(zeros))
    assert raised(f.command, "SFC_CALC_MAX_ALL_CHANNELS") == (
        TypeError, "np.zeros() must return a writable C-contiguous float64 array of 2 items")


def test_peak_array_comes_from_the_modules_np(f, monkeypatch):
    made = []

    def zeros(n, dtype, order):
        made.append((n, dtype, order))
        made.append(np.zeros(n, dtype=dtype, order=order))
        return made[-1]

    monkeypatch.setattr(_ondalis, "np", FakeNumpy(zeros))
    assert f.command("SFC_CALC_MAX_ALL_CHANNELS") is made[1]
    assert made[0] == (2, np.float64, "C")
    np.testing.assert_array_equal(made[1], [16384, 200])


def test_truncate_shortens_the_file(path):
    with _ondalis.Ondalis(path, "rw", format=0x10002) as f:
        assert f.command("SFC_FILE_TRUNCATE", 10) is None
        assert f.command("SFC_GET_CURRENT_SF_INFO").frames == 10
    assert soundfile.info(str(path)).frames == 10
    assert path.stat().st_size == 44 + 10 * 4
    with _ondalis.Ondalis(path, "rw", format=0x10002) as f:
        assert f.command("SFC_FILE_TRUNCATE", 0) is None
    assert soundfile.info(str(path)).frames == 0


def wav_with_cues(path, positions):
    """A 16-bit mono WAV with a cue chunk, built from the published RIFF layout."""
    fmt = struct.pack("<HHIIHH", 1, 1, 8000, 16000, 2, 16)
    points = b"".join(struct.pack("<II4sIII", n + 1, p, b"data", 0, 0, p)
                      for n, p in enumerate(positions))
    cue = struct.pack("<I", len(positions)) + points
    data = bytes(200)
    chunks = b"".join(tag + struct.pack("<I", len(body)) + body
                      for tag, body in ((b"fmt ", fmt), (b"cue ", cue), (b"data", data)))
    path.write_bytes(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)
    return path


def test_cue_count(f, tmp_path):
    assert f.command("SFC_GET_CUE_COUNT") == 0
    with _ondalis.Ondalis(wav_with_cues(tmp_path / "c.wav", [3, 50, 90])) as g:
        assert g.command("SFC_GET_CUE_COUNT") == 3


def test_ogg_stream_serial_number(tmp_path):
    path = tmp_path / "s.ogg"
    soundfile.write(path, np.zeros(1000), 8000, format="OGG", subtype="VORBIS")
    serial, = struct.unpack_from("<i", path.read_bytes(), 14)  # of the first Ogg page
    with _ondalis.Ondalis(path) as f:
        assert f.command("SFC_GET_OGG_STREAM_SERIALNO") == serial


def test_text_commands(f):
    version = f.command("SFC_GET_LIB_VERSION")
    assert type(version) is str and version.startswith("libsndfile-1.")
    log = f.command("SFC_GET_LOG_INFO")
    assert "RIFF" in log and "WAVE" in log


def test_handlers_report_through_the_modules_checkers(f, tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(_ondalis, "_check_command_retcode", lambda *a: calls.append(("rc",) + a))
    monkeypatch.setattr(_ondalis, "_check_command_hybrid_retval",
                        lambda *a: calls.append(("hybrid",) + a))
    monkeypatch.setattr(_ondalis, "_check_command_retval", lambda *a: calls.append(("rv",) + a))
    f.command("SFC_CALC_SIGNAL_MAX")
    f.command("SFC_SET_COMPRESSION_LEVEL", 0.5)
    f.command("SFC_GET_OGG_STREAM_SERIALNO")
    f.command("SFC_SET_RAW_START_OFFSET", 0)
    assert calls == [("rc", 0, 0x1040), ("hybrid", 0, 0x1301), ("rv", 0, 0x1306, 0),
                     ("rc", 30, 0x1090)]
