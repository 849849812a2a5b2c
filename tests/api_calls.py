"""A catalogue of calls to every public function and method of _ondalis, on
their success and their error paths, shared by the hostile-argument and the
leak tests.

A call is (target, name, args, kwargs): `target` says what the call needs
(an object opened for reading a stereo WAV, one opened for writing, a closed
one, or the module itself).
"""
import os
import types
import wave

import numpy as np

import _ondalis as m

FRAMES = 64
CHANNELS = 2

READ, WRITE, CLOSED, MODULE = "read", "write", "closed", "module"

# The share of the full load that the heavier tests (corruption sweep,
# property tests, leak loops) run: tools/sanitize.py sets a smaller one,
# since everything runs many times slower there.
SCALE = float(os.environ.get("ONDALIS_TEST_SCALE", "1"))


def scaled(count, least=1):
    """`count` at the current scale, and never below `least`."""
    return max(least, int(count * SCALE))


def subset(items):
    """Every item at full scale, else an evenly spread share of them (the
    same items on every run)."""
    return list(items)[::max(1, round(1 / SCALE))]


def stereo_wav(path, frames=FRAMES):
    """A 16-bit stereo WAV written by the standard library."""
    ramp = (np.arange(frames * CHANNELS, dtype="<i2") * 37).tobytes()
    with wave.open(str(path), "wb") as w:
        w.setnchannels(CHANNELS)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(ramp)
    return path


def cmd(name):
    return m.commands_name_to_id[name]


def records():
    """One valid record of each kind the set handlers take."""
    return types.SimpleNamespace(
        dither=m.SfDitherInfo(type=0, level=0.0, name="none"),
        cue=m.SfCuePoint(indx=1, position=0, fcc_chunk=0x61746164, chunk_start=0,
                         block_start=0, sample_offset=8, name="one"),
        instrument=m.SfInstrument(
            gain=1, basenote=60, detune=0, velocity_lo=0, velocity_hi=127, key_lo=0, key_hi=127,
            loops=[m.SfInstrumentLoop(mode="SF_LOOP_FORWARD", start=0, end=16, count=1)]),
        broadcast=m.SfBroadcastInfo(
            description="desc", originator="orig", originator_reference="ref",
            origination_date="2024-01-01", origination_time="12:00:00", time_reference=5,
            version=1, umid=b"\x01" * 64, loudness_value=1, loudness_range=2,
            max_true_peak_level=3, max_momentary_loudness=4, max_shortterm_loudness=5,
            coding_history="A=PCM,F=8000"),
        cart=m.SfCartInfo(
            version="0101", title="title", artist="artist", cut_id="cut", client_id="client",
            category="cat", classification="cls", out_cue="out", start_date="2024-01-01",
            start_time="00:00:00", end_date="2024-12-31", end_time="23:59:59",
            producer_app_id="app", producer_app_version="1", user_def="user",
            level_reference=7, post_timers=[m.SfCartTimer(usage="MRK ", value=10)], url="u",
            tag_text="tag"),
        channel_map=["SF_CHANNEL_MAP_FRONT_LEFT", "SF_CHANNEL_MAP_FRONT_RIGHT"],
    )


# Commands that ask libsndfile about the file and change nothing; `command`
# is sent each of them with its default argument by the corruption sweep.
def get_commands():
    names = [name for name in m.commands_name_to_id
             if name.startswith(("SFC_GET_", "SFC_CALC_"))]
    return names + ["SFC_RAW_DATA_NEEDS_ENDSWAP", "SFC_WAVEX_GET_AMBISONIC"]


def method_calls():
    """(target, name, args, kwargs) for every method of Ondalis: success paths
    first, then error paths of each."""
    r = records()
    calls = [
        (READ, "channels", (), {}), (READ, "format", (), {}), (READ, "frames", (), {}),
        (READ, "samplerate", (), {}), (READ, "seekable", (), {}), (READ, "error", (), {}),
        (READ, "strError", (), {}), (READ, "encoding_str", (), {}),
        (READ, "major_format_str", (), {}), (READ, "get_name", (), {}),
        (READ, "get_strings", (), {}), (READ, "get_cue_count", (), {}),
        (READ, "get_cue_mrks", (), {}), (READ, "__enter__", (), {}),
        (READ, "__exit__", (None, None, None), {}), (READ, "close", (), {}),
        (READ, "__reduce__", (), {}), (READ, "__setstate__", (None,), {}),
        (READ, "read_frames", (16,), {}), (READ, "read_frames", (8, np.float32), {}),
        (READ, "read_frames", (8, np.int32), {}), (READ, "read_frames", (8, np.int16, True), {}),
        (READ, "read_frames", (), {"nframes": FRAMES * 2, "fill_value": 0.5}),
        (READ, "read_frames", (FRAMES * 2,), {}), (READ, "read_frames", (4, np.complex64), {}),
        (READ, "read_frames", (), {"nframes": FRAMES * 2, "fill_value": 0, "min_read": FRAMES}),
        (READ, "seek", (4,), {}), (READ, "seek", (4, 0, "r"), {}), (READ, "seek", (-99,), {}),
        (READ, "seek", (0, 0, "x"), {}), (READ, "rewind", (), {}), (READ, "rewind", ("r",), {}),
        (READ, "rewind", ("q",), {}), (READ, "writeSync", (), {}),
        (READ, "set_auto_clipping", (True,), {}), (READ, "set_auto_clipping", (), {}),
        (READ, "set_compression_level", (0.5,), {}), (READ, "set_compression_level", (2.0,), {}),
        (READ, "command", ("SFC_GET_CLIPPING",), {}), (READ, "command", ("SFC_NOPE",), {}),
        (READ, "command", (0x7777,), {}), (CLOSED, "command", ("SFC_GET_CLIPPING",), {}),
        (CLOSED, "command", ("SFC_GET_LIB_VERSION",), {}),
        (READ, "_int_get_command", (cmd("SFC_GET_SIMPLE_FORMAT_COUNT"), True, False), {}),
        (READ, "_int_get_command", (cmd("SFC_GET_DITHER_INFO_COUNT"), False, True), {}),
        (READ, "_int32_get_command", (cmd("SFC_GET_OGG_STREAM_SERIALNO"),), {}),
        (READ, "_uint32_get_command", (cmd("SFC_GET_CUE_COUNT"),), {}),
        (READ, "_int_set_command", (cmd("SFC_SET_ORIGINAL_SAMPLERATE"), 44100), {}),
        (READ, "_bool_set_command", (cmd("SFC_SET_NORM_DOUBLE"), 1, False, False), {}),
        (READ, "_bool_set_command", (cmd("SFC_SET_NORM_DOUBLE"), 2, False, False), {}),
        (READ, "_double_get_command", (cmd("SFC_CALC_SIGNAL_MAX"), False), {}),
        (READ, "_double_get_command", (cmd("SFC_GET_SIGNAL_MAX"), True), {}),
        (READ, "_double_channel_get_command", (cmd("SFC_CALC_MAX_ALL_CHANNELS"), False), {}),
        (READ, "_double_channel_get_command", (cmd("SFC_GET_MAX_ALL_CHANNELS"), True), {}),
        (READ, "_double_set_command", (cmd("SFC_SET_COMPRESSION_LEVEL"), 0.5, [0, 1], True), {}),
        (READ, "_double_set_command", (cmd("SFC_SET_COMPRESSION_LEVEL"), 5.0, [0, 1], True), {}),
        (WRITE, "_sf_count_set_command", (cmd("SFC_FILE_TRUNCATE"), 0, False), {}),
        (READ, "_sf_count_set_command", (cmd("SFC_SET_RAW_START_OFFSET"), -1, True), {}),
        (READ, "_string_out_command", (cmd("SFC_GET_LOG_INFO"), False), {}),
        (READ, "_string_out_command", (cmd("SFC_GET_LIB_VERSION"), True), {}),
        (READ, "_bitrate_set_command",
         (cmd("SFC_SET_BITRATE_MODE"), "SF_BITRATE_MODE_CONSTANT"), {}),
        (READ, "_bitrate_set_command", (cmd("SFC_SET_BITRATE_MODE"), "nope"), {}),
        (READ, "_format_get_command", (cmd("SFC_GET_FORMAT_MAJOR"), 0), {}),
        (READ, "_format_get_command", (cmd("SFC_GET_FORMAT_MAJOR"), 10**6), {}),
        (READ, "_get_current_sf_info", (), {}),
        (READ, "_dither_get_command", (cmd("SFC_GET_DITHER_INFO"),), {}),
        (READ, "_dither_set_command", (cmd("SFC_SET_DITHER_ON_WRITE"), r.dither), {}),
        (READ, "_dither_set_command", (cmd("SFC_SET_DITHER_ON_WRITE"), None), {}),
        (READ, "_embed_get_command", (cmd("SFC_GET_EMBED_FILE_INFO"),), {}),
        (READ, "_cue_get_command", (cmd("SFC_GET_CUE"),), {}),
        (WRITE, "_cue_set_command", (cmd("SFC_SET_CUE"), [r.cue, r.cue]), {}),
        (WRITE, "_cue_set_command", (cmd("SFC_SET_CUE"), [None]), {}),
        (READ, "_instrument_get_command", (cmd("SFC_GET_INSTRUMENT"),), {}),
        (WRITE, "_instrument_set_command", (cmd("SFC_SET_INSTRUMENT"), r.instrument), {}),
        (WRITE, "_instrument_set_command", (cmd("SFC_SET_INSTRUMENT"), r.dither), {}),
        (READ, "_loop_get_command", (cmd("SFC_GET_LOOP_INFO"),), {}),
        (READ, "_broadcast_get_command", (cmd("SFC_GET_BROADCAST_INFO"),), {}),
        (WRITE, "_broadcast_set_command", (cmd("SFC_SET_BROADCAST_INFO"), r.broadcast), {}),
        (WRITE, "_broadcast_set_command", (cmd("SFC_SET_BROADCAST_INFO"), r.cart), {}),
        (READ, "_cart_get_command", (cmd("SFC_GET_CART_INFO"),), {}),
        (WRITE, "_cart_set_command", (cmd("SFC_SET_CART_INFO"), r.cart), {}),
        (WRITE, "_cart_set_command", (cmd("SFC_SET_CART_INFO"), r.broadcast), {}),
        (READ, "_channel_map_get_command", (cmd("SFC_GET_CHANNEL_MAP_INFO"),), {}),
        (WRITE, "_channel_map_set_command", (cmd("SFC_SET_CHANNEL_MAP_INFO"), r.channel_map), {}),
        (WRITE, "_channel_map_set_command", (cmd("SFC_SET_CHANNEL_MAP_INFO"), ["x", "y"]), {}),
        (WRITE, "write_frames", (np.zeros((8, CHANNELS)),), {}),
        (WRITE, "write_frames", (np.full((8, CHANNELS), 3.0),), {}),
        (WRITE, "write_frames", (np.zeros((8, 3)),), {}),
        (WRITE, "write_frames", (np.zeros((8, CHANNELS), dtype=np.int16),), {}),
        (WRITE, "write_frames", ([1, 2],), {}),
        (WRITE, "set_string", ("SF_STR_TITLE", b"title"), {}),
        (WRITE, "set_string", ("SF_STR_NOPE", b"title"), {}),
        (WRITE, "set_string", ("SF_STR_TITLE", b"x" * 5000), {}),
        (WRITE, "set_strings", ({"SF_STR_ARTIST": b"artist"},), {}),
        (WRITE, "set_strings", ({"SF_STR_ARTIST": "not bytes"},), {}),
        (WRITE, "set_chunk", ("iXML", b"<x/>"), {}),
        (WRITE, "set_chunk", ("fmt ", b"x"), {}),
        (WRITE, "set_chunk", (b"toolong", bytearray(8)), {}),
        (WRITE, "set_chunk", ("abcd", "not bytes"), {}),
        (READ, "set_chunk", ("iXML", b"x"), {}),
    ]
    calls += [(CLOSED, name, args, kwargs) for target, name, args, kwargs in calls
              if target == READ and name not in ("close", "__exit__", "__reduce__")]
    return [c for c in calls if hasattr(m.Ondalis, c[1])]


def function_calls():
    """(MODULE, name, args, kwargs) for every module function."""
    c = cmd("SFC_SET_CLIPPING")
    return [
        (MODULE, "get_ondalis_version", (), {}), (MODULE, "get_sndfile_version", (), {}),
        (MODULE, "get_sndfile_formats", (), {}), (MODULE, "get_sf_log", (), {}),
        (MODULE, "get_sndfile_encodings", ("wav",), {}),
        (MODULE, "get_sndfile_encodings", (m.fileformat_name_to_id["flac"],), {}),
        (MODULE, "get_sndfile_encodings", ("nope",), {}),
        (MODULE, "construct_format", ("wav", "pcm16"), {}),
        (MODULE, "construct_format", ("wav", "nope"), {}),
        (MODULE, "_check_command_retcode", (0, c), {}),
        (MODULE, "_check_command_retcode", (1, c), {}),
        (MODULE, "_check_command_retval", (5, c, 0), {}),
        (MODULE, "_check_command_retval", (0, c, 0), {}),
        (MODULE, "_check_command_hybrid_retval", (1, c), {}),
        (MODULE, "_check_command_hybrid_retval", (2, c), {}),
        (MODULE, "_raise_command_retcode_error", (3, c), {}),
        (MODULE, "_check_char_range", (5, c, "f"), {}),
        (MODULE, "_check_char_range", (500, c, "f"), {}),
        (MODULE, "_check_int16_range", (5, c, "f"), {}),
        (MODULE, "_check_int16_range", (-40000, c, "f"), {}),
        (MODULE, "_check_int32_range", (5, c, "f"), {}),
        (MODULE, "_check_int32_range", (2**31, c, "f"), {}),
    ]


def public_methods():
    """Names of the methods of Ondalis a program may call."""
    dunders = {"__enter__", "__exit__", "__reduce__", "__setstate__"}
    return sorted(name for name, value in vars(m.Ondalis).items()
                  if callable(value) and (not name.startswith("__") or name in dunders))


def public_functions():
    """Names of the module's own functions (the imported helpers excluded)."""
    return sorted(name for name, value in vars(m).items()
                  if type(value).__name__ == "builtin_function_or_method")


class Targets:
    """Makes the object a call needs, on files in one folder."""

    def __init__(self, folder):
        self.folder = folder
        self.source = stereo_wav(folder / "source.wav")
        self.written = folder / "written.wav"
        self.format = m.construct_format("wav", "pcm16")

    def make(self, target):
        if target == MODULE:
            return m
        if target == WRITE:
            return m.Ondalis(str(self.written), "w", self.format, CHANNELS, 8000)
        obj = m.Ondalis(str(self.source))
        if target == CLOSED:
            obj.close()
        return obj


def invoke(obj, name, args, kwargs):
    """obj.name(*args, **kwargs); the outcome as ('ok', value) or ('raised', exc)."""
    try:
        return "ok", getattr(obj, name)(*args, **kwargs)
    except Exception as exc:  # every failure the module reports is an exception
        return "raised", exc
