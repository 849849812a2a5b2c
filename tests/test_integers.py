"""Integer parameters convert as operator.index does, everywhere.

Each row is one integer parameter: of the contract object (constructor,
methods, handlers, the command id and scalar command arguments, the module
functions that take an id) and of the package functions. For each, an object
with __index__ behaves exactly as the int it stands for, while a float (even
an integral one) and an object that only has __int__ raise TypeError.
"""
import functools
import itertools
import typing
import wave
from fractions import Fraction

import numpy as np
import pytest

import _ondalis as m
import ondalis
from api_calls import records
from conftest import pcm16_wav
from riff import write_wav
from sample_files import cue

NOT_INTEGER = "an integer is required"
RAMP = [1, -1, 2, -2, 3, -3, 4, -4]  # 4 stereo frames


@functools.total_ordering
class Index:
    """An integer that is not an int: __index__, and an int's equality,
    order, hash and text (the handlers compare and format their arguments)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __eq__(self, other):
        return self.value == other

    def __lt__(self, other):
        return self.value < other

    def __hash__(self):
        return hash(self.value)

    def __format__(self, spec):
        return format(self.value, spec)

    __str__ = __repr__ = lambda self: str(self.value)


class Files:
    """The files a row works on, each new where a call changes its file."""

    def __init__(self, folder):
        self.folder = folder
        self.stereo = pcm16_wav(folder / "stereo.wav", RAMP, channels=2, samplerate=8000)
        self.raw = folder / "stereo.raw"
        self.raw.write_bytes(np.array(RAMP, dtype="<i2").tobytes())
        # The cue query converts its command id only when the file has cues.
        self.cued_wav = write_wav(folder / "cued.wav", cue([2]))
        self._count = itertools.count()

    def new_path(self, suffix="wav"):
        return self.folder / f"new{next(self._count)}.{suffix}"

    def new(self, major="wav", encoding="pcm16", channels=2, samplerate=8000):
        path = self.new_path(major)
        return m.Ondalis(path, "w", m.construct_format(major, encoding), channels, samplerate)

    def rw(self):
        path = self.new_path()
        path.write_bytes(self.stereo.read_bytes())
        return m.Ondalis(path, "rw", WAV_PCM16)

    def read(self):
        return m.Ondalis(self.stereo)

    def cued(self):
        return m.Ondalis(self.cued_wav)

    def opus(self):
        return self.new("ogg", "opus", 1, 48000)

    def flac(self):
        return self.new("flac")

    def caf(self):
        return self.new("caf")


def cmd(name):
    return m.commands_name_to_id[name]


def on(opened, method, *args):
    with opened as f:
        return method(f, *args)


def handler(method, command, *rest, on_file="read"):
    """The row of a handler's command id: method(id, *rest) on the file
    that Files' method `on_file` opens."""
    return (f"{method}(command)", cmd(command),
            lambda d, x: on(getattr(d, on_file)(), getattr(m.Ondalis, method), x, *rest))


R = records()
WAV_PCM16 = m.construct_format("wav", "pcm16")

# (parameter, the int it is given, the call with that value in its place,
# the TypeError text). Every call succeeds, or fails the same way for the int
# and its Index; each opens its file anew.
CONTRACT = [
    ("Ondalis(format)", WAV_PCM16,
     lambda d, x: on(m.Ondalis(d.new_path(), "w", x, 2, 8000), m.Ondalis.format)),
    ("Ondalis(channels)", 2,
     lambda d, x: on(m.Ondalis(d.new_path(), "w", WAV_PCM16, x, 8000), m.Ondalis.channels)),
    ("Ondalis(samplerate)", 8000,
     lambda d, x: on(m.Ondalis(d.new_path(), "w", WAV_PCM16, 2, x), m.Ondalis.samplerate)),
    ("read_frames(nframes)", 2, lambda d, x: on(d.read(), m.Ondalis.read_frames, x)),
    ("seek(offset)", 1, lambda d, x: on(d.read(), lambda f: (f.seek(x), f.read_frames(1).tolist()))),
    ("seek(whence)", 2, lambda d, x: on(d.read(), m.Ondalis.seek, -1, x)),
    ("set_auto_clipping(arg)", 0, lambda d, x: on(d.read(), m.Ondalis.set_auto_clipping, x)),
    ("command(command)", cmd("SFC_GET_CLIPPING"), lambda d, x: on(d.read(), m.Ondalis.command, x)),
    ("command(SFC_SET_ORIGINAL_SAMPLERATE, arg)", 44100,
     lambda d, x: on(d.opus(), lambda f: (
         f.command("SFC_SET_ORIGINAL_SAMPLERATE", x), f.command("SFC_GET_ORIGINAL_SAMPLERATE")))),
    ("command(SFC_SET_CLIPPING, arg)", 1,
     lambda d, x: on(d.read(), m.Ondalis.command, "SFC_SET_CLIPPING", x)),
    ("command(SFC_FILE_TRUNCATE, arg)", 2,
     lambda d, x: on(d.rw(), lambda f: (f.command("SFC_FILE_TRUNCATE", x),
                                        f.command("SFC_GET_CURRENT_SF_INFO").frames))),
    ("command(SFC_GET_FORMAT_MAJOR, arg)", 0,
     lambda d, x: on(d.read(), m.Ondalis.command, "SFC_GET_FORMAT_MAJOR", x)),
    # The command id of every handler (the dispatcher passes it on as given).
    handler("_int_get_command", "SFC_GET_FORMAT_MAJOR_COUNT", True, False),
    # libsndfile answers SFC_GET_CLIPPING with 1 (on), leaving the int at 0.
    handler("_int32_get_command", "SFC_GET_CLIPPING"),
    handler("_uint32_get_command", "SFC_GET_CUE_COUNT"),
    handler("_int_set_command", "SFC_SET_ORIGINAL_SAMPLERATE", 44100, on_file="opus"),
    handler("_bool_set_command", "SFC_SET_CLIPPING", 1, True, False),
    handler("_double_get_command", "SFC_CALC_SIGNAL_MAX", False),
    handler("_double_channel_get_command", "SFC_CALC_MAX_ALL_CHANNELS", False),
    handler("_double_set_command", "SFC_SET_COMPRESSION_LEVEL", 0.5, [0.0, 1.0], True,
            on_file="flac"),
    handler("_sf_count_set_command", "SFC_FILE_TRUNCATE", 2, False, on_file="rw"),
    handler("_string_out_command", "SFC_GET_LIB_VERSION", True),
    handler("_bitrate_set_command", "SFC_SET_BITRATE_MODE", "SF_BITRATE_MODE_CONSTANT",
            on_file="opus"),
    handler("_format_get_command", "SFC_GET_FORMAT_MAJOR", 0),
    ("_format_get_command(arg)", 1,
     lambda d, x: on(d.read(), m.Ondalis._format_get_command, cmd("SFC_GET_FORMAT_MAJOR"), x)),
    handler("_dither_get_command", "SFC_GET_DITHER_INFO"),
    handler("_dither_set_command", "SFC_SET_DITHER_ON_WRITE", R.dither, on_file="new"),
    handler("_embed_get_command", "SFC_GET_EMBED_FILE_INFO"),
    handler("_cue_get_command", "SFC_GET_CUE", on_file="cued"),
    handler("_cue_set_command", "SFC_SET_CUE", [R.cue], on_file="new"),
    handler("_instrument_get_command", "SFC_GET_INSTRUMENT"),
    handler("_instrument_set_command", "SFC_SET_INSTRUMENT", R.instrument, on_file="new"),
    handler("_loop_get_command", "SFC_GET_LOOP_INFO"),
    handler("_broadcast_get_command", "SFC_GET_BROADCAST_INFO"),
    handler("_broadcast_set_command", "SFC_SET_BROADCAST_INFO", R.broadcast, on_file="new"),
    handler("_cart_get_command", "SFC_GET_CART_INFO"),
    handler("_cart_set_command", "SFC_SET_CART_INFO", R.cart, on_file="new"),
    handler("_channel_map_get_command", "SFC_GET_CHANNEL_MAP_INFO"),
    handler("_channel_map_set_command", "SFC_SET_CHANNEL_MAP_INFO",
            ["SF_CHANNEL_MAP_LEFT", "SF_CHANNEL_MAP_RIGHT"], on_file="caf"),
    # Module functions.
    ("get_sndfile_encodings(major)", m.fileformat_name_to_id["wav"],
     lambda d, x: m.get_sndfile_encodings(x)),
    ("_raise_command_retcode_error(ret)", 1,
     lambda d, x: m._raise_command_retcode_error(x, cmd("SFC_SET_CLIPPING"))),
    ("_check_command_retcode(ret)", 1,
     lambda d, x: m._check_command_retcode(x, cmd("SFC_SET_CLIPPING"))),
]


def raw_read(d, **given):
    described = dict(major="raw", encoding="pcm16", samplerate=8000, channels=2)
    data, rate = ondalis.read(d.raw, **{**described, **given})
    return data.tolist(), rate


def written_rate(d, x):
    path = d.new_path()
    ondalis.write(path, np.zeros((3, 2)), x)
    with wave.open(str(path)) as w:
        return w.getframerate()


def in_blocks(d, **given):
    return [b.tolist() for b in ondalis.blocks(d.stereo, **given)]


# The package's functions name the parameter in their TypeError.
PACKAGE = [
    ("read(frames)", 2, lambda d, x: ondalis.read(d.stereo, frames=x)[0].tolist()),
    ("read(start)", 1, lambda d, x: ondalis.read(d.stereo, start=x)[0].tolist()),
    ("read(stop)", 3, lambda d, x: ondalis.read(d.stereo, stop=x)[0].tolist()),
    ("read(samplerate)", 8000, lambda d, x: raw_read(d, samplerate=x)),
    ("read(channels)", 2, lambda d, x: raw_read(d, channels=x)),
    ("info(samplerate)", 8000, lambda d, x: ondalis.info(
        d.raw, major="raw", encoding="pcm16", samplerate=x, channels=2).samplerate),
    ("write(samplerate)", 8000, written_rate),
    ("blocks(blocksize)", 3, lambda d, x: in_blocks(d, blocksize=x)),
    ("blocks(overlap)", 1, lambda d, x: in_blocks(d, blocksize=2, overlap=x)),
    ("blocks(frames)", 3, lambda d, x: in_blocks(d, blocksize=2, frames=x)),
    ("blocks(start)", 1, lambda d, x: in_blocks(d, blocksize=2, start=x)),
    ("blocks(stop)", 3, lambda d, x: in_blocks(d, blocksize=2, stop=x)),
]

ROWS = [(*row, NOT_INTEGER) for row in CONTRACT] + [
    (name, value, call, name[name.index("(") + 1:-1] + " must be an integer, not {}")
    for name, value, call in PACKAGE]


class Raised(typing.NamedTuple):
    kind: type
    text: str


def outcome(call, files, value):
    """What the call gives: its result (an array as a list), or what it raised."""
    try:
        result = call(files, value)
        return result.tolist() if isinstance(result, np.ndarray) else result
    except Exception as error:  # compared below, whatever it is
        return Raised(type(error), str(error))


@pytest.fixture
def files(tmp_path):
    return Files(tmp_path)


@pytest.mark.parametrize("name, value, call, message", ROWS, ids=[row[0] for row in ROWS])
def test_integer_parameters(files, name, value, call, message):
    expected = outcome(call, files, value)
    assert not (isinstance(expected, Raised) and expected.kind is TypeError), expected
    assert outcome(call, files, Index(value)) == expected
    assert outcome(call, files, np.int64(value)) == expected
    if value in (0, 1):  # a bool gives 0 or 1
        assert outcome(call, files, bool(value)) == expected
    # A float, even an integral one, and an object with only __int__ are no
    # integers (libsndfile never sees them, so the text is the conversion's).
    for not_integer in (float(value), Fraction(value)):
        with pytest.raises(TypeError) as excinfo:
            call(files, not_integer)
        assert str(excinfo.value) == message.format(type(not_integer).__name__)
