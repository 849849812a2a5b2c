"""Converting a sound file into another format, metadata and all."""
import dataclasses
import fcntl
import io
import os
import stat
import sys
from collections import Counter
from typing import Any, Dict, List, Optional, TextIO, Tuple, Union

import numpy as np

from . import _api, _metadata, _ondalis, _progress, _safe, _stream
from ._ondalis import SfBroadcastInfo, SfCartInfo, SfCuePoint, SfInstrument, SfLoopInfo
from ._terminal import printable

# Frames per block: large enough that the per-call cost vanishes, small
# enough (1 MiB per stereo block of float64) to stay in cache.
BLOCK_FRAMES = 65536

# Files shorter than this many frames convert without a progress bar.
PROGRESS_MIN_FRAMES = 16 * BLOCK_FRAMES

# The records carried over (SoundInfo field, what it is called), as the
# stream's copy_metadata offers them; loop information, which libsndfile has
# no command to set (it travels in the acid chunk), is reported last.
_CARRIED = tuple(sorted(_metadata.RECORD_NAMES.items(), key=lambda item: item[0] == "loop_info"))


# Integer encodings: converting them through int32 keeps every sample exact,
# whatever scaling the libsndfile in use applies between floats and integers.
_INTEGER_ENCODINGS = ("pcms8", "pcmu8", "pcm16", "pcm24", "pcm32")


class Progress:
    """The progress bar of one conversion: a line on `stream` that fills the
    terminal's width (_progress.StatusLine), redrawn when the shown
    percentage changes; silent when there is no stream, the stream is not a
    terminal or the job is short."""

    def __init__(self, total: int, label: str, stream: Optional[TextIO]):
        self.total, self.label = total, label
        self.shown = -1
        self.line = _progress.StatusLine(stream if total >= PROGRESS_MIN_FRAMES else None)

    def update(self, done: int) -> None:
        percent = 100 * done // self.total if self.total else 100
        if percent != self.shown:
            self.shown = percent
            self.line.show(self.label, percent)

    def finish(self) -> None:
        self.line.end()


def _lost(found: _api.SoundInfo, written: _api.SoundInfo) -> List[str]:
    """What the source holds and the written file does not."""
    lost = [name for name in found.strings if name not in written.strings]
    lost += [what for field, what in _CARRIED
             if getattr(found, field) and not getattr(written, field)]
    return lost + _lost_chunks(found, written)


# Chunks whose bodies do not depend on the container's byte order (texts,
# ID3 tags): carried between the RIFF family (WAV, WAVEX, RF64) and AIFF as
# well as within one. Any other chunk goes only to a file of its own family.
_PORTABLE_CHUNKS = ("iXML", "axml", "ID3 ", "id3 ")


def _lost_chunks(found: _api.SoundInfo, written: _api.SoundInfo) -> List[str]:
    """A "chunk 'id'" for each of the source's own chunks that the target's
    chunk list lacks (counted: two iXML chunks need two)."""
    kept = Counter(id for id, _ in written.chunks)
    lost = []
    for id in _api.own_chunk_ids(found):
        if id is not None and kept[id] > 0:
            kept[id] -= 1
        else:
            lost.append(f"chunk {id!r}" if id is not None else "an empty chunk without a name")
    return lost


def _with_given(found: _api.SoundInfo, wanted: _metadata.Given) -> _api.SoundInfo:
    """The source's description with the metadata given in place of its
    own: what the target is expected to keep."""
    strings = {**found.strings,
               **{_metadata.STRING_NAMES[kind]: text for kind, text in wanted.strings.items()}}
    replaced = _replaced_chunks(wanted)
    chunks = [chunk for chunk in found.chunks if chunk[0] not in replaced]
    return dataclasses.replace(found, strings=strings, chunks=chunks, **wanted.records)


def _replaced_chunks(wanted: _metadata.Given) -> Tuple[str, ...]:
    """The source's chunks that given metadata replaces: its acid chunk
    when loop information is given."""
    return (_metadata.ACID_ID,) if "loop_info" in wanted.records else ()


def _copy_chunks(reader: Any, writer: Any, found: _api.SoundInfo, code: int,
                 replaced: Tuple[str, ...] = ()) -> None:
    """Offers the target (of format `code`) every chunk of the source it can
    take: libsndfile writes the chunks that carry format and metadata itself
    (_stream.WRITTEN_CHUNK_IDS: copy_metadata gave it their contents), so
    only the others are set, and those of another family only when portable.
    What the target refuses, or the source does not hold whole, is left out
    and shows in `lost`, which lists the target's chunks."""
    target = _api.written_chunk_ids(code)
    source = _api.written_chunk_ids(found.format)
    if target is None or source is None:
        return
    same_family = target[0] == source[0]
    for id in dict.fromkeys(_api.own_chunk_ids(found)):
        if id is None or id in target[1] or id in replaced or \
                not (same_family or id in _PORTABLE_CHUNKS):
            continue
        try:
            for body in reader.chunk_data(id):
                writer.set_chunk(id, body)
        except (OSError, ValueError):
            continue


# The encodings that store samples exactly, narrowest first: the choices
# for a target that cannot take the source's own encoding.
_EXACT = ("pcms8", "pcmu8", "pcm16", "pcm24", "pcm32", "float32", "float64")
_INTEGER_BITS = {"pcms8": 8, "pcmu8": 8, "pcm16": 16, "pcm24": 24, "pcm32": 32}
# What a source encoding carries: bits of integer precision, or a float type.
# Companded, ADPCM and lossy encodings decode to 16 bits' worth.
_DEPTH: Dict[str, Union[int, str]] = {
    **_INTEGER_BITS, "dpcm8": 8, "dww12": 12, "dww16": 16, "dww24": 24, "alac16": 16,
    "alac20": 20, "alac24": 24, "alac32": 32, "nms_adpcm_24": 24, "nms_adpcm_32": 32,
    "float32": "float32", "float64": "float64"}
_LOSSY = ("vorbis", "opus", "mp3", "mpeg1", "mpeg2")


def _holds(encoding: str, depth: Union[int, str]) -> bool:
    """Whether `encoding` stores every sample of a source of `depth` exactly."""
    if isinstance(depth, str):
        return encoding in ("float64", depth)
    if encoding in _INTEGER_BITS:
        return _INTEGER_BITS[encoding] >= depth
    return (encoding == "float32" and depth <= 24) or (encoding == "float64" and depth <= 32)


def _chosen_encoding(found: _api.SoundInfo, major: str, encodings: List[str]) -> Optional[str]:
    """The encoding for a target of `major` when none is given: the source's
    own where the target takes it (a lossy one only into its own format),
    else the narrowest exact encoding that holds the source's samples, else
    the widest exact one the target has; None for the format's default."""
    source = found.encoding
    if source in encodings and (source not in _LOSSY or major == found.major_format):
        return source
    depth = _DEPTH.get(source, 16)
    exact = [name for name in _EXACT if name in encodings]
    holding = [name for name in exact if _holds(name, depth)]
    return holding[0] if holding else exact[-1] if exact else None


class Converted(tuple):  # type: ignore[type-arg]
    """(frames, lost) of a conversion, as a tuple; `narrowed` is (source
    encoding, target encoding) when the target stores samples with less
    precision than the source holds, else None."""

    frames: int
    lost: List[str]
    narrowed: Optional[Tuple[str, str]]

    def __new__(cls, frames: int, lost: List[str],
                narrowed: Optional[Tuple[str, str]]) -> "Converted":
        made = super().__new__(cls, (frames, lost))
        made.frames, made.lost, made.narrowed = frames, lost, narrowed
        return made


def _target_format(found: _api.SoundInfo, target: Any, major: Optional[str],
                   encoding: Optional[str]) -> Tuple[int, Optional[Tuple[str, str]]]:
    """The target's format code, and the narrowing it makes (see Converted)."""
    name = _api._target_name(target)
    major = _api.major_name(major) if major is not None else _api.major_for_path(name)
    if encoding is None and major in _ondalis.fileformat_name_to_id:
        encoding = _chosen_encoding(found, major, _ondalis.get_sndfile_encodings(major))
    code = _api.file_format(name, major, encoding)
    chosen = _api._format_names(code)[1]
    lossless_source = found.encoding not in _LOSSY
    narrows = lossless_source and chosen != found.encoding and \
        not _holds(chosen, _DEPTH.get(found.encoding, 16))
    return code, (found.encoding, chosen) if narrows else None


def _copy_frames(source: Any, target: Any, progress: Progress) -> int:
    """Every frame of `source` into `target`, through one block array; to
    the end of the stream, whatever length its header announced."""
    encoding = _api._format_names(source.format)[1]
    kind = np.int32 if encoding in _INTEGER_ENCODINGS else np.float64
    block = np.empty((BLOCK_FRAMES, source.channels), dtype=kind)
    typenum = block.dtype.num
    done = 0
    while True:
        frames = source.read(BLOCK_FRAMES, typenum, True, block)
        if not len(frames):
            break
        target.write(frames)
        done += len(frames)
        progress.update(done)
    progress.finish()
    return done


def _is_path(target: Any) -> bool:
    return isinstance(target, (str, bytes, os.PathLike))


def _seekable_and_readable(target: Any) -> bool:
    try:
        return bool(target.seekable() and target.readable())
    except (AttributeError, OSError, ValueError):
        return False


def _start_of(target: Any) -> Optional[int]:
    """Where a target that can be read back once written starts: 0 for a
    path to a regular file (or to none yet), the position of an io.BytesIO,
    of a readable and seekable file object or of a descriptor open for
    reading and writing on a regular file. None for the others (a pipe, a
    device, a write-only file): they are converted in memory, read back there
    and then handed over."""
    if _is_path(target):
        return 0 if not os.path.exists(target) or os.path.isfile(target) else None
    if isinstance(target, int):
        regular = stat.S_ISREG(os.fstat(target).st_mode)
        readable = fcntl.fcntl(target, fcntl.F_GETFL) & os.O_ACCMODE == os.O_RDWR
        return os.lseek(target, 0, os.SEEK_CUR) if regular and readable else None
    if isinstance(target, io.BytesIO) or _seekable_and_readable(target):
        position: int = target.tell()
        return position
    return None


def _read_back(target: Any, start: int, described: Dict[str, Any]) -> _api.SoundInfo:
    """The finished target, read from `start`; the position of a file object
    or descriptor is left at the end of what was written."""
    if _is_path(target):
        return _api.info(target, **described)
    view = open(target, "rb", closefd=False) if isinstance(target, int) else target
    end = view.tell()
    view.seek(start)
    try:
        return _api.info(view, **described)
    finally:
        view.seek(end)
        if view is not target:
            view.close()


def _hand_over(data: bytes, target: Any) -> None:
    """A file converted in memory, written to its target."""
    if _is_path(target):
        with open(target, "wb") as out:
            out.write(data)
        return
    view = memoryview(data)
    while view:
        took = os.write(target, view) if isinstance(target, int) else target.write(view)
        if took is None:
            break
        view = view[took:]


def _headerless(code: int, channels: int, rate: int) -> Dict[str, Any]:
    """What reading a written file back needs: nothing when it has a header,
    its format, channels and rate when it is RAW."""
    if code & _ondalis.SF_FORMAT_TYPEMASK != _ondalis.fileformat_name_to_id["raw"]:
        return {}
    major, encoding = _api._format_names(code)
    return {"major": major, "encoding": encoding, "channels": channels, "samplerate": rate}


def _identity(end: Any) -> Optional[Tuple[int, int]]:
    """(device, inode) of the file a source or target is, however given (a
    path, a descriptor, a file object with a descriptor), or None."""
    try:
        if _is_path(end):
            found = os.stat(end)
        elif isinstance(end, int):
            found = os.fstat(end)
        else:
            found = os.fstat(end.fileno())
    except (AttributeError, OSError, ValueError, TypeError):
        return None  # a target that does not exist yet, memory, a file object without one
    return found.st_dev, found.st_ino


def _refuse_the_same_file(source: Any, target: Any) -> None:
    """ValueError, before anything is written, when source and target are
    one file (compared by device and inode, not by name)."""
    found = _identity(source)
    if found is not None and found == _identity(target):
        raise ValueError(f"{_api._path_text(source)} and {_api._path_text(target)} "
                         "are the same file")


def convert(source: Any, target: Any, major: Optional[str] = None,
            encoding: Optional[str] = None,
            progress: Union[bool, TextIO] = False, *,
            strings: Optional[Dict[str, str]] = None,
            cue_points: Optional[List[SfCuePoint]] = None,
            instrument: Optional[SfInstrument] = None,
            loop_info: Optional[SfLoopInfo] = None,
            broadcast: Optional[SfBroadcastInfo] = None,
            cart: Optional[SfCartInfo] = None,
            channel_map: Optional[List[str]] = None,
            on_damage: _api.OnDamage = "raise") -> Converted:
    """Stream a sound file into a new file of another format, with its metadata.

    `source` is anything read() takes, `target` anything write() takes. The
    major format comes from the target's name (its extension) unless given;
    the encoding is the source's when the target format takes it, else the
    format's default (see write). Strings, cue points, instrument, broadcast
    extension, cart chunk and channel map are carried over, byte for byte,
    where the target format keeps them, and so are the other chunks (iXML,
    axml, ID3, unknown ones) into a WAV, WAVEX, RF64 or AIFF target (between
    the RIFF formats and AIFF only those that hold text or ID3 tags), as
    write() takes them. `strings`, `cue_points`, `instrument`, `loop_info`,
    `broadcast`, `cart` and `channel_map`, given as write() takes them,
    replace the source's (the texts one by one). `progress`: False (the
    default) for no progress bar, True for one on stderr when it is a
    terminal and the file is long, or a stream to draw it on (again only
    when that stream is a terminal). A damaged source raises OSError, and
    the target is left as it was, unless on_damage="truncate" converts the
    frames decoded before the damage (with a warning), as read() does.

    With no encoding given, the source's is kept where the target takes it
    (a lossy one only into its own format), else the narrowest exact
    encoding that holds the source's samples (pcm24 for a 24-bit source into
    FLAC, pcm16 from MP3 into WAV), else the widest one the target has (pcm24
    for a float source into FLAC: a narrowing, which is reported).

    Returns a Converted: (frames converted, names of the metadata the target
    did not keep, and "chunk 'id'" for each chunk it did not keep), its `narrowed` naming the two encodings when the target
    holds less precision than the source. What was kept is judged by reading
    the finished file back; a target that cannot be
    read back (a pipe, a device) is converted in memory, read back there and
    then written to it. A target that is a regular file (or none yet) is
    written beside it and replaces it only once finished and read back; a
    failure leaves what was there untouched. Raises ValueError for a bad format
    choice or for source and target being the same file, OSError when a file
    cannot be opened or written.
    """
    stream = sys.stderr if progress is True else progress or None
    truncate = _api.truncates(on_damage)
    wanted = _metadata.given(strings, cue_points=cue_points, instrument=instrument,
                             loop_info=loop_info, broadcast=broadcast, cart=cart,
                             channel_map=channel_map)
    _refuse_the_same_file(source, target)
    label = f"converting {printable(os.path.basename(_api._path_text(source)))}"
    with _api._opened_stream(source) as reader:
        reader.truncate_damage = truncate
        found = _with_given(_api._described(reader, _api._path_text(source)), wanted)
        code, narrowed = _target_format(found, target, major, encoding)
        _api.check_target(code, target)
        _api.check_channels(code, reader.channels)
        layout = {"format": code, "channels": reader.channels, "samplerate": reader.samplerate}
        described = _headerless(code, found.channels, found.samplerate)
        total = _api.known_length(reader) or 0
        start = _start_of(target)
        memory = io.BytesIO() if start is None else None
        with _safe.written(target if memory is None else memory, code) as place:
            with _api._opened_stream(place, "w", layout) as writer:
                writer.copy_metadata(reader)
                _copy_chunks(reader, writer, found, code, _replaced_chunks(wanted))
                _api.set_header(writer, wanted, _api._loop_chunks(code, wanted))
                frames = _copy_frames(reader, writer, Progress(total, label, stream))
                _api.warn_clipped(writer, target)
            if place is not target and memory is None:
                _api.confirm(_safe.rewound(place), frames, layout)
            written = _read_back(place, start or 0, described)
    if memory is not None:
        _hand_over(memory.getvalue(), target)
    return Converted(frames, _lost(found, written), narrowed)
