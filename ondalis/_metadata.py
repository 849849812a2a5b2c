"""Metadata given to write() and convert(): checked, offered to a stream being
written, and compared with what a file of that format keeps.

The shapes are those info() returns: `strings` a dict of texts by short name
('title', 'artist', ...), the records of the extension module (or dicts of
their fields, as JSON gives them back: a umid then in hex digits),
`channel_map` a list of position names. Before anything is created, the
metadata is written into a file of the same format in memory and read
back: what does not come back as given is what the format does not keep,
and write() refuses it by name rather than drop it.
"""
import dataclasses
import io
import re
import struct
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Tuple, Type, TypeVar

import numpy as np

from . import _ondalis, _stream
from ._ondalis import (SfBroadcastInfo, SfCartInfo, SfCartTimer, SfCuePoint, SfInstrument,
                       SfInstrumentLoop, SfLoopInfo)

# String type id -> short name ('title' for SF_STR_TITLE), and back.
STRING_NAMES = {kind: name[len("SF_STR_"):].lower()
                for kind, name in _ondalis.stringtype_id_to_name.items()}
STRING_IDS = {name: kind for kind, name in STRING_NAMES.items()}

# The records, by the keyword that gives them (as SoundInfo names them, in
# its order), and how each is called in messages.
RECORD_NAMES = {"cue_points": "cue points", "instrument": "instrument",
                "loop_info": "loop information", "broadcast": "broadcast extension",
                "cart": "cart chunk", "channel_map": "channel map"}
RECORDS = tuple(RECORD_NAMES)


def _choices(names: Iterable[str]) -> str:
    return ", ".join(names)


def _named(value: Any, table: Mapping[str, int], prefix: str, what: str) -> str:
    """A name of `table` ('SF_LOOP_FORWARD'), given as it is or without its
    prefix in any case ('forward')."""
    if isinstance(value, str):
        for candidate in (value, prefix + value.upper()):
            if candidate in table:
                return candidate
    raise ValueError(f"unknown {what} {value!r}; choose from "
                     f"{_choices(name[len(prefix):].lower() for name in table)}")


def string_id(name: Any) -> int:
    """The string type id of a short name ('title'), in any case, or of
    libsndfile's name ('SF_STR_TITLE')."""
    if isinstance(name, str):
        short = name.lower()
        short = short[len("sf_str_"):] if short.startswith("sf_str_") else short
        if short in STRING_IDS:
            return STRING_IDS[short]
    raise ValueError(f"unknown string {name!r}; choose from {_choices(STRING_IDS)}")


Record = TypeVar("Record")


def _record(kind: Type[Record], value: Any, what: str) -> Record:
    """`value` as a record of class `kind`: the record itself or a mapping
    of its fields."""
    if isinstance(value, kind):
        return value
    if isinstance(value, Mapping):
        try:
            return kind(**value)
        except TypeError as error:
            raise ValueError(f"{what}: {error}") from None
    raise TypeError(f"{what} must be a {kind.__name__} or a dict of its fields, "
                    f"not {type(value).__name__}")


def _listed(value: Any, what: str) -> List[Any]:
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Iterable):
        raise TypeError(f"{what} must be a list, not {type(value).__name__}")
    return list(value)


def _cue_points(value: Any) -> List[SfCuePoint]:
    return [_record(SfCuePoint, point, f"cue point {i}")
            for i, point in enumerate(_listed(value, "cue_points"))]


def _instrument(value: Any) -> SfInstrument:
    found = _record(SfInstrument, value, "instrument")
    loops = [_record(SfInstrumentLoop, loop, f"instrument loop {i}")
             for i, loop in enumerate(_listed(found.loops, "instrument loops"))]
    loops = [dataclasses.replace(loop, mode=_named(loop.mode, _ondalis.loop_name_to_id,
                                                   "SF_LOOP_", "loop mode")) for loop in loops]
    return dataclasses.replace(found, loops=loops)


def _loop_info(value: Any) -> SfLoopInfo:
    found = _record(SfLoopInfo, value, "loop_info")
    return dataclasses.replace(found, loop_mode=_named(found.loop_mode, _ondalis.loop_name_to_id,
                                                       "SF_LOOP_", "loop mode"))


def _cart(value: Any) -> SfCartInfo:
    found = _record(SfCartInfo, value, "cart")
    timers = [_record(SfCartTimer, timer, f"cart timer {i}")
              for i, timer in enumerate(_listed(found.post_timers, "cart post_timers"))]
    return dataclasses.replace(found, post_timers=timers)


# A channel position libsndfile has no name for, as read from a file (and
# written back as the same value).
_UNKNOWN_POSITION = re.compile(r"unknown\(([0-9]+)\)")


def position_name(position: int) -> str:
    """The name of a channel position id, "unknown(N)" for one libsndfile does not name."""
    return _ondalis.channel_map_id_to_name.get(position, f"unknown({position})")


def position_id(name: str) -> int:
    """The id of a channel position name that _channel_map accepted."""
    unknown = _UNKNOWN_POSITION.fullmatch(name)
    return int(unknown.group(1)) if unknown else _ondalis.channel_map_name_to_id[name]


def _position(value: Any) -> str:
    unknown = _UNKNOWN_POSITION.fullmatch(value) if isinstance(value, str) else None
    if unknown and int(unknown.group(1)) < 2**31:
        return str(value)
    return _named(value, _ondalis.channel_map_name_to_id, "SF_CHANNEL_MAP_", "channel position")


def _channel_map(value: Any) -> List[str]:
    return [_position(position) for position in _listed(value, "channel_map")]


def _broadcast(value: Any) -> SfBroadcastInfo:
    found = _record(SfBroadcastInfo, value, "broadcast")
    if isinstance(found.umid, str):  # as --json shows it, in hex
        try:
            return dataclasses.replace(found, umid=bytes.fromhex(found.umid))
        except ValueError:
            raise ValueError("broadcast umid: bytes, or their hex digits, are required") from None
    return found


_CHECKS: Dict[str, Callable[[Any], Any]] = {
    "cue_points": _cue_points,
    "instrument": _instrument,
    "loop_info": _loop_info,
    "broadcast": _broadcast,
    "cart": _cart,
    "channel_map": _channel_map,
}


@dataclasses.dataclass
class Given:
    """Metadata to write: texts by string type id, records by keyword."""
    strings: Dict[int, str]
    records: Dict[str, Any]

    def __bool__(self) -> bool:
        return bool(self.strings or self.records)


def given(strings: Optional[Mapping[str, str]] = None, **records: Any) -> Given:
    """The metadata of write()'s keywords, checked (ValueError or TypeError
    naming what is wrong); None and empty values give nothing."""
    texts: Dict[int, str] = {}
    for name, text in (strings or {}).items():
        if not isinstance(text, str):
            raise TypeError(f"string {name!r} must be a str, not {type(text).__name__}")
        if "\0" in text:
            raise ValueError(f"string {name!r} holds a NUL character")
        if text:
            texts[string_id(name)] = text
    checked = {field: _CHECKS[field](value) for field, value in records.items()
               if value is not None and value != []}
    return Given(texts, checked)


def _fields(field: str, record: Any) -> Any:
    """A record as the tuple of fields Stream.set_record takes."""
    if field == "cue_points":
        return [dataclasses.astuple(point) for point in record]
    if field == "channel_map":
        return [position_id(position) for position in record]
    values = [getattr(record, f.name) for f in dataclasses.fields(record)]
    if field == "instrument":
        values[7] = [(_ondalis.loop_name_to_id[loop.mode], loop.start, loop.end, loop.count)
                     for loop in record.loops]
    elif field == "cart":
        values[16] = [(timer.usage, timer.value) for timer in record.post_timers]
    return tuple(values)


# The chunk that holds loop information in the RIFF formats, and its layout:
# flags (1: one-shot, 2: root note set), root note, two fields of unknown
# use (0x8000 and 0.0 as recorders write them), beats, meter denominator and
# numerator, tempo.
ACID_ID = "acid"
_ACID = struct.Struct("<IHHfIHHf")


def acid_chunk(loop: SfLoopInfo) -> Tuple[str, bytes]:
    """The acid chunk of `loop`: libsndfile has no command that sets loop
    information, and reads it from this chunk. It holds a one-shot or a
    forward loop; another mode does not come back, and is reported."""
    flags = (0x01 if loop.loop_mode == "SF_LOOP_NONE" else 0) | (0x02 if loop.root_key >= 0 else 0)
    try:
        body = _ACID.pack(flags, max(loop.root_key, 0), 0x8000, 0.0, loop.num_beats,
                          loop.time_sig_den, loop.time_sig_num, loop.bpm)
    except struct.error as error:
        raise ValueError(f"loop_info does not fit its chunk: {error}") from None
    return ACID_ID, body


def offer(f: Any, wanted: Given) -> None:
    """Offers the stream `f` (being written, no frame yet) every text and
    record of `wanted` (loop information aside: see acid_chunk)."""
    for kind, text in wanted.strings.items():
        f.set_string(kind, text)
    for field, record in wanted.records.items():
        if field != "loop_info":
            f.set_record(field, _fields(field, record))


def _float32(value: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", value))[0])


def _field_kept(field: str, name: str, wanted: Any, found: Any) -> bool:
    """Whether a field of a record read back is the one given: libsndfile
    adds its own line to a coding history and a line break to a cart's tag
    text, writes every broadcast extension as its version 2, and keeps a
    tempo as a 32-bit float."""
    if (field, name) == ("broadcast", "version"):
        return True
    if (field, name) in (("broadcast", "coding_history"), ("cart", "tag_text")):
        return bool(found.startswith(wanted))
    if (field, name) == ("loop_info", "bpm"):
        return bool(found == _float32(wanted))
    return bool(found == wanted)


def _lost_fields(field: str, wanted: Any, found: Any) -> List[str]:
    """The names of the fields of a record that did not come back as given."""
    return [f.name for f in dataclasses.fields(wanted)
            if not _field_kept(field, f.name, getattr(wanted, f.name), getattr(found, f.name))]


def _record_differences(field: str, wanted: Any, found: Any) -> List[str]:
    """What of a record did not come back: nothing, the record, or its
    fields by name when the record itself did ("instrument gain", "cue
    point names")."""
    label = RECORD_NAMES[field]
    if found is None or found == []:
        return [label]
    if field == "channel_map":
        return [] if found == wanted else [label]
    if field == "cue_points":
        if len(found) != len(wanted):
            return [label]
        lost = {name for w, f in zip(wanted, found) for name in _lost_fields(field, w, f)}
        return [] if not lost else ["cue point names"] if lost == {"name"} else [label]
    return [f"{label} {name}" for name in _lost_fields(field, wanted, found)]


def _string_kept(name: str, text: str, found: Dict[str, str]) -> bool:
    """Whether a text read back is the one given: libsndfile adds its own
    name and version to a software text that does not name it."""
    back = found.get(name)
    if name == "software" and back is not None:
        return back.startswith(text)
    return back == text


def not_kept(wanted: Given, found: Any) -> List[str]:
    """What of `wanted` the SoundInfo `found` of the written file lacks."""
    missing = [f"string {STRING_NAMES[kind]!r}" for kind, text in wanted.strings.items()
               if not _string_kept(STRING_NAMES[kind], text, found.strings)]
    for field, record in wanted.records.items():
        missing += _record_differences(field, record, getattr(found, field))
    return missing


def rehearse(layout: Dict[str, int], wanted: Given, write: Callable[[Any, Given], None],
             describe: Callable[[Any], Any]) -> List[str]:
    """What a file of `layout` does not keep of `wanted`: `write(stream,
    wanted)` sets it on a stream in memory, which `describe` reads back."""
    memory = io.BytesIO()
    with _stream.Stream(memory, "w", **layout) as f:
        write(f, wanted)
        # A FLAC or Ogg stream without a frame holds no header to read back.
        f.write(np.zeros((1, layout["channels"])))
    memory.seek(0)
    return not_kept(wanted, describe(memory))
