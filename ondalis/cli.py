"""The ondalis command line: describe files, list formats, convert files.

    ondalis info FILE... [--json]
    ondalis chunk FILE ID [--text] [--index N]
    ondalis formats [--json]
    ondalis convert IN OUT [--major M] [--encoding E] [--quiet]

Texts from files and file names are printed through _terminal.printable, so
that nothing a file holds can act on the terminal; --json prints ASCII only.
"""
import argparse
import dataclasses
import json
import os
import sys
import warnings
from typing import Any, Iterator, List, Optional, Sequence, TextIO, Union

from . import _api, _convert, _ondalis
from ._terminal import printable, quoted


def _plain(value: Any) -> Any:
    """A JSON-ready form of records, bytes and lists."""
    if dataclasses.is_dataclass(value):
        return {field.name: _plain(getattr(value, field.name))
                for field in dataclasses.fields(value)}
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    return value


def _inline(value: Any) -> str:
    """A record in a list on one line: field=value pairs, texts quoted."""
    if dataclasses.is_dataclass(value):
        return " ".join(f"{field.name}={_inline(getattr(value, field.name))}"
                        for field in dataclasses.fields(value))
    if isinstance(value, list):
        return f"[{', '.join(_inline(item) for item in value)}]"
    return quoted(value) if isinstance(value, str) else printable(str(value))


def _text_lines(text: str) -> List[str]:
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
    elif isinstance(value, str) and len(_text_lines(value)) > 1:
        yield label
        yield from (f"{indent}    {printable(line)}" for line in _text_lines(value))
    elif isinstance(value, bytes):
        yield f"{label} {value.hex()}"
    elif isinstance(value, list):
        yield f"{label} {', '.join(printable(str(item)) for item in value) if value else '[]'}"
    else:
        yield f"{label} {printable(str(value))}"


def describe(found: _api.SoundInfo) -> str:
    """The text `ondalis info` prints for one file: the format first, then each
    piece of metadata the file holds."""
    lines = [printable(found.path),
             f"  format: {found.major_format}, {found.encoding} (0x{found.format:08x})",
             f"  channels: {found.channels}",
             f"  samplerate: {found.samplerate} Hz",
             "  frames: unknown" if found.duration is None else
             f"  frames: {found.frames} ({found.duration:.3f} s)"]
    for name in ("strings", *_api.METADATA_FIELDS):
        value = getattr(found, name)
        if value not in (None, [], {}):
            lines.extend(_lines(name.replace("_", " "), value, "  "))
    if found.chunks:
        lines.append("  chunks:")
        lines.extend(f"    {_chunk_name(id)} {size} bytes" for id, size in found.chunks)
    return "\n".join(lines)


def _chunk_name(id: Optional[str]) -> str:
    """A chunk id as `ondalis info` shows it: quoted (its trailing spaces
    show), escaped; an empty chunk libsndfile cannot name as such."""
    return quoted(id) if id is not None else "(unnamed)"


def _complain(message: Any, stream: Optional[TextIO] = None) -> None:
    """Print an error or a warning on stderr (or `stream`), printable. A line
    feed and tab is the one line break kept, as the extension module lays out
    its open errors: the next line is indented, so even a name that holds one
    cannot start a line that passes for a message of ours."""
    first, *rest = str(message).split("\n\t")
    print("\n\t".join([f"ondalis: {printable(first)}", *map(printable, rest)]),
          file=stream or sys.stderr)


def _show_warning(message: Any, category: Any, filename: Any, lineno: Any,
                  file: Optional[TextIO] = None, line: Any = None) -> None:
    """warnings.showwarning for the command line: the library's warnings
    quote file names and texts from files, so they are printed like errors."""
    _complain(f"warning: {message}", file)


def _print_json(value: Any) -> None:
    # ASCII only: every control character, C1 included, and every lone
    # surrogate (a file name that is not UTF-8) is written as a \u escape.
    print(json.dumps(value, indent=2, ensure_ascii=True))


def _system_name(arg: str) -> Union[str, bytes]:
    """A file name from the command line as the library takes it. Python gives
    argv bytes that are not UTF-8 as lone surrogates, which the extension
    module's UTF-8 encoding refuses; such a name goes in as its bytes."""
    try:
        arg.encode("utf-8")
        return arg
    except UnicodeEncodeError:
        return os.fsencode(arg)


def cmd_info(args: argparse.Namespace) -> int:
    found, failed = [], 0
    for path in args.files:
        try:
            found.append(_api.info(_system_name(path)))
        except OSError as error:
            _complain(_error_text(error))
            failed = 1
    if args.json:
        _print_json([_plain(item) for item in found])
    elif found:
        print("\n\n".join(describe(item) for item in found))
    return failed


def cmd_chunk(args: argparse.Namespace) -> int:
    bodies = _api.chunk_data(_system_name(args.file), args.id, text=args.text)
    if not 0 <= args.index < len(bodies):
        held = f"{len(bodies)} {args.id!r} chunk(s)" if bodies else f"no {args.id!r} chunk"
        _complain(f"{args.file} holds {held}" + (f": none at index {args.index}" if bodies else ""))
        return 1
    body = bodies[args.index]
    if args.text:
        for line in _text_lines(body):
            print(printable(line))
    else:
        sys.stdout.flush()
        sys.stdout.buffer.write(body)
    return 0


def cmd_formats(args: argparse.Namespace) -> int:
    table = {major: _ondalis.get_sndfile_encodings(major)
             for major in _ondalis.get_sndfile_formats()}
    if args.json:
        _print_json(table)
    else:
        for major, encodings in table.items():
            print(printable(f"{major}: {', '.join(encodings)}"))
    return 0


def cmd_convert(args: argparse.Namespace) -> int:
    done = _convert.convert(_system_name(args.source), _system_name(args.target),
                            args.major, args.encoding, progress=not args.quiet)
    frames, lost = done
    if not args.quiet:
        if done.narrowed:
            _complain(f"{args.target} holds less precision: {' to '.join(done.narrowed)}")
        if lost:
            _complain(f"{args.target} does not keep: {', '.join(lost)}")
        print(f"{printable(args.target)}: {frames} frames")
    return 0


class _Parser(argparse.ArgumentParser):
    """argparse, with its usage errors (which quote what was typed: an unknown
    option, a stray argument) printed printable."""

    def error(self, message: str) -> Any:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {printable(message)}\n")


def sndfile_location() -> str:
    """The file the module's libsndfile was loaded from (a wheel carries its
    own copy, a build from source uses the system's): dladdr on the address of
    sf_version_string as the extension's own dependencies resolve it, so that a
    second libsndfile in the process (another package's) is not mistaken for
    it. "unknown" where ctypes or dladdr is missing (Windows)."""
    import ctypes

    class DlInfo(ctypes.Structure):
        _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                    ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

    try:
        symbol = ctypes.CDLL(_ondalis.__file__).sf_version_string
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError, TypeError):
        return "unknown"
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    found = DlInfo()
    if not dladdr(ctypes.cast(symbol, ctypes.c_void_p), ctypes.byref(found)) or not found.dli_fname:
        return "unknown"
    return os.path.realpath(os.fsdecode(found.dli_fname))


def parser() -> argparse.ArgumentParser:
    from . import __version__
    version = ".".join(str(part) for part in _ondalis.get_sndfile_version()[:3])
    # Raw text: the version line keeps its path whole at any terminal width.
    top = _Parser(prog="ondalis", description="Sound files through libsndfile.",
                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version",
                     version=f"ondalis {__version__} (libsndfile {version}, {sndfile_location()})")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    p = sub.add_parser("info", help="describe sound files and all their metadata")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--json", action="store_true", help="print JSON (a list, one entry per file)")
    p.set_defaults(run=cmd_info)
    p = sub.add_parser("chunk", help="print the bytes of one chunk of a file")
    p.add_argument("file", metavar="FILE")
    p.add_argument("id", metavar="ID", help="the chunk id, 4 characters ('iXML', 'ID3 ')")
    p.add_argument("--text", action="store_true",
                   help="decode it as UTF-8 text and print it escaped (for iXML, axml)")
    p.add_argument("--index", type=int, default=0,
                   help="which of several chunks of that id (default: the first)")
    p.set_defaults(run=cmd_chunk)
    p = sub.add_parser("formats", help="list the major formats with their encodings")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(run=cmd_formats)
    p = sub.add_parser("convert", help="convert a file, carrying its metadata over")
    p.add_argument("source", metavar="IN")
    p.add_argument("target", metavar="OUT")
    p.add_argument("--major", help="major format (default: from OUT's extension)")
    p.add_argument("--encoding", help="encoding (default: IN's, when OUT's format takes it, "
                                      "else a sensible one for the format)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing but errors, and no progress bar")
    p.set_defaults(run=cmd_convert)
    return top


def _run(args: argparse.Namespace) -> int:
    try:
        status: int = args.run(args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return status
    except BrokenPipeError:
        # The reader went away (`ondalis formats | head`): stop quietly, and
        # keep the interpreter from failing again when it flushes stdout.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (OSError, ValueError, RuntimeError, KeyError) as error:
        _complain(_error_text(error))
        return 1


def _error_text(error: Exception) -> Union[str, Exception]:
    """An error as the command line shows it: a system error on a file as
    "name: reason", the name as the system gave it (its bytes, escaped where
    they are not text)."""
    if isinstance(error, OSError) and isinstance(error.filename, (str, bytes)) \
            and error.strerror:
        name = os.fsencode(error.filename).decode("utf-8", "surrogateescape")
        return f"{name}: {error.strerror}"
    return error


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    args = parser().parse_args(argv)
    with warnings.catch_warnings():  # gives a caller in-process its showwarning back
        warnings.showwarning = _show_warning
        return _run(args)


if __name__ == "__main__":
    sys.exit(main())
