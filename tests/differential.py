"""What the differential tests share: the catalogue's cells as libsndfile
writes them, the sources, and each writer and reader (ours, the Ondalis
object's and soundfile's) behind one signature."""
import ctypes
import dataclasses
import functools
import io
import itertools
import os
import tempfile
import warnings

import numpy as np
import pytest
import soundfile

import ondalis
from conftest import loaded_libsndfile_path

RATE = 8000
FRAMES = 256
KINDS = (np.float64, np.float32, np.int32, np.int16)
FLOAT_KINDS = (np.float64, np.float32)
FLOAT_ENCODINGS = ("float32", "float64")

# soundfile's names for libsndfile's codes.
SOUNDFILE_MAJORS = {code: name for name, code in soundfile._formats.items()}
SOUNDFILE_SUBTYPES = {code: name for name, code in soundfile._subtypes.items()}

# soundfile's libsndfile fails reading every DWVW file ("Internal psf_fseek()
# failed"), its own included; ours reads them.
SOUNDFILE_CANNOT_READ = ("dww12", "dww16", "dww24")


# --- the catalogue ----------------------------------------------------------------

class _SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64)] + [
        (name, ctypes.c_int) for name in ("samplerate", "channels", "format", "sections",
                                          "seekable")]


SFM_READ, SFM_WRITE = 0x10, 0x20


def _libsndfile():
    """The libsndfile the module uses, through ctypes, to ask it what it writes."""
    lib = ctypes.CDLL(loaded_libsndfile_path())
    lib.sf_open.restype = ctypes.c_void_p
    lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(_SfInfo)]
    lib.sf_writef_short.restype = ctypes.c_int64
    lib.sf_writef_short.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    lib.sf_close.argtypes = [ctypes.c_void_p]
    lib.sf_strerror.restype = ctypes.c_char_p
    lib.sf_strerror.argtypes = [ctypes.c_void_p]
    return lib


def _writable(lib, folder, code):
    """(channels, None) for the most channels (2, else 1) with which libsndfile
    writes 64 frames of `code` into a new file, else (None, what it said)."""
    said = ""
    for channels in (2, 1):
        info = _SfInfo(0, RATE, channels, code, 0, 0)
        path = os.path.join(folder, f"{code:x}-{channels}")
        handle = lib.sf_open(os.fsencode(path), SFM_WRITE, ctypes.byref(info))
        if not handle:
            said = lib.sf_strerror(None).decode()
            continue
        frames = np.resize(np.array([3000, -3000], dtype=np.int16), 64 * channels)
        wrote = lib.sf_writef_short(handle, frames.ctypes.data, 64)
        said = lib.sf_strerror(handle).decode()
        closed = lib.sf_close(handle)
        for name in os.listdir(folder):  # the file, and SD2's resource fork
            os.unlink(os.path.join(folder, name))
        if closed == 0 and wrote == 64:
            return channels, None
    return None, said


@dataclasses.dataclass(frozen=True)
class Cell:
    """A major format and encoding, with the channels libsndfile writes it with."""
    major: str
    encoding: str
    channels: int

    @property
    def code(self):
        return ondalis.construct_format(self.major, self.encoding)

    @property
    def ours(self):
        """What the package's readers need besides the file."""
        if self.major != "raw":
            return {}
        return {"major": "raw", "encoding": self.encoding, "samplerate": RATE,
                "channels": self.channels}

    @property
    def contract(self):
        """What Ondalis needs to open the file for reading."""
        if self.major != "raw":
            return {}
        return {"format": self.code, "channels": self.channels, "samplerate": RATE}

    @property
    def theirs(self):
        """What soundfile.write takes for the format."""
        return {"format": SOUNDFILE_MAJORS[self.code & ondalis.SF_FORMAT_TYPEMASK],
                "subtype": SOUNDFILE_SUBTYPES[self.code & ondalis.SF_FORMAT_SUBMASK]}

    @property
    def theirs_to_read(self):
        """What soundfile.read needs besides the file."""
        if self.major != "raw":
            return {}
        return {**self.theirs, "samplerate": RATE, "channels": self.channels}

    @property
    def stores_floats(self):
        return self.encoding in FLOAT_ENCODINGS


# Scratch space for asking libsndfile, kept for the session.
_SCRATCH = tempfile.TemporaryDirectory(prefix="ondalis-differential-")


@functools.lru_cache(maxsize=None)
def frames_kept(cell, frames):
    """The frames libsndfile finds in the file of `cell` it writes `frames`
    frames to (a block codec pads the last block)."""
    lib = _LIBSNDFILE
    path = os.fsencode(os.path.join(_SCRATCH.name, f"{cell.major}-{cell.encoding}-{frames}"))
    info = _SfInfo(0, RATE, cell.channels, cell.code, 0, 0)
    handle = lib.sf_open(path, SFM_WRITE, ctypes.byref(info))
    samples = np.resize(np.array([3000, -3000], dtype=np.int16), frames * cell.channels)
    lib.sf_writef_short(handle, samples.ctypes.data, frames)
    lib.sf_close(handle)
    info = _SfInfo(0, RATE, cell.channels, cell.code if cell.major == "raw" else 0, 0, 0)
    lib.sf_close(lib.sf_open(path, SFM_READ, ctypes.byref(info)))
    os.unlink(path)
    return info.frames


_LIBSNDFILE = _libsndfile()


def _catalogue():
    """(major, encoding, channels or None, what libsndfile said) for every cell."""
    return [(major, encoding,
             *_writable(_LIBSNDFILE, _SCRATCH.name, ondalis.construct_format(major, encoding)))
            for major in ondalis.get_sndfile_formats()
            for encoding in ondalis.get_sndfile_encodings(major)]


CATALOGUE = _catalogue()
CELLS = [Cell(major, encoding, channels) for major, encoding, channels, _ in CATALOGUE
         if channels]


@dataclasses.dataclass(frozen=True)
class Fault:
    """Rows that fail today: those `applies(cell, **row)` takes, raising `raises`."""
    reason: str
    raises: type
    applies: object


def cell_params(*fields, keep=lambda cell: True, faults=(), frames=None):
    """pytest params of each writable cell kept, crossed with every combination
    of `fields` ((name, values) pairs); the cells libsndfile cannot write come
    once, skipped with what it said. A row that a Fault applies to is expected
    to fail as the first such Fault says; faults see the row's values and,
    as `frames`, what frames(cell, **row) says the row writes."""
    rows = [{}]
    for name, values in fields:
        rows = [{**row, name: value} for row in rows for value in values]
    params = []
    for major, encoding, channels, said in CATALOGUE:
        if not channels:
            params.append(pytest.param(
                None, *rows[0].values(), id=f"{major}-{encoding}", marks=pytest.mark.skip(
                    reason=f"libsndfile cannot write {major} {encoding}: {said}")))
            continue
        cell = Cell(major, encoding, channels)
        if not keep(cell):
            continue
        for row in rows:
            facts = {**row, "frames": frames(cell, **row) if frames else None}
            found = [fault for fault in faults if fault.applies(cell, **facts)]
            marks = [pytest.mark.xfail(strict=True, raises=found[0].raises,
                                       reason=found[0].reason)] if found else []
            label = "-".join([major, encoding, *(_label(value) for value in row.values())])
            params.append(pytest.param(cell, *row.values(), id=label, marks=marks))
    return params


def _label(value):
    return np.dtype(value).name if isinstance(value, type) else str(value)


# --- sources ------------------------------------------------------------------------

def tone(channels):
    """FRAMES frames of a sine per channel (300 Hz, 440 Hz) at 0.7 of full scale."""
    t = np.arange(FRAMES)[:, None] / RATE
    return 0.7 * np.sin(2 * np.pi * t * np.array([300.0, 440.0])[:channels])


# Float samples at full scale: -1.0, the largest k / 2**(n-1) below 1 for 8,
# 16, 24 and 32 bits, 1.0 itself, one step above -1 at 16 bits, and zero.
FULL_SCALE = [-1.0, *(1 - 2.0 ** (1 - n) for n in (8, 16, 24, 32)), 1.0, -1 + 2.0 ** -15, 0.0]
# Beyond full scale: an integer encoding stores them clipped to full scale.
BEYOND = [1.5, -1.5, 2.0, -3.0, 1 + 2.0 ** -20, -1 - 2.0 ** -20, 1e6, -1e6]


def source(kind, channels, beyond=False):
    """The tone in `kind` (integers scaled to their full scale) followed by
    frames at full scale (the type's extremes for integers) and, when asked,
    beyond it; mono as a 1-D array."""
    if np.issubdtype(kind, np.floating):
        body, edges = tone(channels), FULL_SCALE + (BEYOND if beyond else [])
    else:
        info = np.iinfo(kind)
        body = np.round(tone(channels) * info.max)
        edges = [info.min, info.max, info.min + 1, info.max - 1, 0, -1, 1, 0]
    data = np.concatenate([body, np.reshape(edges, (-1, channels))]).astype(kind)
    return data[:, 0] if channels == 1 else data


def as_full_scale(data):
    """Samples as float64 with full scale at 1.0."""
    if np.issubdtype(data.dtype, np.floating):
        return data.astype(np.float64)
    return data / -float(np.iinfo(data.dtype).min)


def quietly(call, *args, **kwargs):
    """`call(*args, **kwargs)` with its clipping warnings ignored."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args, **kwargs)


class Place:
    """Where a test's files go: place / name is a path in one shared folder
    that no other Place gives. Making and removing folders is what costs most
    on a disk that discards the blocks it frees."""
    _numbers = itertools.count()

    def __init__(self, folder, prefix=None):
        self.folder = folder
        self.prefix = str(next(Place._numbers)) if prefix is None else prefix

    def __truediv__(self, name):
        return self.folder / f"{self.prefix}-{name}"

    def sub(self, name):
        """A Place of its own within this one."""
        return Place(self.folder, f"{self.prefix}-{name}")


# --- writers and readers: (cell, data, place) -> path, (cell, path, kind) -> array

def write_path(cell, data, place):
    path = place / "written"
    quietly(ondalis.write, path, data, RATE, major=cell.major, encoding=cell.encoding)
    return path


def write_bytesio(cell, data, place):
    if cell.major == "sd2":
        # libsndfile keeps an SD2 file's resource fork beside it by name: memory
        # is refused, and the row reads what a path gets.
        with pytest.raises(ValueError, match="resource fork"):
            ondalis.write(io.BytesIO(), data, RATE, major=cell.major, encoding=cell.encoding)
        return write_path(cell, data, place)
    memory = io.BytesIO()
    quietly(ondalis.write, memory, data, RATE, major=cell.major, encoding=cell.encoding)
    path = place / "from-bytesio"
    path.write_bytes(memory.getvalue())
    return path


def write_frames(cell, data, place):
    path = place / "write_frames"
    with ondalis.Ondalis(path, "w", format=cell.code, channels=cell.channels,
                         samplerate=RATE) as f:
        quietly(f.write_frames, data)
    return path


def write_soundfile(cell, data, place):
    """soundfile's file, made in memory and saved (a path costs soundfile an
    fsync), but for SD2, whose resource fork needs a file beside it."""
    path = place / "soundfile"
    if cell.major == "sd2":
        soundfile.write(path, data, RATE, **cell.theirs)
        return path
    memory = io.BytesIO()
    soundfile.write(memory, data, RATE, **cell.theirs)
    path.write_bytes(memory.getvalue())
    return path


WRITERS = {"write": write_path, "write-bytesio": write_bytesio, "write_frames": write_frames,
           "soundfile": write_soundfile}
OUR_WRITERS = ("write", "write-bytesio", "write_frames")


def read_package(cell, path, kind):
    return ondalis.read(path, dtype=kind, **cell.ours)[0]


def read_blocks(cell, path, kind):
    blocks = list(ondalis.blocks(path, 100, dtype=kind, always_2d=True, **cell.ours))
    data = np.concatenate(blocks) if blocks else np.zeros((0, cell.channels), dtype=kind)
    return data[:, 0] if cell.channels == 1 else data


def read_frames(cell, path, kind):
    with ondalis.Ondalis(path, "r", **cell.contract) as f:
        return f.read_frames(-1, kind)


def read_soundfile(cell, path, kind):
    return soundfile.read(path, dtype=np.dtype(kind).name, **cell.theirs_to_read)[0]


OUR_READERS = {"read": read_package, "blocks": read_blocks, "read_frames": read_frames}


def readers(cell, blocks=True):
    """Our readers (blocks among them unless told not), and soundfile's
    where it reads the encoding."""
    ours = OUR_READERS if blocks else {name: read for name, read in OUR_READERS.items()
                                       if read is not read_blocks}
    if cell.encoding in SOUNDFILE_CANNOT_READ:
        return ours
    return {**ours, "soundfile": read_soundfile}


def read_every_kind(cell, path, reader, kinds=KINDS):
    """{kind: what `reader` gives as kind}; soundfile's opens a seekable file
    once and reads it from the start for each kind (its opening and closing
    cost most)."""
    if reader is not read_soundfile:
        return {kind: reader(cell, path, kind) for kind in kinds}
    with soundfile.SoundFile(path, **cell.theirs_to_read) as f:
        if not f.seekable():
            return {kind: reader(cell, path, kind) for kind in kinds}
        found = {}
        for kind in kinds:
            f.seek(0)
            found[kind] = f.read(dtype=np.dtype(kind).name)
        return found


def reference_reader(cell):
    """soundfile's reader where it reads the encoding, else the Ondalis object's."""
    return readers(cell).get("soundfile", read_frames)


def assert_same(got, want, what):
    """Bit for bit: type, shape and bytes."""
    assert got.dtype == want.dtype and got.shape == want.shape, \
        f"{what}: {got.dtype}{got.shape} where {want.dtype}{want.shape} was expected"
    if got.tobytes() == want.tobytes():
        return
    wrong = np.argwhere(got != want)
    if not len(wrong):
        raise AssertionError(f"{what}: equal values in other bits (a zero's sign, a NaN)")
    first = tuple(wrong[0])
    raise AssertionError(f"{what}: {len(wrong)} sample(s) differ, the first at {first}: "
                         f"{got[first]!r} where {want[first]!r} was expected")
