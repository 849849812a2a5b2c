"""A catalogue of calls to every public function and method of _ondalis and
of the streaming module (ondalis._stream), on their success and their error
paths, shared by the hostile-argument and the leak tests.

A call is (target, name, args, kwargs): `target` says what the call needs
(an object opened for reading a stereo WAV, one opened for writing, a closed
one, a block iterator, or the module itself). An argument that must be made
for each call (a path in the test's folder, a stream) is a `Made` in the
catalogue, which Targets.resolve replaces.
"""
import io
import os
import types
import wave

import numpy as np

import _ondalis as m
from ondalis import _stream

FRAMES = 64
CHANNELS = 2

READ, WRITE, CLOSED, MODULE = "read", "write", "closed", "module"
STREAM_READ, STREAM_WRITE, STREAM_CLOSED = "stream-read", "stream-write", "stream-closed"
# Block iterators over the stereo WAV, into new arrays or into one out array.
BLOCKS, BLOCKS_INTO_OUT = "blocks", "blocks-into-out"
STREAM_MODULE = "stream-module"
MODULES = {MODULE, STREAM_MODULE}
# What the targets of each kind of object are made from (the open one of a
# closed target), and the kinds of the streaming module's objects.
OPENED = {CLOSED: READ, STREAM_CLOSED: STREAM_READ}
STREAM_TARGETS = {STREAM_READ, STREAM_WRITE, STREAM_CLOSED, BLOCKS, BLOCKS_INTO_OUT,
                  STREAM_MODULE}

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


class Made:
    """An argument made afresh for each call by Targets.make(kind)."""

    def __init__(self, kind):
        self.kind = kind

    def __repr__(self):
        return f"Made({self.kind!r})"


SOURCE_PATH, SOURCE_BYTES, MISSING_PATH = Made("source path"), Made("source bytes"), Made(
    "missing path")
NPY_FLOAT64, NPY_FLOAT32, NPY_INT32, NPY_INT16 = (np.dtype(t).num for t in (
    np.float64, np.float32, np.int32, np.int16))


def stream_method_calls():
    """(target, name, args, kwargs) for every method of Stream and Blocks:
    success paths first, then error paths of each."""
    r = records()
    cue = tuple(getattr(r.cue, f) for f in ("indx", "position", "fcc_chunk", "chunk_start",
                                             "block_start", "sample_offset", "name"))
    instrument = (1, 60, 0, 0, 127, 0, 127, [(801, 0, 16, 1)])
    calls = [
        (STREAM_READ, "read", (), {}), (STREAM_READ, "read", (16,), {}),
        (STREAM_READ, "read", (8, NPY_FLOAT32), {}), (STREAM_READ, "read", (8, NPY_INT32, True), {}),
        (STREAM_READ, "read", (), {"frames": 8, "dtype": NPY_INT16}),
        (STREAM_READ, "read", (), {"out": np.zeros((8, CHANNELS))}),
        (STREAM_READ, "read", (4, 99), {}), (STREAM_READ, "read", (), {"out": np.zeros((8, 3))}),
        (STREAM_READ, "read", (), {"out": [0.0]}), (STREAM_READ, "read", (2**63,), {}),
        (STREAM_READ, "seek", (4,), {}), (STREAM_READ, "seek", (-4, os.SEEK_END), {}),
        (STREAM_READ, "seek", (-99,), {}), (STREAM_READ, "seek", (0, 7), {}),
        (STREAM_READ, "tell", (), {}), (STREAM_READ, "strings", (), {}),
        (STREAM_READ, "metadata", (), {}), (STREAM_READ, "chunks", (), {}),
        (STREAM_READ, "chunk_data", ("fmt ",), {}), (STREAM_READ, "chunk_data", (b"data",), {}),
        (STREAM_READ, "chunk_data", ("toolong",), {}), (STREAM_READ, "chunk_data", (5,), {}),
        (STREAM_READ, "write", (np.zeros((8, CHANNELS)),), {}),
        (STREAM_READ, "set_chunk", ("iXML", b"<x/>"), {}),
        (STREAM_READ, "__enter__", (), {}), (STREAM_READ, "__exit__", (None, None, None), {}),
        (STREAM_READ, "close", (), {}),
        (STREAM_WRITE, "write", (np.zeros((8, CHANNELS)),), {}),
        (STREAM_WRITE, "write", (np.full((8, CHANNELS), 3.0),), {}),
        (STREAM_WRITE, "write", (np.zeros((8, CHANNELS), np.int16),), {}),
        (STREAM_WRITE, "write", (np.zeros((8, 3)),), {}), (STREAM_WRITE, "write", ([1, 2],), {}),
        (STREAM_WRITE, "set_string", (1, "title"), {}), (STREAM_WRITE, "set_string", (99, "x"), {}),
        (STREAM_WRITE, "set_string", (1, b"not str"), {}),
        (STREAM_WRITE, "set_record", ("cue_points", [cue]), {}),
        (STREAM_WRITE, "set_record", ("instrument", instrument), {}),
        (STREAM_WRITE, "set_record", ("nope", ()), {}),
        (STREAM_WRITE, "set_record", ("instrument", (1,)), {}),
        (STREAM_WRITE, "set_chunk", ("iXML", b"<x/>"), {}),
        (STREAM_WRITE, "set_chunk", ("fmt ", b"x"), {}),
        (STREAM_WRITE, "set_chunk", ("abcd", "not bytes"), {}),
        (STREAM_WRITE, "copy_metadata", (Made(STREAM_READ),), {}),
        (STREAM_WRITE, "copy_metadata", (Made(STREAM_CLOSED),), {}),
        (STREAM_WRITE, "copy_metadata", (None,), {}), (STREAM_WRITE, "read", (8,), {}),
        (BLOCKS, "__next__", (), {}), (BLOCKS, "close", (), {}),
        (BLOCKS_INTO_OUT, "__next__", (), {}), (BLOCKS_INTO_OUT, "close", (), {}),
    ]
    calls += [(STREAM_CLOSED, name, args, kwargs) for target, name, args, kwargs in calls
              if target == STREAM_READ and name not in ("close", "__exit__")]
    return calls


def stream_function_calls():
    """(STREAM_MODULE, name, args, kwargs) for every function of the streaming module."""
    return [
        (STREAM_MODULE, "read", (SOURCE_PATH,), {}),
        (STREAM_MODULE, "read", (SOURCE_PATH, 8, 4, NPY_INT16, True), {}),
        (STREAM_MODULE, "read", (SOURCE_BYTES,), {"start": -8, "stop": 60}),
        (STREAM_MODULE, "read", (SOURCE_PATH,), {"out": np.zeros((8, CHANNELS), np.float32)}),
        (STREAM_MODULE, "read", (MISSING_PATH,), {}),
        (STREAM_MODULE, "read", (SOURCE_PATH,), {"dtype": 99}),
        (STREAM_MODULE, "read", (SOURCE_PATH,), {"start": -2**63, "stop": 2**63 - 1}),
        (STREAM_MODULE, "blocks", (SOURCE_PATH, 16), {}),
        (STREAM_MODULE, "blocks", (SOURCE_BYTES, 16, 4, 40, 8, NPY_INT32, True), {}),
        (STREAM_MODULE, "blocks", (SOURCE_PATH,),
         {"out": np.zeros((16, CHANNELS), np.int16), "fill_value": 0.5}),
        (STREAM_MODULE, "blocks", (SOURCE_PATH, 0), {}),
        (STREAM_MODULE, "blocks", (SOURCE_PATH, 16, 16), {}),
        (STREAM_MODULE, "blocks", (SOURCE_PATH, 16), {"fill_value": "x"}),
        (STREAM_MODULE, "blocks", (MISSING_PATH, 16), {}),
        (STREAM_MODULE, "check", (SOURCE_PATH,), {}),
        (STREAM_MODULE, "check", (SOURCE_BYTES,), {}),
        (STREAM_MODULE, "check", (MISSING_PATH,), {}),
        (STREAM_MODULE, "format_description", (0x010000,), {}),
        (STREAM_MODULE, "format_description", (0x0002,), {}),
        (STREAM_MODULE, "format_description", (-1,), {}),
        (STREAM_MODULE, "md5", (b"abc",), {}),
        (STREAM_MODULE, "md5", (bytearray(70),), {}),
        (STREAM_MODULE, "md5", ("not bytes",), {}),
    ]


def public_stream_methods():
    """(target kinds, name) for each method of Stream and Blocks a program
    may call, with the kinds of target that have it."""
    dunders = {"__enter__", "__exit__", "__next__"}
    owners = ((_stream.Stream, (STREAM_READ, STREAM_WRITE, STREAM_CLOSED)),
              (_stream.Blocks, (BLOCKS, BLOCKS_INTO_OUT)))
    return [(kinds, name) for cls, kinds in owners for name, value in sorted(vars(cls).items())
            if callable(value) and (not name.startswith("__") or name in dunders)]


def public_methods():
    """Names of the methods of Ondalis a program may call."""
    dunders = {"__enter__", "__exit__", "__reduce__", "__setstate__"}
    return sorted(name for name, value in vars(m.Ondalis).items()
                  if callable(value) and (not name.startswith("__") or name in dunders))


def public_functions(module=m):
    """Names of the module's own functions (the imported helpers excluded)."""
    return sorted(name for name, value in vars(module).items()
                  if type(value).__name__ == "builtin_function_or_method")


class Targets:
    """Makes the object a call needs, on files in one folder."""

    def __init__(self, folder):
        self.folder = folder
        self.source = stereo_wav(folder / "source.wav")
        self.written = folder / "written.wav"
        self.format = m.construct_format("wav", "pcm16")

    def make(self, target):
        if target in OPENED:
            obj = self.make(OPENED[target])
            obj.close()
            return obj
        source, written = str(self.source), str(self.written)
        makers = {
            MODULE: lambda: m,
            READ: lambda: m.Ondalis(source),
            WRITE: lambda: m.Ondalis(written, "w", self.format, CHANNELS, 8000),
            STREAM_MODULE: lambda: _stream,
            STREAM_READ: lambda: _stream.Stream(source),
            STREAM_WRITE: lambda: _stream.Stream(written, "w", self.format, CHANNELS, 8000),
            BLOCKS: lambda: _stream.blocks(source, 16),
            BLOCKS_INTO_OUT: lambda: _stream.blocks(source, out=np.zeros((16, CHANNELS), np.int16)),
            SOURCE_PATH.kind: lambda: source,
            SOURCE_BYTES.kind: lambda: io.BytesIO(self.source.read_bytes()),
            MISSING_PATH.kind: lambda: str(self.folder / "missing.wav"),
        }
        return makers[target]()

    def resolve(self, args, kwargs):
        """args and kwargs with each Made made."""
        def made(value):
            return self.make(value.kind) if isinstance(value, Made) else value
        return [made(v) for v in args], {k: made(v) for k, v in kwargs.items()}


def invoke(obj, name, args, kwargs):
    """obj.name(*args, **kwargs); the outcome as ('ok', value) or ('raised', exc)."""
    try:
        return "ok", getattr(obj, name)(*args, **kwargs)
    except Exception as exc:  # every failure the module reports is an exception
        return "raised", exc
