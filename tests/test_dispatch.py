"""Ondalis.command: names and ids, the closed-object rule and the rows."""
import numpy as np
import pytest

import _ondalis
from messages import NO_HANDLE

IDS = _ondalis.commands_name_to_id
ARG = object()  # stands for the caller's argument, passed on by identity

BOOL_SET = [
    (("SFC_SET_NORM_DOUBLE", "SFC_SET_NORM_FLOAT", "SFC_SET_SCALE_FLOAT_INT_READ",
      "SFC_SET_SCALE_INT_FLOAT_WRITE"), lambda i, a: (i, a, False, False)),
    (("SFC_SET_ADD_PEAK_CHUNK", "SFC_SET_UPDATE_HEADER_AUTO", "SFC_SET_CLIPPING",
      "SFC_RF64_AUTO_DOWNGRADE", "SFC_SET_ADD_HEADER_PAD_CHUNK"), lambda i, a: (i, a, True, False)),
    (("SFC_TEST_IEEE_FLOAT_REPLACE",), lambda i, a: (i, a, False, True)),
]

# name -> (handler method, the arguments it gets from command(id, arg))
HANDLER_ROWS = {
    "SFC_GET_LIB_VERSION": ("_string_out_command", lambda i, a: (i, True)),
    "SFC_GET_LOG_INFO": ("_string_out_command", lambda i, a: (i, False)),
    "SFC_GET_CURRENT_SF_INFO": ("_get_current_sf_info", lambda i, a: ()),
    **{n: ("_bool_set_command", f) for names, f in BOOL_SET for n in names},
    **{n: ("_int_get_command", lambda i, a: (i, True, False))
       for n in ("SFC_GET_SIMPLE_FORMAT_COUNT", "SFC_GET_FORMAT_MAJOR_COUNT",
                 "SFC_GET_FORMAT_SUBTYPE_COUNT")},
    "SFC_GET_DITHER_INFO_COUNT": ("_int_get_command", lambda i, a: (i, False, False)),
    "SFC_GET_ORIGINAL_SAMPLERATE": ("_int_get_command", lambda i, a: (i, False, True)),
    **{n: ("_format_get_command", lambda i, a: (i, a))
       for n in ("SFC_GET_SIMPLE_FORMAT", "SFC_GET_FORMAT_MAJOR", "SFC_GET_FORMAT_SUBTYPE",
                 "SFC_GET_FORMAT_INFO")},
    "SFC_CALC_SIGNAL_MAX": ("_double_get_command", lambda i, a: (i, False)),
    "SFC_CALC_NORM_SIGNAL_MAX": ("_double_get_command", lambda i, a: (i, False)),
    "SFC_GET_SIGNAL_MAX": ("_double_get_command", lambda i, a: (i, True)),
    "SFC_CALC_MAX_ALL_CHANNELS": ("_double_channel_get_command", lambda i, a: (i, False)),
    "SFC_CALC_NORM_MAX_ALL_CHANNELS": ("_double_channel_get_command", lambda i, a: (i, False)),
    "SFC_GET_MAX_ALL_CHANNELS": ("_double_channel_get_command", lambda i, a: (i, True)),
    "SFC_FILE_TRUNCATE": ("_sf_count_set_command", lambda i, a: (i, a, False)),
    "SFC_SET_RAW_START_OFFSET": ("_sf_count_set_command", lambda i, a: (i, a, True)),
    "SFC_GET_EMBED_FILE_INFO": ("_embed_get_command", lambda i, a: (i,)),
    "SFC_GET_CUE_COUNT": ("_uint32_get_command", lambda i, a: (i,)),
    "SFC_GET_CUE": ("_cue_get_command", lambda i, a: (i,)),
    "SFC_SET_CUE": ("_cue_set_command", lambda i, a: (i, a)),
    "SFC_GET_INSTRUMENT": ("_instrument_get_command", lambda i, a: (i,)),
    "SFC_SET_INSTRUMENT": ("_instrument_set_command", lambda i, a: (i, a)),
    "SFC_GET_LOOP_INFO": ("_loop_get_command", lambda i, a: (i,)),
    "SFC_GET_BROADCAST_INFO": ("_broadcast_get_command", lambda i, a: (i,)),
    "SFC_SET_BROADCAST_INFO": ("_broadcast_set_command", lambda i, a: (i, a)),
    "SFC_GET_CHANNEL_MAP_INFO": ("_channel_map_get_command", lambda i, a: (i,)),
    "SFC_SET_CHANNEL_MAP_INFO": ("_channel_map_set_command", lambda i, a: (i, a)),
    "SFC_SET_VBR_ENCODING_QUALITY": ("_double_set_command", lambda i, a: (i, a, [0.0, 1.0], True)),
    "SFC_SET_COMPRESSION_LEVEL": ("_double_set_command", lambda i, a: (i, a, [0.0, 1.0], True)),
    "SFC_SET_OGG_PAGE_LATENCY_MS": ("_double_set_command",
                                    lambda i, a: (i, a, [50.0, 1600.0], False)),
    "SFC_SET_OGG_PAGE_LATENCY": ("_double_set_command", lambda i, a: (i, a, [50.0, 1600.0], False)),
    "SFC_GET_OGG_STREAM_SERIALNO": ("_int32_get_command", lambda i, a: (i,)),
    "SFC_SET_BITRATE_MODE": ("_bitrate_set_command", lambda i, a: (i, a)),
    "SFC_SET_CART_INFO": ("_cart_set_command", lambda i, a: (i, a)),
    "SFC_GET_CART_INFO": ("_cart_get_command", lambda i, a: (i,)),
    "SFC_SET_ORIGINAL_SAMPLERATE": ("_int_set_command", lambda i, a: (i, a)),
    "SFC_SET_DITHER_ON_WRITE": ("_dither_set_command", lambda i, a: (i, a)),
    "SFC_SET_DITHER_ON_READ": ("_dither_set_command", lambda i, a: (i, a)),
    "SFC_GET_DITHER_INFO": ("_dither_get_command", lambda i, a: (i,)),
}

INLINE_ROWS = {"SFC_GET_NORM_DOUBLE", "SFC_GET_NORM_FLOAT", "SFC_GET_CLIPPING",
               "SFC_RAW_DATA_NEEDS_ENDSWAP", "SFC_UPDATE_HEADER_NOW", "SFC_WAVEX_SET_AMBISONIC",
               "SFC_WAVEX_GET_AMBISONIC", "SFC_GET_BITRATE_MODE", "SFC_SET_ADD_DITHER_ON_WRITE",
               "SFC_SET_ADD_DITHER_ON_READ"}

NULL_HANDLE = {"SFC_GET_LIB_VERSION", "SFC_GET_SIMPLE_FORMAT_COUNT", "SFC_GET_SIMPLE_FORMAT",
               "SFC_GET_FORMAT_INFO", "SFC_GET_FORMAT_MAJOR_COUNT", "SFC_GET_FORMAT_MAJOR",
               "SFC_GET_FORMAT_SUBTYPE_COUNT", "SFC_GET_FORMAT_SUBTYPE"}

RW = {"mode": "rw", "format": 0x10002}  # opens an existing 16-bit WAV for reading and writing


class Recorder(_ondalis.Ondalis):
    """Every handler replaced by one that reports how it was called."""


for _name in {handler for handler, _ in HANDLER_ROWS.values()}:
    setattr(Recorder, _name, lambda self, *args, _name=_name: (_name, args))


def same(a, b):
    """Equal, and of the same types (True is not 1 here)."""
    return a == b and [type(x) for x in a] == [type(x) for x in b]


@pytest.fixture
def path(tmp_path, make_pcm16_wav):
    return make_pcm16_wav(tmp_path / "a.wav", np.arange(200, dtype=np.int16), channels=2)


@pytest.fixture
def recorder(path):
    with Recorder(path, **RW) as f:
        yield f


def test_the_rows_cover_the_command_table():
    assert set(HANDLER_ROWS) | INLINE_ROWS == set(IDS)
    assert not set(HANDLER_ROWS) & INLINE_ROWS


@pytest.mark.parametrize("name", sorted(HANDLER_ROWS))
@pytest.mark.parametrize("by_name", [True, False])
def test_handler_rows_pass_their_arguments(recorder, name, by_name):
    handler, expected = HANDLER_ROWS[name]
    result = recorder.command(name if by_name else IDS[name], ARG)
    assert result[0] == handler
    assert same(result[1], expected(IDS[name], ARG))


def test_range_lists_are_new_on_every_call(recorder):
    first = recorder.command("SFC_SET_COMPRESSION_LEVEL", 0.5)[1][2]
    first.append("changed")
    assert recorder.command("SFC_SET_COMPRESSION_LEVEL", 0.5)[1][2] == [0.0, 1.0]


def test_a_name_goes_through_the_objects_own_command_method(path):
    calls = []

    class Spy(_ondalis.Ondalis):
        def command(self, command, arg=0):
            calls.append((command, arg))
            return super().command(command, arg)

    class Name(str):
        pass

    with Spy(path) as f:
        assert f.command(Name("SFC_GET_NORM_DOUBLE")) == 1
        assert f.command(command="SFC_GET_CLIPPING", arg=ARG) == 1
    assert calls == [("SFC_GET_NORM_DOUBLE", 0), (0x1010, 0),
                     ("SFC_GET_CLIPPING", ARG), (0x10C1, ARG)]


@pytest.mark.parametrize("name", sorted(IDS))
def test_every_command_name_reaches_a_row(path, name):
    # Whatever a command does with the default argument, it is never unknown.
    with _ondalis.Ondalis(path, **RW) as f:
        try:
            f.command(name)
        except Exception as error:
            assert not str(error).startswith("Ondalis::error::unknow command")


@pytest.mark.parametrize("command, message", [
    (0x7777, "Ondalis::error::unknow command 30583"),
    (0, "Ondalis::error::unknow command 0"),
    (2**70, f"Ondalis::error::unknow command {2**70}"),
    (True, "Ondalis::error::unknow command True"),
    (4096.5, "Ondalis::error::unknow command 4096.5"),
])
def test_unknown_ids(path, command, message):
    with _ondalis.Ondalis(path) as f:
        with pytest.raises(RuntimeError) as excinfo:
            f.command(command)
        assert str(excinfo.value) == message
    with pytest.raises(RuntimeError) as excinfo:
        f.command(command)
    assert str(excinfo.value) == NO_HANDLE


def test_unknown_name_raises_key_error(path):
    with _ondalis.Ondalis(path) as f, pytest.raises(KeyError):
        f.command("SFC_NO_SUCH")


def test_ids_of_other_types_are_compared_by_equality(recorder):
    assert recorder.command(4096.0) == ("_string_out_command", (4096.0, True))
    assert recorder.command(np.int64(0x10C1)) == 1


@pytest.mark.parametrize("name", sorted(IDS))
def test_a_closed_object_accepts_only_the_null_handle_set(path, name):
    f = Recorder(path)
    f.close()
    if name in NULL_HANDLE:
        handler, expected = HANDLER_ROWS[name]
        assert f.command(name, ARG) == (handler, expected(IDS[name], ARG))
    else:
        with pytest.raises(RuntimeError) as excinfo:
            f.command(name, ARG)
        assert str(excinfo.value) == NO_HANDLE


def test_null_handle_commands_work_on_a_closed_object(path):
    f = _ondalis.Ondalis(path)
    f.close()
    version = f.command("SFC_GET_LIB_VERSION")
    assert version.startswith("libsndfile-") and f.command(0x1000) == version
    count = f.command("SFC_GET_FORMAT_MAJOR_COUNT")
    assert count > 0
    assert f.command("SFC_GET_FORMAT_MAJOR", count - 1).name


@pytest.mark.parametrize("name, expected", [
    ("SFC_GET_NORM_DOUBLE", 1),
    ("SFC_GET_NORM_FLOAT", 1),
    ("SFC_GET_CLIPPING", 1),  # the constructor turned clipping on
    ("SFC_RAW_DATA_NEEDS_ENDSWAP", 0),
])
def test_settings_come_back_as_int(path, name, expected):
    with _ondalis.Ondalis(path) as f:
        result = f.command(name)
    assert type(result) is int and result == expected


def test_setting_queries_follow_the_settings(path):
    with _ondalis.Ondalis(path) as f:
        assert f.command("SFC_SET_CLIPPING", False) == 0
        assert f.command("SFC_GET_CLIPPING") == 0
        assert f.command("SFC_SET_NORM_DOUBLE", False) == 1
        assert f.command("SFC_GET_NORM_DOUBLE") == 0


@pytest.mark.parametrize("name", ["SFC_UPDATE_HEADER_NOW", "SFC_SET_ADD_DITHER_ON_WRITE",
                                  "SFC_SET_ADD_DITHER_ON_READ"])
def test_actions_without_result_return_none(path, name):
    with _ondalis.Ondalis(path, **RW) as f:
        assert f.command(name, True) is None


def test_ambisonic_mode_is_set_and_read_back(tmp_path):
    path = tmp_path / "b.wav"
    wavex = _ondalis.construct_format("wavex", "pcm16")
    with _ondalis.Ondalis(path, "w", format=wavex, channels=4, samplerate=8000) as f:
        assert f.command("SFC_WAVEX_GET_AMBISONIC") == "SF_AMBISONIC_NONE"
        assert f.command("SFC_WAVEX_SET_AMBISONIC", "SF_AMBISONIC_B_FORMAT") is None
        with pytest.raises(KeyError):
            f.command("SFC_WAVEX_SET_AMBISONIC")
    with _ondalis.Ondalis(path) as f:
        assert f.command("SFC_WAVEX_GET_AMBISONIC") == "SF_AMBISONIC_B_FORMAT"


@pytest.mark.parametrize("format, name, error", [
    (("aiff", "pcm16"), "SFC_WAVEX_GET_AMBISONIC",
     "Ondalis::error:: command SFC_WAVEX_GET_AMBISONIC failed"),
    # libsndfile answers its error number 30 for formats without the command,
    # which no mode table holds.
    (("au", "pcm16"), "SFC_WAVEX_GET_AMBISONIC", KeyError),
    (("au", "pcm16"), "SFC_GET_BITRATE_MODE", KeyError),
])
def test_mode_queries_check_the_answer(tmp_path, format, name, error):
    code = _ondalis.construct_format(*format)
    with _ondalis.Ondalis(tmp_path / "c", "w", format=code, channels=1, samplerate=8000) as f:
        if isinstance(error, str):
            with pytest.raises(RuntimeError) as excinfo:
                f.command(name)
            assert str(excinfo.value) == error
        else:
            with pytest.raises(error):
                f.command(name)


def test_bitrate_mode_query_uses_the_marker_minus_one(path, monkeypatch):
    calls = []

    def retval(ret, command, failure):
        calls.append((ret, command, failure))
        return 2

    monkeypatch.setattr(_ondalis, "_check_command_retval", retval)
    with _ondalis.Ondalis(path) as f:
        assert f.command("SFC_GET_BITRATE_MODE") == "SF_BITRATE_MODE_VARIABLE"
    assert calls == [(0, 0x1304, -1)]
