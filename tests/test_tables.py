"""The name/id lookup tables and the string-length table."""
import warnings

import pytest
import soundfile

KINDS = {  # kind: (source tuple, rows)
    "encoding": ("_encoding_id_tuple", 34), "fileformat": ("_fileformat_id_tuple", 26),
    "endian": ("_endian_to_id_tuple", 4), "commands": ("_commands_to_id_tuple", 63),
    "stringtype": ("_stringtype_to_id_tuple", 10), "loop": ("_loop_to_id_tuple", 4),
    "channel_map": ("_channel_map_to_id_tuple", 27), "ambisonic": ("_ambisonic_to_id_tuple", 2),
    "bitrate_mode": ("_bitrate_mode_to_id_tuple", 3),
}


@pytest.mark.parametrize("kind", KINDS)
def test_dicts_follow_the_source_tuple_and_are_inverse(m, kind):
    tuple_name, rows = KINDS[kind]
    source = getattr(m, tuple_name)
    name_to_id = getattr(m, kind + "_name_to_id")
    id_to_name = getattr(m, kind + "_id_to_name")
    assert type(source) is tuple and len(source) == rows
    assert all(type(row) is tuple and len(row) == 2 and type(row[0]) is str
               and type(row[1]) is int for row in source)
    assert type(name_to_id) is dict and list(name_to_id.items()) == list(source)
    assert type(id_to_name) is dict and list(id_to_name.items()) == [(i, n) for n, i in source]
    assert all(id_to_name[name_to_id[name]] == name for name in name_to_id)


@pytest.mark.parametrize("table, key, value", [
    ("fileformat_name_to_id", "wav", 0x10000),
    ("fileformat_name_to_id", "wav64", 0x0B0000),
    ("fileformat_name_to_id", "mpck", 0x210000),
    ("fileformat_id_to_name", 0x230000, "mpeg"),
    ("encoding_name_to_id", "float64", 7),
    ("encoding_name_to_id", "float32", 6),
    ("encoding_name_to_id", "mp3", 0x82),
    ("encoding_name_to_id", "nms_adpcm_16", 0x22),
    ("encoding_name_to_id", "opus", 0x64),
    ("encoding_name_to_id", "dwwN", 0x43),
    ("endian_name_to_id", "cpu", 0x30000000),
    ("endian_name_to_id", "file", 0),
    ("stringtype_id_to_name", 16, "SF_STR_GENRE"),
    ("stringtype_name_to_id", "SF_STR_TRACKNUMBER", 9),
    ("loop_name_to_id", "SF_LOOP_FORWARD", 801),
    ("loop_id_to_name", 803, "SF_LOOP_ALTERNATING"),
    ("channel_map_id_to_name", 0, "SF_CHANNEL_MAP_INVALID"),
    ("channel_map_id_to_name", 26, "SF_CHANNEL_MAP_AMBISONIC_B_Z"),
    ("ambisonic_name_to_id", "SF_AMBISONIC_B_FORMAT", 65),
    ("bitrate_mode_name_to_id", "SF_BITRATE_MODE_VARIABLE", 2),
    ("commands_name_to_id", "SFC_SET_CLIPPING", 0x10C0),
    ("commands_name_to_id", "SFC_SET_COMPRESSION_LEVEL", 0x1301),
    ("commands_name_to_id", "SFC_GET_OGG_STREAM_SERIALNO", 0x1306),
    ("commands_name_to_id", "SFC_GET_ORIGINAL_SAMPLERATE", 0x1501),
    ("commands_name_to_id", "SFC_TEST_IEEE_FLOAT_REPLACE", 0x6001),
    ("commands_id_to_name", 0x1071, "SFC_SET_ADD_DITHER_ON_READ"),
    ("max_supported_string_length", "caf", 16370),
])
def test_entries(m, table, key, value):
    assert getattr(m, table)[key] == value


def test_endian_cpu_is_the_endianness_mask(m):
    assert m.endian_name_to_id["cpu"] == m.SF_FORMAT_ENDMASK


def test_command_table_order(m):
    names = list(m.commands_name_to_id)
    assert len(names) == 63 and names[0] == "SFC_GET_LIB_VERSION"
    cart = names.index("SFC_GET_CART_INFO")
    assert names[cart + 1:] == [
        "SFC_SET_OGG_PAGE_LATENCY_MS", "SFC_SET_OGG_PAGE_LATENCY",
        "SFC_GET_OGG_STREAM_SERIALNO", "SFC_GET_BITRATE_MODE", "SFC_SET_BITRATE_MODE",
        "SFC_SET_ORIGINAL_SAMPLERATE", "SFC_GET_ORIGINAL_SAMPLERATE",
        "SFC_TEST_IEEE_FLOAT_REPLACE", "SFC_SET_ADD_DITHER_ON_WRITE",
        "SFC_SET_ADD_DITHER_ON_READ"]
    assert m.commands_name_to_id["SFC_SET_ADD_DITHER_ON_WRITE"] == 0x1070


def test_string_types_skip_the_unused_ids(m):
    assert list(m.stringtype_id_to_name) == [1, 2, 3, 4, 5, 6, 7, 8, 9, 16]
    assert 10 not in m.stringtype_id_to_name


def test_format_and_encoding_ids_agree_with_another_binding(m):
    # The soundfile package keeps libsndfile's major formats and encodings in
    # the same order as its header; our rows must carry the same ids.
    assert [i for _, i in m._fileformat_id_tuple] == list(soundfile._formats.values())
    assert [i for _, i in m._encoding_id_tuple] == list(soundfile._subtypes.values())


def test_string_length_table(m):
    assert m._max_supported_string_length_tuple == (
        ("wav", 2040), ("wavex", 2040), ("aiff", 8190), ("caf", 16370))
    assert list(m.max_supported_string_length.items()) == list(
        m._max_supported_string_length_tuple)
    assert "flac" not in m.max_supported_string_length


def test_changes_to_the_dicts_are_seen_by_later_calls(m, monkeypatch):
    monkeypatch.delitem(m.fileformat_id_to_name, 0x10000)
    with pytest.warns(UserWarning) as caught:
        formats = m.get_sndfile_formats()
    assert "wav" not in formats and "aiff" in formats
    assert [str(w.message) for w in caught] == [
        "Format 10000 supported by libsndfile but not yet supported by Ondalis"]
    monkeypatch.setitem(m.encoding_name_to_id, "sixteen", 2)
    assert m.construct_format("wav", "sixteen") == 0x10002
    monkeypatch.setattr(m, "fileformat_name_to_id", {"mine": 0x20000})
    assert m.construct_format("mine", "pcm16") == 0x20002
    with pytest.raises(KeyError):
        m.construct_format("wav", "pcm16")
    monkeypatch.undo()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert "wav" in m.get_sndfile_formats()
