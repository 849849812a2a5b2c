"""One-line helpers over Ondalis for the common jobs: read, write, info, blocks."""
import dataclasses
import io
import operator
import os
import warnings
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Literal, Mapping, Optional,
                    Tuple, Type, Union, get_args, overload)

import numpy as np
import numpy.typing as npt

from . import _metadata, _ondalis, _safe, _stream
from ._ondalis import (Ondalis, SfBroadcastInfo, SfCartInfo, SfCartTimer, SfCuePoint,
                       SfInstrument, SfInstrumentLoop, SfLoopInfo)

PathOrFd = Union[str, bytes, "os.PathLike[Any]", int]
# What the high-level functions read: a path, a descriptor, an io.BytesIO or
# any other bytes-like object, or a binary file object.
Source = Any

# The element types libsndfile reads and writes directly, by numpy's name.
DTypeName = Literal["float64", "float32", "int32", "int16"]
_DTYPES: Dict[str, Any] = {name: getattr(np, name) for name in get_args(DTypeName)}
# What read() and blocks() take as a dtype: one of those names, the numpy
# type, or a numpy dtype of it.
DType = Union[DTypeName, Type[np.float64], Type[np.float32], Type[np.int32], Type[np.int16],
              "np.dtype[Any]"]

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


# numpy's type number for each element type, as the streaming module takes it.
_TYPENUMS = {kind: np.dtype(kind).num for kind in _DTYPES.values()}


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
    if not isinstance(path, (str, bytes, os.PathLike)):
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


# soundfile's spellings that are not ours with case and underscores set aside
# (its 'PCM_24' is our 'pcm24' that way; 'FLOAT' is not).
_SOUNDFILE_MAJORS = {"w64": "wav64", "mp3": "mpeg", "mpc2k": "mpck"}
_SOUNDFILE_ENCODINGS = {"float": "float32", "double": "float64", "mpeg_layer_i": "mpeg1",
                        "mpeg_layer_ii": "mpeg2", "mpeg_layer_iii": "mp3", "dwvw_12": "dww12",
                        "dwvw_16": "dww16", "dwvw_24": "dww24", "dwvw_n": "dwwN",
                        "dwwn": "dwwN"}


def _spelled(name: str, ours: Any, aliases: Dict[str, str]) -> str:
    """Our name for `name`, given in any case and in ours or soundfile's
    spelling ('PCM_24', 'FLOAT', 'WAV'); an unknown name comes back lowered."""
    lowered = name.lower()
    for candidate in (name, lowered, lowered.replace("_", ""), aliases.get(lowered)):
        if candidate in ours:
            return str(candidate)
    return lowered


def major_name(major: str) -> str:
    """A major-format name in our spelling (see _spelled)."""
    return _spelled(major, _ondalis.fileformat_name_to_id, _SOUNDFILE_MAJORS)


def encoding_name(encoding: str) -> str:
    """An encoding name in our spelling (see _spelled)."""
    return _spelled(encoding, _ondalis.encoding_name_to_id, _SOUNDFILE_ENCODINGS)


def file_format(path: PathOrFd, major: Optional[str] = None,
                encoding: Optional[str] = None) -> int:
    """The libsndfile format code for writing `path`: the major format from the
    extension unless given, a default encoding unless given, checked against
    what libsndfile offers (ValueError naming the choices otherwise). Names
    may be given in any case and in soundfile's spelling ('PCM_24', 'FLOAT')."""
    given = major
    major = major_name(major) if major is not None else major_for_path(path)
    if major not in _ondalis.fileformat_name_to_id:
        # soundfile's write takes the subtype where this one takes the major format.
        hint = (f" ({given!r} is an encoding: pass it as encoding={given!r})"
                if given is not None and encoding_name(given) in _ondalis.encoding_name_to_id
                else "")
        raise ValueError(f"unknown major format {major!r}{hint}; choose from "
                         f"{', '.join(_ondalis.get_sndfile_formats())}")
    encodings = _ondalis.get_sndfile_encodings(major)
    encoding = encoding_name(encoding) if encoding is not None else default_encoding(major, path)
    if encoding not in encodings:
        raise ValueError(f"{major} files do not take the encoding {encoding!r}; choose from "
                         f"{', '.join(encodings)}")
    return _ondalis.construct_format(major, encoding)


def _raw_format(major: Optional[str], encoding: Optional[str], samplerate: Optional[int],
                channels: Optional[int]) -> Dict[str, int]:
    """What describes headerless input (RAW): nothing for a file with a header."""
    if major is None and encoding is None and samplerate is None and channels is None:
        return {}
    if major is None or encoding is None or samplerate is None or channels is None:
        raise TypeError("headerless input needs major, encoding, samplerate and channels")
    return {"format": file_format("", major, encoding),
            "samplerate": _integer(samplerate, "samplerate"),
            "channels": _integer(channels, "channels")}


def _span(frames: int, stop: Optional[int]) -> Tuple[int, Optional[int]]:
    frames = _integer(frames, "frames")
    if stop is not None:
        if frames >= 0:
            raise TypeError("give frames or stop, not both")
        stop = _integer(stop, "stop")
    return frames, stop


def _opened_stream(source: Source, mode: str = "r",
                   described: Optional[Dict[str, int]] = None) -> Any:
    """A _stream.Stream on `source`; `described` gives the format, channels
    and rate of a headerless source or of a target without a name."""
    _check_access(source, mode)
    return _stream.Stream(source, mode, **(described or {}))


# The OSError libsndfile's failures raise: its text is the message alone,
# and `filename` names the source as the caller gave it.
SndfileError: Type[OSError] = _stream.SndfileError

# What a read does when libsndfile reports a decoder error (a damaged file)
# before the frames the header announced: raise OSError, or keep the frames
# decoded before it, with a warning.
OnDamage = Literal["raise", "truncate"]


def truncates(on_damage: str) -> bool:
    """Whether `on_damage` asks for the decodable part of a damaged file."""
    if on_damage not in get_args(OnDamage):
        raise ValueError(f"on_damage must be 'raise' or 'truncate', not {on_damage!r}")
    return on_damage == "truncate"


def _check_access(source: Source, mode: str) -> None:
    """io.UnsupportedOperation, before anything is read or written, for a
    file object opened the other way ("file is open for reading only")."""
    if isinstance(source, (str, bytes, os.PathLike, int)):
        return
    able = getattr(source, "writable" if mode == "w" else "readable", None)
    if callable(able) and not able():
        raise io.UnsupportedOperation(
            f"file is open for {'reading' if mode == 'w' else 'writing'} only")


@overload
def read(source: Source, frames: int = -1, start: int = 0, *, always_2d: bool = False,
         stop: Optional[int] = None, fill_value: Optional[float] = None,
         major: Optional[str] = None, encoding: Optional[str] = None,
         samplerate: Optional[int] = None, channels: Optional[int] = None,
         on_damage: OnDamage = "raise") -> Tuple[npt.NDArray[np.float64], int]: ...
@overload
def read(source: Source, frames: int = -1, start: int = 0, dtype: DType = "float64",
         always_2d: bool = False, *, stop: Optional[int] = None,
         out: Optional[npt.NDArray[Any]] = None, fill_value: Optional[float] = None,
         major: Optional[str] = None, encoding: Optional[str] = None,
         samplerate: Optional[int] = None, channels: Optional[int] = None,
         on_damage: OnDamage = "raise") -> Tuple[npt.NDArray[Any], int]: ...
def read(source: Source, frames: int = -1, start: int = 0, dtype: DType = "float64",
         always_2d: bool = False, *, stop: Optional[int] = None,
         out: Optional[npt.NDArray[Any]] = None, fill_value: Optional[float] = None,
         major: Optional[str] = None, encoding: Optional[str] = None,
         samplerate: Optional[int] = None, channels: Optional[int] = None,
         on_damage: OnDamage = "raise") -> Tuple[npt.NDArray[Any], int]:
    """Read a sound file into a numpy array.

    `source` is a path, a file descriptor, an io.BytesIO (read from its current
    position), any other bytes-like object holding a whole file, or a binary
    file object. Returns (data, samplerate); data has shape (frames, channels),
    or (frames,) for a mono file unless always_2d. `start` is the first frame;
    a negative start counts from the end, and both ends are clamped to the file
    as a slice is (`stop` may be given instead of `frames`). `frames` < 0 reads
    to the end; fewer frames than asked are returned when the file ends first,
    unless `fill_value` pads the rest. `dtype` is float64, float32, int32 or
    int16, as a name or a numpy type. `out` is an array to read into (its
    length and type decide frames and dtype); the filled part is returned, or
    all of it with the rest set to `fill_value`.
    Headerless (RAW) input is described by major, encoding, samplerate and
    channels. A damaged file (libsndfile's decoder reports an error before
    the end the header announced) raises OSError naming the frame where
    decoding stopped, unless on_damage="truncate" asks for the frames before
    it (with a UserWarning); a clean early end returns what was read.
    Raises ValueError for another dtype, TypeError for non-integer
    counts and OSError when the file cannot be opened.
    """
    truncate = truncates(on_damage)
    frames, stop = _span(frames, stop)
    start = _integer(start, "start")
    described = _raw_format(major, encoding, samplerate, channels)
    typenum = _TYPENUMS[_dtype(dtype)]
    if isinstance(out, np.ndarray) and out.ndim > 0 and frames < 0 and stop is None:
        frames = len(out)  # what fill_value pads to
    _check_access(source, "r")
    data, rate = _stream.read(source, frames, start, typenum, bool(always_2d), out,
                              stop=stop, truncate=truncate, **described)
    if fill_value is not None and frames >= 0 and len(data) < frames:
        data = _padded(data, frames, fill_value, out)
    return data, rate


def _padded(data: np.ndarray, frames: int, fill_value: float,
            out: Optional[np.ndarray]) -> np.ndarray:
    if out is not None:
        full = out if len(out) == frames else out[:frames]
        full[len(data):] = fill_value
        return full
    padded = np.full((frames,) + data.shape[1:], fill_value, dtype=data.dtype)
    padded[:len(data)] = data
    return padded


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


def _target_name(target: Source) -> Source:
    """What names a target's format: the target itself, or the name of a file object."""
    if isinstance(target, (str, bytes, os.PathLike)):
        return target
    name = getattr(target, "name", None)
    return name if isinstance(name, (str, bytes)) else ""


def write(target: Source, data: Any, samplerate: int, major: Optional[str] = None,
          encoding: Optional[str] = None, *, chunks: Optional["Chunks"] = None,
          strings: Optional[Dict[str, str]] = None,
          cue_points: Optional[List[SfCuePoint]] = None,
          instrument: Optional[SfInstrument] = None, loop_info: Optional[SfLoopInfo] = None,
          broadcast: Optional[SfBroadcastInfo] = None, cart: Optional[SfCartInfo] = None,
          channel_map: Optional[List[str]] = None) -> int:
    """Write a numpy array (frames[, channels]) to a new sound file.

    `target` is a path, a file descriptor, an io.BytesIO (written from its
    current position) or a binary file object. The major format (a name from
    get_sndfile_formats()) comes from the file's extension unless given (a
    target without a name needs it); the encoding defaults to a sensible one
    for the format: pcm16 for WAV, AIFF, FLAC and most others, vorbis for OGG
    (opus for a .opus name), mp3 for MPEG. Floating-point data is full scale
    at 1.0; int16 and int32 data are written as they are. Returns the number
    of frames written.
    `chunks` is a list of (id, data) pairs written into the file before its
    frames: id 4 printable ASCII characters, data bytes-like, each id once.
    libsndfile writes them to WAV, WAVEX, RF64 and AIFF files, at most 20
    chunks and 40960 bytes together, each padded with NULs to a multiple of 4
    bytes; it writes the chunks that carry the format and metadata ('fmt ',
    'data', 'LIST', 'bext', ...) itself, so those are refused.
    `strings` (texts by short name: 'title', 'artist', ...), `cue_points`,
    `instrument`, `loop_info`, `broadcast`, `cart` and `channel_map` are
    written in the shapes info() returns them (records, or dicts of their
    fields; `**metadata(source)` gives them all). What the format does not
    keep is refused before any file is created: ValueError naming it ("wav
    files do not keep: channel map, cue point names"). libsndfile adds its
    own line to a coding history, a line break to a cart's tag text and its
    name to a software text, and writes a broadcast extension as its
    version 2.
    Raises ValueError for an unknown format, an encoding the
    format does not take, data of the wrong shape or a chunk that cannot be
    written, TypeError for data of another integer type and OSError when
    libsndfile cannot create the file.
    """
    array = _writable(data)
    rate = _integer(samplerate, "samplerate")
    if rate <= 0:
        raise ValueError(f"samplerate must be positive, got {rate}")
    code = file_format(_target_name(target), major, encoding)
    channels = 1 if array.ndim == 1 else array.shape[1]
    check_target(code, target)
    check_channels(code, channels, array.shape)
    _check_finite(array, code)
    # libsndfile takes C-ordered samples in the machine's byte order.
    array = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))
    layout = {"format": code, "channels": channels, "samplerate": rate}
    wanted = _metadata.given(strings, cue_points=cue_points, instrument=instrument,
                             loop_info=loop_info, broadcast=broadcast, cart=cart,
                             channel_map=channel_map)
    headers = chunk_pairs(chunks) + _loop_chunks(code, wanted)
    if wanted:
        refuse_what_is_not_kept(layout, wanted, headers)
    with _safe.written(target, code) as place:
        with _opened_stream(place, "w", layout) as f:
            set_header(f, wanted, headers)
            written: int = f.write(array)
            warn_clipped(f, target)
        if place is not target:
            confirm(_safe.rewound(place), written, layout)
    return written


def warn_clipped(f: Any, target: Source) -> None:
    """A UserWarning when float samples beyond full scale went to the
    integer encoding of the stream `f`, which writes `target`: libsndfile
    stored them at full scale."""
    if f.clipped:
        warnings.warn(f"{f.clipped} sample(s) beyond full scale (-1.0 to 1.0) were clipped "
                      f"writing to {_path_text(target)!r}", UserWarning, stacklevel=3)


def set_header(f: Any, wanted: _metadata.Given, chunks: "Chunks") -> None:
    """Sets chunks, texts and records on the stream `f`, before its frames."""
    set_chunks(f, chunks)
    _metadata.offer(f, wanted)


def _loop_chunks(code: int, wanted: _metadata.Given) -> List[Tuple[str, bytes]]:
    """The chunk that carries the loop information given, for the formats
    that read it from one (the RIFF family); none for the others, which
    then report it as not kept."""
    loop = wanted.records.get("loop_info")
    family = written_chunk_ids(code)
    if loop is None or family is None or family[0] != "riff":
        return []
    return [_metadata.acid_chunk(loop)]


def refuse_what_is_not_kept(layout: Dict[str, int], wanted: _metadata.Given,
                            chunks: "Chunks") -> None:
    """ValueError naming what of `wanted` a file of `layout` does not keep,
    found by writing it into such a file in memory and reading it back."""
    missing = _metadata.rehearse(layout, wanted, lambda f, w: set_header(f, w, chunks),
                                 lambda memory: info(memory))
    if missing:
        major = _format_names(layout["format"])[0]
        raise ValueError(f"{major} files do not keep: {', '.join(missing)}; leave it out "
                         "or choose a format that keeps it")


def metadata(source: Any) -> Dict[str, Any]:
    """The metadata of a sound file as write() and convert() take it:
    `write(path, data, rate, **metadata(source))`. `source` is a SoundInfo,
    or anything info() takes (opened once); from a source, the chunks that
    libsndfile does not write itself (iXML, axml, ...) come along as
    `chunks` (the acid chunk goes as `loop_info`). Metadata the file lacks
    is left out."""
    if isinstance(source, SoundInfo):
        found, chunks = source, []
    else:
        with _opened_stream(source) as f:
            found = _described(f, _path_text(source))
            skipped = {_metadata.ACID_ID} if found.loop_info is not None else set()
            ids = [id for id in dict.fromkeys(own_chunk_ids(found))
                   if id is not None and id not in skipped]
            chunks = [(id, body) for id in ids for body in f.chunk_data(id)]
    given: Dict[str, Any] = {field: getattr(found, field)
                             for field in ("strings", *_metadata.RECORDS)
                             if getattr(found, field) not in (None, [], {})}
    if chunks:
        given["chunks"] = chunks
    return given


def written_chunk_ids(code: int) -> Optional[Tuple[str, Tuple[str, ...]]]:
    """(family, ids libsndfile writes itself) of a format of `code` that
    libsndfile writes chunks to, else None."""
    return _stream.WRITTEN_CHUNK_IDS.get(code & _ondalis.SF_FORMAT_TYPEMASK)


def own_chunk_ids(found: "SoundInfo") -> List[Optional[str]]:
    """The ids of the chunks of a file that are not libsndfile's own (those
    it writes from the format and metadata), in file order: the chunks
    convert carries, or reports lost. Empty for a format outside the
    families libsndfile writes chunks to, whose chunks it cannot tell apart."""
    family = written_chunk_ids(found.format)
    return [] if family is None else [id for id, _ in found.chunks if id not in family[1]]


# The most channels a FLAC stream holds.
FLAC_MAX_CHANNELS = 8


def check_target(code: int, target: Source) -> None:
    """ValueError for a target that cannot hold a file of `code`: libsndfile
    writes an SD2 file's resource fork beside it by name, and for a target
    without one (memory, a descriptor, a file object) it writes a stray
    '._' into the working folder and a stream that does not read back."""
    if _format_names(code)[0] == "sd2" and not isinstance(target, (str, bytes, os.PathLike)):
        raise ValueError("sd2 files keep their data in a resource fork beside the file, which "
                         "only a path can have: write them to a path")


def check_channels(code: int, channels: int, shape: Optional[Tuple[int, ...]] = None) -> None:
    """ValueError, before anything is created, for more channels than the
    format holds; an array of `shape` that looks transposed gets a hint."""
    major = _format_names(code)[0]
    limit = FLAC_MAX_CHANNELS if major == "flac" else _ondalis.SF_MAX_CHANNELS
    if channels <= limit:
        return
    hint = ""
    if shape is not None and len(shape) == 2 and shape[0] < shape[1]:
        hint = f"; data of shape {shape} looks like (channels, frames): pass data.T"
    raise ValueError(f"{major} files hold at most {limit} channels, got {channels}{hint}")


def _check_finite(array: np.ndarray, code: int) -> None:
    """ValueError for a NaN or infinity bound for an encoding that stores
    integers (a float encoding keeps them): libsndfile would write full
    scale or fail half-way."""
    if not np.issubdtype(array.dtype, np.floating) or \
            _format_names(code)[1] in ("float32", "float64"):
        return
    bad = ~np.isfinite(array)
    count = int(np.count_nonzero(bad))
    if count:
        first = tuple(int(i) for i in np.argwhere(bad)[0])
        index = first[0] if len(first) == 1 else first
        raise ValueError(f"data holds {count} NaN or infinite sample(s), the first at index "
                         f"{index}; the {_format_names(code)[1]} encoding stores integers")


def confirm(path: Source, frames: int, layout: Dict[str, int]) -> None:
    """OSError unless the file written at `path` reads back with `frames`
    frames, its last one included: libsndfile's codecs may flush at close
    and say nothing when that fails (a FLAC on a full disk). A codec that
    stores whole blocks (IMA and MS ADPCM, GSM, G.72x, ...) pads the last
    one, so more frames than written may be found."""
    raw = layout["format"] & _ondalis.SF_FORMAT_TYPEMASK == _ondalis.fileformat_name_to_id["raw"]
    described = layout if raw else None
    with _opened_stream(_safe.rewound(path), "r", described) as f:
        found = f.frames
        known = found != UNKNOWN_LENGTH
        readable = found
        if frames <= found:
            try:
                readable = _readable_frames(f, frames) if known else _frames_from_start(f)
            except SndfileError:  # a seek libsndfile offers and then fails (AIFF DWVW)
                readable = -1
    if readable < 0:
        with _opened_stream(_safe.rewound(path), "r", described) as f:
            readable = _frames_from_start(f)
    if found < frames or readable < frames:
        shown = "an unknown length" if found == UNKNOWN_LENGTH else f"{found}"
        error = SndfileError(f"the file written to {_path_text(path)!r} does not read back: "
                        f"{frames} frames written, {shown} found, {readable} readable "
                        "(is the disk full?)")
        error.filename = _path_text(path)
        raise error


def _readable_frames(f: Any, frames: int) -> int:
    """How many of its `frames` frames the open stream `f` delivers: all when
    the last one reads after a seek, else (a format that libsndfile cannot
    seek in, or not exactly) as many as a read from the start gives."""
    if frames == 0:
        return 0
    if f.seekable:
        if f.seek(frames - 1) == frames - 1 and len(f.read(1)) == 1:
            return frames
        f.seek(0)
    return _frames_from_start(f)


def _frames_from_start(f: Any) -> int:
    """The frames the open stream `f` delivers from where it stands to its
    end, or to where its decoder reports damage."""
    count = 0
    while True:
        try:
            got = len(f.read(65536))
        except SndfileError:  # damaged there: what came before is what reads
            return count
        if not got:
            return count
        count += got


@dataclasses.dataclass
class SoundInfo:
    """What a sound file holds: its format and every piece of metadata.

    `frames` and `duration` are None when the length is unknown (a FLAC from
    a streaming encoder, a pipe); read() then reads to the real end.
    Metadata the file lacks is None (an empty list or dict for the lists and
    `strings`). `strings` maps short names ('title', 'copyright', 'software',
    'artist', 'comment', 'date', 'album', 'license', 'tracknumber', 'genre')
    to text; the records are those `Ondalis.command` returns.
    """
    path: str
    frames: Optional[int]
    samplerate: int
    channels: int
    duration: Optional[float]
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
    chunks: List[Tuple[Optional[str], int]] = dataclasses.field(default_factory=list)

    def __str__(self) -> str:
        """A summary, one fact a line: the name, samplerate, channels,
        duration, format and encoding with libsndfile's descriptions, then
        the metadata the file holds (texts shown escaped)."""
        from . import _layout
        return _layout.summary(self)


# The SoundInfo fields that hold records.
METADATA_FIELDS = _metadata.RECORDS


def _cue_points(fields: List[Any]) -> List[SfCuePoint]:
    return [SfCuePoint(*point) for point in fields]


def _instrument(fields: Any) -> SfInstrument:
    loops = [SfInstrumentLoop(_ondalis.loop_id_to_name[mode], start, end, count)
             for mode, start, end, count in fields[7]]
    return SfInstrument(*[*fields[:7], loops])


def _loop_info(fields: Any) -> SfLoopInfo:
    values = list(fields)
    values[2] = _ondalis.loop_id_to_name[values[2]]
    return SfLoopInfo(*values)


def _cart(fields: Any) -> SfCartInfo:
    values = list(fields)
    values[16] = [SfCartTimer(*timer) for timer in values[16]]
    return SfCartInfo(*values)


def _channel_map(fields: List[int]) -> List[str]:
    return [_metadata.position_name(position) for position in fields]


# SoundInfo field -> the record its fields make.
_RECORD_BUILDERS: Dict[str, Callable[[Any], Any]] = {
    "cue_points": _cue_points,
    "instrument": _instrument,
    "loop_info": _loop_info,
    "broadcast": lambda fields: SfBroadcastInfo(*fields),
    "cart": _cart,
    "channel_map": _channel_map,
}


def _records(found: Dict[str, Any], label: str) -> Dict[str, Any]:
    """The metadata records of a file; one that cannot be made (an id the
    tables lack) is reported with a warning and left out, so that one broken
    chunk does not hide the rest of the file."""
    records: Dict[str, Any] = {}
    for field, build in _RECORD_BUILDERS.items():
        fields = found[field]
        try:
            records[field] = None if fields is None else build(fields)
        except (KeyError, TypeError, ValueError) as error:
            warnings.warn(f"{label}: cannot read the {field.replace('_', ' ')}: "
                          f"{type(error).__name__} {error}", stacklevel=3)
            records[field] = None
    records["cue_points"] = records["cue_points"] or []
    return records


def _path_text(source: Source) -> str:
    if isinstance(source, int):
        return f"<fd {source}>"
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(source))
    return f"<{type(source).__name__}>"


def _format_names(code: int) -> Tuple[str, str]:
    major = code & _ondalis.SF_FORMAT_TYPEMASK
    encoding = code & _ondalis.SF_FORMAT_SUBMASK
    return (_ondalis.fileformat_id_to_name.get(major, f"0x{major:08x}"),
            _ondalis.encoding_id_to_name.get(encoding, f"0x{encoding:04x}"))


def info(source: Source, *, major: Optional[str] = None, encoding: Optional[str] = None,
         samplerate: Optional[int] = None, channels: Optional[int] = None) -> SoundInfo:
    """Describe a sound file: format, length and all of its metadata.

    `source` is any source read() takes. Texts end at their first NUL and
    bytes that are not UTF-8 become U+FFFD, so a chunk written by a careless
    recorder still reads. Returns a SoundInfo. Raises OSError when the file
    cannot be opened.
    """
    with _opened_stream(source, "r", _raw_format(major, encoding, samplerate, channels)) as f:
        return _described(f, _path_text(source))


# What libsndfile reports as the length of a stream whose length is unknown
# (a FLAC from a streaming encoder, a pipe).
UNKNOWN_LENGTH: int = _stream.UNKNOWN_LENGTH


def known_length(f: Any) -> Optional[int]:
    """The frames the open stream `f` announces, or None when unknown."""
    frames: int = f.frames
    return None if frames == UNKNOWN_LENGTH else frames


def _described(f: Any, label: str) -> SoundInfo:
    """The SoundInfo of the open stream `f`, a file that `label` names."""
    names = _metadata.STRING_NAMES
    strings = {names[kind]: value.decode("utf-8", "replace")
               for kind, value in f.strings().items() if kind in names}
    records = _records(f.metadata(), label)
    rate, frames = f.samplerate, known_length(f)
    major_name, encoding_name = _format_names(f.format)
    duration = None if frames is None else frames / rate if rate else 0.0
    return SoundInfo(path=label, frames=frames, samplerate=rate, channels=f.channels,
                     duration=duration, format=f.format,
                     major_format=major_name, encoding=encoding_name, strings=strings,
                     chunks=f.chunks(), **records)


def chunk_data(source: Source, id: Union[str, bytes], *, text: bool = False,
               major: Optional[str] = None, encoding: Optional[str] = None,
               samplerate: Optional[int] = None,
               channels: Optional[int] = None) -> List[Any]:
    """The bodies of every chunk of `id` in a sound file, in file order.

    `source` is any source read() takes; `id` is 4 printable ASCII characters
    ('iXML', b'ID3 '). Returns a list of bytes, empty when the file holds no
    such chunk (a file may hold several: each is in the list). With `text`,
    each body is decoded as UTF-8 (a byte that is not becomes U+FFFD) and its
    trailing NULs (the padding writers add) are dropped: for the chunks that
    hold text, such as iXML and axml; nothing is decoded unless asked.
    Raises ValueError for a bad id or a source that cannot seek, OSError
    when the file cannot be opened or holds less of a chunk than it claims.
    """
    described = _raw_format(major, encoding, samplerate, channels)
    with _opened_stream(source, "r", described) as f:
        bodies: List[bytes] = f.chunk_data(id)
    if text:
        return [body.decode("utf-8", "replace").rstrip("\0") for body in bodies]
    return bodies


Chunks = Union[Iterable[Tuple[Union[str, bytes], Any]], Mapping[Union[str, bytes], Any]]


def chunk_pairs(chunks: Optional[Chunks]) -> List[Tuple[Union[str, bytes], Any]]:
    """The (id, data) pairs of `chunks`: a mapping of id to data, or pairs."""
    if chunks is None:
        return []
    if isinstance(chunks, Mapping):
        return list(chunks.items())
    return list(chunks)


def set_chunks(f: Any, chunks: Chunks) -> None:
    """Sets every (id, data) of `chunks` on the stream `f`, opened for writing
    and holding no frame yet; ValueError for an id given twice (and for what
    the stream refuses: see Stream.set_chunk)."""
    seen = set()
    for id, data in chunk_pairs(chunks):
        key = id.decode("latin-1") if isinstance(id, (bytes, bytearray)) else id
        if key in seen:
            raise ValueError(f"the chunk {key!r} is given twice")
        seen.add(key)
        f.set_chunk(id, data)


@overload
def blocks(source: Source, blocksize: Optional[int] = None, overlap: int = 0,
           frames: int = -1, start: int = 0, stop: Optional[int] = None, *,
           always_2d: bool = False, fill_value: Optional[float] = None,
           major: Optional[str] = None, encoding: Optional[str] = None,
           samplerate: Optional[int] = None, channels: Optional[int] = None,
           on_damage: OnDamage = "raise") -> Iterator[npt.NDArray[np.float64]]: ...
@overload
def blocks(source: Source, blocksize: Optional[int] = None, overlap: int = 0,
           frames: int = -1, start: int = 0, stop: Optional[int] = None,
           dtype: DType = "float64", always_2d: bool = False,
           fill_value: Optional[float] = None, out: Optional[npt.NDArray[Any]] = None, *,
           major: Optional[str] = None, encoding: Optional[str] = None,
           samplerate: Optional[int] = None, channels: Optional[int] = None,
           on_damage: OnDamage = "raise") -> Iterator[npt.NDArray[Any]]: ...
def blocks(source: Source, blocksize: Optional[int] = None, overlap: int = 0,
           frames: int = -1, start: int = 0, stop: Optional[int] = None,
           dtype: DType = "float64", always_2d: bool = False,
           fill_value: Optional[float] = None, out: Optional[npt.NDArray[Any]] = None, *,
           major: Optional[str] = None, encoding: Optional[str] = None,
           samplerate: Optional[int] = None, channels: Optional[int] = None,
           on_damage: OnDamage = "raise") -> Iterator[npt.NDArray[Any]]:
    """Yield the file's frames in blocks of `blocksize` frames, in order.

    Each block after the first starts `overlap` frames before the previous one
    ended; the last block may be shorter, unless `fill_value` pads it (and
    the frames asked for past the end of the file, as read() pads them).
    `start`, `frames` or `stop` choose the part read, as for read(). The file
    is read once and opened at once, so a missing file raises OSError here
    rather than at the first block. Every block is a new array that the caller
    may change, unless `out` is given: then every block is read into that one
    array (its length is the blocksize, its type the dtype) and the filled part
    is yielded. `on_damage` is read()'s. Raises ValueError for a blocksize
    below 1, an overlap outside [0, blocksize) or an unknown dtype.
    """
    truncate = truncates(on_damage)
    typenum = _TYPENUMS[_dtype(dtype)]
    if out is not None:
        size = len(out)
        if blocksize is not None and _integer(blocksize, "blocksize") != size:
            raise ValueError(f"blocksize {blocksize} differs from the length of out ({size})")
        blocksize = size
    if blocksize is None:
        raise TypeError("blocks() needs a blocksize or an out array")
    blocksize = _integer(blocksize, "blocksize")
    overlap = _integer(overlap, "overlap")
    if blocksize <= 0:
        raise ValueError(f"blocksize must be positive, got {blocksize}")
    if not 0 <= overlap < blocksize:
        raise ValueError(f"overlap must lie in [0, blocksize), got {overlap}")
    frames, stop = _span(frames, stop)
    start = _integer(start, "start")
    described = _raw_format(major, encoding, samplerate, channels)
    if fill_value is not None:
        fill_value = float(fill_value)
    _check_access(source, "r")
    iterator: Iterator[np.ndarray] = _stream.blocks(
        source, blocksize, overlap, frames, start, typenum, bool(always_2d), out, fill_value,
        stop=stop, truncate=truncate, **described)
    return iterator
