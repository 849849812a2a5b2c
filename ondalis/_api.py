"""One-line helpers over Ondalis for the common jobs: read, write, info, blocks."""
import dataclasses
import operator
import os
import warnings
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

import numpy as np

from . import _ondalis
from ._ondalis import (Ondalis, SfBroadcastInfo, SfCartInfo, SfCuePoint, SfInstrument,
                       SfLoopInfo)

PathOrFd = Union[str, bytes, "os.PathLike[Any]", int]

# The element types libsndfile reads and writes directly, by numpy's name.
_DTYPES = {"float64": np.float64, "float32": np.float32, "int32": np.int32, "int16": np.int16}

# File name extension -> major-format name (the keys of fileformat_name_to_id).
_EXTENSION_FORMATS = {
    "wav": "wav", "wave": "wav", "aif": "aiff", "aiff": "aiff", "aifc": "aiff",
    "au": "au", "snd": "au", "raw": "raw", "pcm": "raw", "paf": "paf", "fap": "paf",
    "svx": "svx", "8svx": "svx", "iff": "svx", "nist": "nist", "sph": "nist", "voc": "voc",
    "sf": "ircam", "ircam": "ircam", "w64": "wav64", "mat": "mat5", "mat4": "mat4",
    "mat5": "mat5", "pvf": "pvf", "xi": "xi", "htk": "htk", "sds": "sds", "avr": "avr",
    "sd2": "sd2", "flac": "flac", "caf": "caf", "wve": "wve", "ogg": "ogg", "oga": "ogg",
    "opus": "ogg", "mpc": "mpck", "rf64": "rf64", "mp3": "mpeg", "mp2": "mpeg",
    "mp1": "mpeg", "m1a": "mpeg",
}

# Extensions that name an encoding as well as a container.
_EXTENSION_ENCODINGS = {"opus": "opus", "mp3": "mp3", "mp2": "mpeg2", "mp1": "mpeg1"}

# Preferred encodings, best first; the default is the first one the major
# format takes (PCM 16 for WAV, AIFF, FLAC ..., Vorbis for OGG, MP3 for MPEG).
_PREFERRED_ENCODINGS = ("pcm16", "vorbis", "mp3", "dpcm16", "pcms8", "alaw", "float32")


# The usual spellings, found without asking numpy (np.dtype(x).name costs more
# than reading a small file's header).
_DTYPE_SPELLINGS: Dict[Any, Any] = {}
for _name, _kind in _DTYPES.items():
    _DTYPE_SPELLINGS.update({_name: _kind, _kind: _kind, np.dtype(_kind): _kind})


def _dtype(dtype: Any) -> Any:
    """The numpy scalar type read_frames takes for a dtype given in any form numpy knows."""
    try:
        return _DTYPE_SPELLINGS[dtype]
    except (KeyError, TypeError):
        pass
    try:
        name = np.dtype(dtype).name
    except TypeError:
        name = None
    if name not in _DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(_DTYPES)}, not {dtype!r}")
    return _DTYPES[name]


def _integer(value: Any, what: str) -> int:
    """`value` as an int; anything without an exact integer value raises TypeError."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None


def _extension(path: PathOrFd) -> str:
    if isinstance(path, int):
        return ""
    return os.path.splitext(os.fsdecode(os.fspath(path)))[1].lower().lstrip(".")


def major_for_path(path: PathOrFd) -> str:
    """The major-format name for a file name, from its extension (ValueError if unknown)."""
    extension = _extension(path)
    try:
        return _EXTENSION_FORMATS[extension]
    except KeyError:
        raise ValueError(f"cannot tell the file format from the extension of {path!r}; "
                         "give the major format") from None


def default_encoding(major: str, path: Optional[PathOrFd] = None) -> str:
    """A sensible encoding for a major format (and a file name that may name one)."""
    encodings = _ondalis.get_sndfile_encodings(major)
    wanted = _EXTENSION_ENCODINGS.get(_extension(path)) if path is not None else None
    for name in (wanted, *_PREFERRED_ENCODINGS):
        if name in encodings:
            return name
    if not encodings:
        raise ValueError(f"libsndfile offers no encoding for {major!r}")
    return encodings[0]


def file_format(path: PathOrFd, major: Optional[str] = None,
                encoding: Optional[str] = None) -> int:
    """The libsndfile format code for writing `path`: the major format from the
    extension unless given, a default encoding unless given, checked against
    what libsndfile offers (ValueError naming the choices otherwise)."""
    major = major.lower() if major is not None else major_for_path(path)
    if major not in _ondalis.fileformat_name_to_id:
        raise ValueError(f"unknown major format {major!r}; choose from "
                         f"{', '.join(_ondalis.get_sndfile_formats())}")
    encodings = _ondalis.get_sndfile_encodings(major)
    encoding = encoding.lower() if encoding is not None else default_encoding(major, path)
    if encoding not in encodings:
        raise ValueError(f"{major} files do not take the encoding {encoding!r}; choose from "
                         f"{', '.join(encodings)}")
    return _ondalis.construct_format(major, encoding)


def read(path: PathOrFd, frames: int = -1, start: int = 0, dtype: Any = "float64",
         always_2d: bool = False) -> Tuple[np.ndarray, int]:
    """Read a sound file into a numpy array.

    Returns (data, samplerate); data has shape (frames, channels), or (frames,)
    for a mono file unless always_2d. `start` is the first frame; a negative
    start counts from the end, and both ends are clamped to the file as a slice
    is. `frames` < 0 reads to the end; fewer frames than asked are returned when
    the file ends first. `dtype` is float64, float32, int32 or int16, as a name
    or a numpy type. Raises ValueError for another dtype, TypeError for
    non-integer counts and OSError when the file cannot be opened.
    """
    kind = _dtype(dtype)
    frames = _integer(frames, "frames")
    start = _integer(start, "start")
    with Ondalis(path) as f:
        total = f.frames()
        start = max(start + total, 0) if start < 0 else min(start, total)
        left = total - start
        count = left if frames < 0 else min(frames, left)
        if start:
            f.seek(start, 0, "r")
        return f.read_frames(count, kind, bool(always_2d)), f.samplerate()


def _writable(data: Any) -> np.ndarray:
    """`data` as an array write_frames takes: 1 or 2 dimensions, one of its element
    types (other floating types become float64; other integer types are refused,
    since their full scale is not known)."""
    array = np.asarray(data)
    if array.ndim not in (1, 2):
        raise ValueError(f"data must have 1 or 2 dimensions (frames[, channels]), "
                         f"got {array.ndim}")
    if array.ndim == 2 and array.shape[1] == 0:
        raise ValueError("data has no channels")
    if array.dtype.name not in _DTYPES:
        if not np.issubdtype(array.dtype, np.floating):
            raise TypeError(f"data of type {array.dtype} cannot be written; use one of "
                            f"{', '.join(_DTYPES)}")
        array = array.astype(np.float64)
    return array


def write(path: PathOrFd, data: Any, samplerate: int, major: Optional[str] = None,
          encoding: Optional[str] = None) -> int:
    """Write a numpy array (frames[, channels]) to a new sound file.

    The major format (a name from get_sndfile_formats()) comes from the file's
    extension unless given; the encoding defaults to a sensible one for the
    format: pcm16 for WAV, AIFF, FLAC and most others, vorbis for OGG (opus for
    a .opus name), mp3 for MPEG. Floating-point data is full scale at 1.0; int16
    and int32 data are written as they are. Returns the number of frames written.
    Raises ValueError for an unknown format, an encoding the format does not take
    or data of the wrong shape, TypeError for data of another integer type and
    OSError when libsndfile cannot create the file.
    """
    array = _writable(data)
    rate = _integer(samplerate, "samplerate")
    if rate <= 0:
        raise ValueError(f"samplerate must be positive, got {rate}")
    code = file_format(path, major, encoding)
    channels = 1 if array.ndim == 1 else array.shape[1]
    with Ondalis(path, "w", code, channels, rate) as f:
        return f.write_frames(array)


@dataclasses.dataclass
class SoundInfo:
    """What a sound file holds: its format and every piece of metadata.

    Metadata the file lacks is None (an empty list or dict for the lists and
    `strings`). `strings` maps libsndfile's string-type names ('SF_STR_TITLE',
    ...) to text; the records are those `Ondalis.command` returns.
    """
    path: str
    frames: int
    samplerate: int
    channels: int
    duration: float
    format: int
    major_format: str
    encoding: str
    strings: Dict[str, str]
    cue_points: List[SfCuePoint]
    instrument: Optional[SfInstrument]
    loop_info: Optional[SfLoopInfo]
    broadcast: Optional[SfBroadcastInfo]
    cart: Optional[SfCartInfo]
    channel_map: Optional[List[str]]


# SoundInfo field -> the command that reads it.
METADATA_COMMANDS = {
    "cue_points": "SFC_GET_CUE",
    "instrument": "SFC_GET_INSTRUMENT",
    "loop_info": "SFC_GET_LOOP_INFO",
    "broadcast": "SFC_GET_BROADCAST_INFO",
    "cart": "SFC_GET_CART_INFO",
    "channel_map": "SFC_GET_CHANNEL_MAP_INFO",
}
METADATA_FIELDS = tuple(METADATA_COMMANDS)


def _metadata(f: Ondalis, field: str, label: str) -> Any:
    """The result of a get command; a chunk that cannot be decoded (text that is
    not UTF-8, an id the tables lack) is reported with a warning and left out,
    so that one broken chunk does not hide the rest of the file."""
    try:
        return f.command(METADATA_COMMANDS[field])
    except (RuntimeError, UnicodeDecodeError, KeyError) as error:
        warnings.warn(f"{label}: cannot read the "
                      f"{field.replace('_', ' ')}: {error}", stacklevel=3)
        return None


def _path_text(path: PathOrFd) -> str:
    return f"<fd {path}>" if isinstance(path, int) else os.fsdecode(os.fspath(path))


def info(path: PathOrFd) -> SoundInfo:
    """Describe a sound file: format, length and all of its metadata.

    Returns a SoundInfo. Raises OSError when the file cannot be opened.
    """
    label = _path_text(path)
    with Ondalis(path) as f:
        rate = f.samplerate()
        strings = {name: value.decode("utf-8", "replace")
                   for name, value in f.get_strings().items()}
        found = {}
        for field in METADATA_COMMANDS:  # a loop: the warning's stack level is fixed
            found[field] = _metadata(f, field, label)
        found["cue_points"] = found["cue_points"] or []
        return SoundInfo(path=label, frames=f.frames(), samplerate=rate,
                         channels=f.channels(), duration=f.frames() / rate if rate else 0.0,
                         format=f.format(), major_format=f.major_format_str(),
                         encoding=f.encoding_str(), strings=strings, **found)


def blocks(path: PathOrFd, blocksize: int, overlap: int = 0,
           dtype: Any = "float64") -> Iterator[np.ndarray]:
    """Yield the file's frames in blocks of `blocksize` frames, in order.

    Each block after the first starts `overlap` frames before the previous one
    ended; the last block may be shorter. The file is read once, from start to
    end, and opened at once, so a missing file raises OSError here rather than
    at the first block. Every block is a new array that the caller may change.
    Raises ValueError for a blocksize below 1, an overlap outside
    [0, blocksize) or an unknown dtype.
    """
    kind = _dtype(dtype)
    blocksize = _integer(blocksize, "blocksize")
    overlap = _integer(overlap, "overlap")
    if blocksize <= 0:
        raise ValueError(f"blocksize must be positive, got {blocksize}")
    if not 0 <= overlap < blocksize:
        raise ValueError(f"overlap must lie in [0, blocksize), got {overlap}")
    return _blocks(Ondalis(path), blocksize, overlap, kind)


def _blocks(f: Ondalis, blocksize: int, overlap: int, kind: Any) -> Iterator[np.ndarray]:
    with f:
        left = f.frames()
        tail = None
        while left > 0:
            n = min(blocksize if tail is None else blocksize - overlap, left)
            data = f.read_frames(n, kind)
            left -= n
            block = data if tail is None else np.concatenate([tail, data])
            if overlap:
                # A copy, so that a caller changing the block in place does
                # not change the start of the next one.
                tail = block[len(block) - overlap:].copy()
            yield block
