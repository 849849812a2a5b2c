"""The text layout of a sound file's description, shared by `ondalis info`
and str(SoundInfo): each fact on a line of its own, records one field a
line, every text from the file printable (nothing it holds can act on a
terminal or forge a line)."""
import dataclasses
from typing import Any, Iterator, List, Optional

from . import _api, _ondalis, _stream
from ._terminal import printable, quoted


def _inline(value: Any) -> str:
    """A record in a list on one line: field=value pairs, texts quoted."""
    if dataclasses.is_dataclass(value):
        return " ".join(f"{field.name}={_inline(getattr(value, field.name))}"
                        for field in dataclasses.fields(value))
    if isinstance(value, list):
        return f"[{', '.join(_inline(item) for item in value)}]"
    return quoted(value) if isinstance(value, str) else printable(str(value))


def text_lines(text: str) -> List[str]:
    """A text's lines, split at its line feeds (CR LF counts as one break);
    a lone carriage return stays in its line, to be shown escaped."""
    return text.replace("\r\n", "\n").split("\n")


def _lines(name: str, value: Any, indent: str) -> Iterator[str]:
    """The text form of one value: a record one field a line, a list of records
    one record a line, a text of several lines indented below its name. Each
    line of a text is printable, so the layout's line breaks are the only ones."""
    if isinstance(value, str):
        # Chunks end their texts with line breaks and a pad byte; neither shows.
        value = value.replace("\0", "").rstrip()
    label = f"{indent}{printable(name)}:"
    if dataclasses.is_dataclass(value):
        yield label
        for field in dataclasses.fields(value):
            yield from _lines(field.name, getattr(value, field.name), indent + "  ")
    elif isinstance(value, list) and value and dataclasses.is_dataclass(value[0]):
        yield label
        yield from (f"{indent}  [{i}] {_inline(item)}" for i, item in enumerate(value))
    elif isinstance(value, dict):
        yield label
        for key, item in value.items():
            yield from _lines(key, item, indent + "  ")
    elif isinstance(value, str) and len(text_lines(value)) > 1:
        yield label
        yield from (f"{indent}    {printable(line)}" for line in text_lines(value))
    elif isinstance(value, bytes):
        yield f"{label} {value.hex()}"
    elif isinstance(value, list):
        yield f"{label} {', '.join(printable(str(item)) for item in value) if value else '[]'}"
    else:
        yield f"{label} {printable(str(value))}"


def metadata_lines(found: "_api.SoundInfo", indent: str) -> Iterator[str]:
    """The lines of every piece of metadata `found` holds, then its chunks."""
    for name in ("strings", *_api.METADATA_FIELDS):
        value = getattr(found, name)
        if value not in (None, [], {}):
            yield from _lines(name.replace("_", " "), value, indent)
    if found.chunks:
        yield f"{indent}chunks:"
        yield from (f"{indent}  {chunk_name(id)} {size} bytes" for id, size in found.chunks)


def chunk_name(id: Optional[str]) -> str:
    """A chunk id as `ondalis info` shows it: quoted (its trailing spaces
    show), escaped; an empty chunk libsndfile cannot name as such."""
    return quoted(id) if id is not None else "(unnamed)"


def duration_text(found: "_api.SoundInfo") -> str:
    """The length of a file in seconds (as h:mm:ss.sss from a minute on)
    and frames."""
    if found.duration is None:
        return "unknown"
    seconds = found.duration
    if seconds < 60:
        shown = f"{seconds:.3f} s"
    else:
        minutes, rest = divmod(seconds, 60)
        hours, minutes = divmod(int(minutes), 60)
        shown = f"{hours}:{minutes:02d}:{rest:06.3f}"
    return f"{shown} ({found.frames} frames)"


def _described_code(code: int, name: str) -> str:
    """libsndfile's description of a major format or encoding code, and our name."""
    description = _stream.format_description(code)
    return f"{description} [{name}]" if description else f"[{name}]"


def summary(found: "_api.SoundInfo") -> str:
    """What str(SoundInfo) shows: the file's name, then one fact a line
    (rate, channels, duration, format and encoding with libsndfile's
    descriptions), then the metadata the file holds."""
    major = found.format & _ondalis.SF_FORMAT_TYPEMASK
    encoding = found.format & _ondalis.SF_FORMAT_SUBMASK
    lines = [printable(found.path),
             f"samplerate: {found.samplerate} Hz",
             f"channels: {found.channels}",
             f"duration: {duration_text(found)}",
             f"format: {_described_code(major, found.major_format)}",
             f"encoding: {_described_code(encoding, found.encoding)}"]
    lines.extend(metadata_lines(found, ""))
    return "\n".join(lines)
