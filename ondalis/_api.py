"""One-line helpers over Ondalis for the common jobs: read, write, info, blocks."""
import dataclasses
import os
from typing import Dict, Iterator, List, Optional, Tuple

import numpy as np

from . import _ondalis
from ._ondalis import Ondalis

_DTYPES = {"float64": np.float64, "float32": np.float32, "int32": np.int32, "int16": np.int16}

# File name extension -> major-format name.
_EXTENSION_FORMATS = {
    "wav": "wav", "wave": "wav", "aif": "aiff", "aiff": "aiff", "aifc": "aiff",
    "au": "au", "snd": "au", "raw": "raw", "pcm": "raw", "paf": "paf", "svx": "svx",
    "8svx": "svx", "iff": "svx", "nist": "nist", "sph": "nist", "voc": "voc",
    "sf": "ircam", "ircam": "ircam", "w64": "wav64", "mat": "mat5", "mat4": "mat4",
    "mat5": "mat5", "pvf": "pvf", "xi": "xi", "htk": "htk", "sds": "sds", "avr": "avr",
    "sd2": "sd2", "flac": "flac", "caf": "caf", "wve": "wve", "ogg": "ogg", "oga": "ogg",
    "opus": "ogg", "mpc": "mpck", "rf64": "rf64", "mp3": "mpeg", "mp2": "mpeg",
}

# Preferred encodings, best first; the default is the first one the major
# format takes (PCM 16 for WAV, AIFF, FLAC ..., Vorbis for OGG, MP3 for MPEG).
_PREFERRED_ENCODINGS = ("pcm16", "vorbis", "mp3", "dpcm16", "pcms8", "alaw", "float32")


def _dtype(dtype) -> type:
    name = np.dtype(dtype).name if not isinstance(dtype, str) else dtype
    try:
        return _DTYPES[name]
    except KeyError:
        raise ValueError(f"dtype must be one of {', '.join(_DTYPES)}, not {dtype!r}") from None


def _extension(path) -> str:
    return os.path.splitext(os.fsdecode(os.fspath(path)))[1].lower().lstrip(".")


def major_for_path(path) -> str:
    """The major-format name for a file name, from its extension."""
    extension = _extension(path)
    try:
        return _EXTENSION_FORMATS[extension]
    except KeyError:
        raise ValueError(f"cannot tell the file format from the extension of {path!r}; "
                         "give major=") from None


def default_encoding(major: str, path=None) -> str:
    """A sensible encoding for a major format."""
    encodings = _ondalis.get_sndfile_encodings(major)
    if path is not None and _extension(path) == "opus" and "opus" in encodings:
        return "opus"
    for name in _PREFERRED_ENCODINGS:
        if name in encodings:
            return name
    if not encodings:
        raise ValueError(f"libsndfile offers no encoding for {major!r}")
    return encodings[0]


def read(path, frames: int = -1, start: int = 0, dtype="float64",
         always_2d: bool = False) -> Tuple[np.ndarray, int]:
    """Read a sound file into a numpy array.

    Returns (data, samplerate); data has shape (frames, channels), or (frames,)
    for a mono file unless always_2d. `frames` < 0 reads to the end; fewer
    frames than asked are returned when the file ends first.
    """
    kind = _dtype(dtype)
    if not isinstance(frames, (int, np.integer)) or not isinstance(start, (int, np.integer)):
        raise TypeError("frames and start must be integers")
    if start < 0:
        raise ValueError(f"start must not be negative, got {start}")
    with Ondalis(path) as f:
        total = f.frames()
        if start > total:
            raise ValueError(f"start {start} lies beyond the end of the file ({total} frames)")
        if start:
            f.seek(start, 0, "r")
        left = total - start
        count = left if frames < 0 else min(frames, left)
        return f.read_frames(count, kind, bool(always_2d)), f.samplerate()


def write(path, data, samplerate: int, major: Optional[str] = None,
          encoding: Optional[str] = None) -> int:
    """Write a numpy array (frames[, channels]) to a new sound file.

    The major format comes from the file's extension unless given; the
    encoding defaults to a sensible one for the format. Returns the number of
    frames written.
    """
    array = np.asarray(data)
    if array.ndim not in (1, 2):
        raise ValueError(f"data must have 1 or 2 dimensions, got {array.ndim}")
    if array.dtype.name not in _DTYPES:
        if np.issubdtype(array.dtype, np.floating):
            array = array.astype(np.float64)
        else:
            raise TypeError(f"data of type {array.dtype} cannot be written; use one of "
                            f"{', '.join(_DTYPES)}")
    channels = 1 if array.ndim == 1 else array.shape[1]
    major = major if major is not None else major_for_path(path)
    encoding = encoding if encoding is not None else default_encoding(major, path)
    code = _ondalis.construct_format(major, encoding)
    with Ondalis(path, "w", code, channels, int(samplerate)) as f:
        return f.write_frames(array)


@dataclasses.dataclass
class SoundInfo:
    """What a sound file holds: its format and every piece of metadata."""
    path: str
    frames: int
    samplerate: int
    channels: int
    duration: float
    major_format: str
    encoding: str
    strings: Dict[str, str]
    cue_points: List[object]
    instrument: Optional[object]
    loop_info: Optional[object]
    broadcast: Optional[object]
    cart: Optional[object]
    channel_map: Optional[List[str]]


def _metadata(f, command, empty=None):
    """The result of a get command, or `empty` when the file cannot give it."""
    try:
        return f.command(command)
    except (RuntimeError, UnicodeDecodeError, KeyError):
        return empty


def info(path) -> SoundInfo:
    """Describe a sound file: format, length and all of its metadata."""
    with Ondalis(path) as f:
        rate = f.samplerate()
        strings = {name: value.decode("utf-8", "replace")
                   for name, value in f.get_strings().items()}
        return SoundInfo(
            path=os.fsdecode(os.fspath(path)),
            frames=f.frames(),
            samplerate=rate,
            channels=f.channels(),
            duration=f.frames() / rate if rate else 0.0,
            major_format=f.major_format_str(),
            encoding=f.encoding_str(),
            strings=strings,
            cue_points=_metadata(f, "SFC_GET_CUE", []) or [],
            instrument=_metadata(f, "SFC_GET_INSTRUMENT"),
            loop_info=_metadata(f, "SFC_GET_LOOP_INFO"),
            broadcast=_metadata(f, "SFC_GET_BROADCAST_INFO"),
            cart=_metadata(f, "SFC_GET_CART_INFO"),
            channel_map=_metadata(f, "SFC_GET_CHANNEL_MAP_INFO"),
        )


def blocks(path, blocksize: int, overlap: int = 0, dtype="float64") -> Iterator[np.ndarray]:
    """Yield the file's frames in blocks of `blocksize` frames, in order.

    Each block after the first starts `overlap` frames before the previous one
    ended; the last block may be shorter. The file is read once.
    """
    kind = _dtype(dtype)
    if not isinstance(blocksize, (int, np.integer)) or blocksize <= 0:
        raise ValueError(f"blocksize must be a positive integer, got {blocksize!r}")
    if not isinstance(overlap, (int, np.integer)) or not 0 <= overlap < blocksize:
        raise ValueError(f"overlap must be an integer in [0, blocksize), got {overlap!r}")
    return _blocks(path, int(blocksize), int(overlap), kind)


def _blocks(path, blocksize, overlap, kind):
    with Ondalis(path) as f:
        left = f.frames()
        tail = None
        while left > 0:
            n = min(blocksize if tail is None else blocksize - overlap, left)
            data = f.read_frames(n, kind)
            left -= n
            block = data if tail is None else np.concatenate([tail, data])
            yield block
            if overlap:
                tail = block[len(block) - overlap:]
