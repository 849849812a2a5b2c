"""The ondalis command line: describe files, list formats, convert files.

    ondalis info PATH... [-r] [--jobs N] [--json | --jsonl]
    ondalis check PATH... [-r] [--jobs N] [--json | --jsonl]
    ondalis chunk FILE ID [--text] [--index N]
    ondalis formats [--json]
    ondalis convert IN OUT [--major M] [--encoding E] [--quiet]
    ondalis convert IN... --outdir DIR [-r] [--flat] [--jobs N] [--major M] [--ext EXT]
                   [--encoding E] [--quiet]

A PATH or IN that is a directory stands for the sound files in it (-r: and in
its subdirectories); every other entry of it is accounted for, as skipped or
as an error. Texts from files and file names are printed through
_terminal.printable, so that nothing a file holds can act on the terminal;
--json and --jsonl print ASCII only, a name that is not UTF-8 as text with
U+FFFD and its bytes beside it. Ctrl-C stops any command with the line
"ondalis: interrupted" and exit status 130.
"""
import argparse
import base64
import contextlib
import dataclasses
import json
import os
import sys
import textwrap
import warnings
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

from . import _api, _batch, _check, _convert, _layout, _ondalis, _progress
from ._terminal import printable

# The errors of a file or of a choice made on the command line, shown as
# "ondalis: ..." with exit status 1; any other exception is a fault of ours.
_FAILURES = (OSError, ValueError, RuntimeError, KeyError)

# The exit status of a program stopped by Ctrl-C (SIGINT): 128 + 2.
INTERRUPTED = 130


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


def describe(found: _api.SoundInfo) -> str:
    """The text `ondalis info` prints for one file: the format first, then each
    piece of metadata the file holds."""
    lines = [printable(found.path),
             f"  format: {found.major_format}, {found.encoding} (0x{found.format:08x})",
             f"  channels: {found.channels}",
             f"  samplerate: {found.samplerate} Hz",
             "  frames: unknown" if found.duration is None else
             f"  frames: {found.frames} ({found.duration:.3f} s)"]
    lines.extend(_layout.metadata_lines(found, "  "))
    return "\n".join(lines)


def _complain(message: Any, stream: Optional[TextIO] = None) -> None:
    """Print an error or a warning on stderr (or `stream`), printable. A line
    feed and tab is the one line break kept, as the extension module lays out
    its open errors: the next line is indented, so even a name that holds one
    cannot start a line that passes for a message of ours."""
    first, *rest = str(message).split("\n\t")
    _progress.clear_shown()
    print("\n\t".join([f"ondalis: {_shown(first, message)}", *map(printable, rest)]),
          file=stream or sys.stderr)


def _shown(text: str, message: Any) -> str:
    """`text` printable, with the file name that an error's text holds as its
    repr shown escaped once (printable, in quotes) rather than twice."""
    return _with_name(text, getattr(message, "filename", None))


def _with_name(text: str, name: Any) -> str:
    """`text` printable, the repr of `name` in it shown as in _shown."""
    if not isinstance(name, str) or repr(name) not in text:
        return printable(text)
    return f"'{printable(name)}'".join(printable(part) for part in text.split(repr(name)))


def _show_warning(message: Any, category: Any, filename: Any, lineno: Any,
                  file: Optional[TextIO] = None, line: Any = None) -> None:
    """warnings.showwarning for the command line: the library's warnings
    quote file names and texts from files, so they are printed like errors."""
    _complain(f"warning: {message}", file)


def _json(value: Any, indent: Optional[int] = 2) -> str:
    # ASCII only: every control character, C1 included, and every lone
    # surrogate (a file name that is not UTF-8) is written as a \u escape.
    # Without an indent: one compact line.
    return json.dumps(value, indent=indent, ensure_ascii=True,
                      separators=None if indent else (",", ":"))


def _print_json(value: Any) -> None:
    print(_json(value))


_SURROGATES = dict.fromkeys(range(0xD800, 0xE000), "\ufffd")


def _strict(value: Any) -> Any:
    """`value` with its texts as UTF-8 text: what os.fsdecode made of bytes
    that are not UTF-8 (lone surrogates, which JSON readers refuse even
    escaped) decoded again as UTF-8 decoding replaces them, with U+FFFD."""
    if isinstance(value, str):
        if value.isascii():
            return value
        try:
            return value.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
        except UnicodeEncodeError:  # a surrogate os.fsdecode does not make
            return value.translate(_SURROGATES)
    if isinstance(value, dict):
        return {key: _strict(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_strict(item) for item in value]
    return value


def _named(entry: Dict[str, Any]) -> Dict[str, Any]:
    """A batch entry as JSON carries it: texts with U+FFFD for what is not
    UTF-8, and for a path that is not, its exact bytes in base64 as
    "path_bytes" (os.fsdecode(base64.b64decode(...)) names the file again)."""
    strict: Dict[str, Any] = _strict(entry)
    path = entry["path"]
    if strict["path"] == path:
        return strict
    exact = base64.b64encode(os.fsencode(path)).decode("ascii")
    return {"path": strict.pop("path"), "path_bytes": exact, **strict}


def _print_json_list(values: Iterable[Any]) -> None:
    """What _print_json prints for the list of `values`, printed as each
    value comes, so that no list of millions of entries is held."""
    opened = False
    for value in values:
        print("," if opened else "[")
        print(textwrap.indent(_json(value), "  "), end="")
        opened = True
    print("\n]" if opened else "[]")


def _print_json_lines(values: Iterable[Any]) -> None:
    """One compact JSON object a line, each flushed as it comes."""
    for value in values:
        print(_json(value, indent=None), flush=True)


def _system_name(arg: str) -> Union[str, bytes]:
    """A file name from the command line as the library takes it. Python gives
    argv bytes that are not UTF-8 as lone surrogates, which the extension
    module's UTF-8 encoding refuses; such a name goes in as its bytes."""
    try:
        arg.encode("utf-8")
        return arg
    except UnicodeEncodeError:
        return os.fsencode(arg)


def _described(path: str) -> _api.SoundInfo:
    return _api.info(_system_name(path))


class _Tally:
    """The entries of a batch counted by what became of them, for the exit
    status and the closing count."""

    def __init__(self) -> None:
        self.ok = self.failed = self.skipped = 0

    def counted(self, found: Iterable[_batch.Outcome],
                sound: Any = lambda result: True) -> Iterator[_batch.Outcome]:
        """Each outcome of `found`, counted: a Skipped entry as skipped, an
        error or a result that is not `sound` as failed."""
        for outcome in found:
            _, result, error = outcome
            if isinstance(error, _batch.Skipped):
                self.skipped += 1
            elif error is not None or not sound(result):
                self.failed += 1
            else:
                self.ok += 1
            yield outcome

    @property
    def status(self) -> int:
        return int(self.failed > 0)

    def report(self, always: bool = False) -> None:
        """On stderr, for a batch of several entries, how many were ok,
        failed and skipped: always, or when not all were ok."""
        total = self.ok + self.failed + self.skipped
        if total > 1 and (always or total != self.ok):
            _complain(f"{total} entries: {self.ok} ok, {self.failed} failed, "
                      f"{self.skipped} skipped")


def _batch_outcomes(args: argparse.Namespace, job: Any) -> Iterator[_batch.Outcome]:
    """The outcomes of `job` on every input of an info or check command."""
    return _batch.outcomes(job, _batch.sound_files(args.paths, args.recursive), args.jobs,
                           _FAILURES, ordered=not args.jsonl)


def _print_entries(args: argparse.Namespace, entries: Iterable[Dict[str, Any]]) -> None:
    """--json or --jsonl: each entry, its names as JSON carries them."""
    show = _print_json_list if args.json else _print_json_lines
    show(_named(entry) for entry in entries)


def cmd_info(args: argparse.Namespace) -> int:
    tally = _Tally()
    found = tally.counted(_batch_outcomes(args, _described))
    if args.json or args.jsonl:
        _print_entries(args, (_entry(*outcome) for outcome in found))
    else:
        _print_descriptions(found)
        tally.report()
    return tally.status


def _passed_over(path: str, error: Optional[Exception]) -> Optional[Dict[str, Any]]:
    """The JSON object of an entry that failed or was skipped, else None."""
    if isinstance(error, _batch.Skipped):
        return {"path": path, "skipped": str(error)}
    if error is not None:
        return {"path": path, "error": _reason(error)}
    return None


def _entry(path: str, info: Optional[_api.SoundInfo], error: Optional[Exception]) -> Any:
    """A file's JSON object: its description, or its path and why it failed
    or was skipped."""
    return _passed_over(path, error) or _plain(info)


def _skipped_text(path: str, error: _batch.Skipped) -> str:
    return f"{path}: skipped: {error}"


def _print_descriptions(found: Iterable[_batch.Outcome]) -> None:
    """Each file's description, a blank line between two; each failure and
    each entry skipped on stderr, in its place."""
    shown = False
    for path, info, error in found:
        if isinstance(error, _batch.Skipped):
            _complain(_skipped_text(path, error))
        elif error is not None:
            _complain(_error_text(error))
        else:
            print(("\n" if shown else "") + describe(info))
            shown = True


def _checked(path: str) -> _check.CheckResult:
    return _check.check(_system_name(path))


def cmd_check(args: argparse.Namespace) -> int:
    tally = _Tally()
    found = tally.counted(_batch_outcomes(args, _checked), sound=lambda result: result.ok)
    if args.json or args.jsonl:
        _print_entries(args, (_check_entry(*outcome) for outcome in found))
    else:
        for outcome in found:
            print(_check_line(*outcome), flush=True)
        tally.report(always=True)
    return tally.status


def _check_entry(path: str, result: Optional[_check.CheckResult],
                 error: Optional[Exception]) -> Dict[str, Any]:
    """A file's JSON object for check: its result ("error" only when it is
    not ok), or its path and why it could not be checked or was skipped."""
    passed = _passed_over(path, error)
    if passed is not None:
        return passed if "skipped" in passed else {"path": path, "ok": False, **passed}
    entry: Dict[str, Any] = _plain(result)
    if entry["error"] is None:
        del entry["error"]
    return entry


# What a line of check says of a sound file, by its MD5 verdict.
_SOUND = {None: "ok", "match": "ok, MD5 signature matches",
          "unchecked": "ok, no MD5 signature to compare"}


def _check_line(path: str, result: Optional[_check.CheckResult],
                error: Optional[Exception]) -> str:
    """A file's line for check: "name: ok", or what is wrong with it."""
    if isinstance(error, _batch.Skipped):
        return printable(_skipped_text(path, error))
    if error is not None:
        text = _error_text(error)
        return _shown(text if isinstance(text, str) else f"{path}: {text}", error)
    assert result is not None
    said = _SOUND[result.md5] if result.ok else _with_name(str(result.error), result.path)
    return f"{printable(path)}: {said}"


def cmd_chunk(args: argparse.Namespace) -> int:
    bodies = _api.chunk_data(_system_name(args.file), args.id, text=args.text)
    if not 0 <= args.index < len(bodies):
        held = f"{len(bodies)} {args.id!r} chunk(s)" if bodies else f"no {args.id!r} chunk"
        _complain(f"{args.file} holds {held}" + (f": none at index {args.index}" if bodies else ""))
        return 1
    body = bodies[args.index]
    if args.text:
        for line in _layout.text_lines(body):
            print(printable(line))
    else:
        sys.stdout.flush()
        sys.stdout.buffer.write(body)
    return 0


def cmd_formats(args: argparse.Namespace) -> int:
    table = {major: {"extensions": _batch.extensions(major),
                     "encodings": _ondalis.get_sndfile_encodings(major)}
             for major in _ondalis.get_sndfile_formats()}
    if args.json:
        _print_json(table)
    else:
        for major, known in table.items():
            names = ", ".join("." + name for name in known["extensions"])
            print(printable(f"{major}{f' ({names})' if names else ''}: "
                            f"{', '.join(known['encodings'])}"))
    return 0


def cmd_convert(args: argparse.Namespace) -> int:
    if args.outdir is not None:
        return _convert_into(args.outdir, args)
    batch_only = [option for option, given in (("-r", args.recursive),
                                               ("--jobs", args.jobs is not None),
                                               ("--ext", args.ext is not None),
                                               ("--flat", args.flat)) if given]
    if len(args.paths) != 2 or batch_only:
        args.usage_error("give IN OUT, or IN... --outdir DIR" if not batch_only else
                         f"{', '.join(batch_only)}: only with --outdir DIR")
    source, target = args.paths
    done = _convert.convert(_system_name(source), _system_name(target),
                            args.major, args.encoding, progress=not args.quiet)
    _report(target, done, args.quiet)
    return 0


def _report(target: str, done: _convert.Converted, quiet: bool) -> None:
    """What a conversion says: what the target narrowed and lost (stderr),
    and the frames it holds."""
    if quiet:
        return
    frames, lost = done
    if done.narrowed:
        _complain(f"{target} holds less precision: {' to '.join(done.narrowed)}")
    if lost:
        _complain(f"{target} does not keep: {', '.join(lost)}")
    if sys.stdout.isatty():  # the same terminal as a progress bar, maybe
        _progress.clear_shown()
    print(f"{printable(target)}: {frames} frames")


def _target_suffix(major: Optional[str], extension: Optional[str]) -> Optional[str]:
    """The suffix of every target of a batch: `extension`, else the first
    extension of `major`; None for each input's own."""
    if extension is not None:
        bare = extension[1:] if extension.startswith(".") else extension
        if not bare or "." in bare or "/" in bare or os.sep in bare or "\0" in bare:
            raise ValueError(f"--ext {extension!r} is not an extension: give a bare name "
                             "such as 'flac' (no separators, no further dots)")
        return "." + bare
    if major is None:
        return None
    known = _batch.extensions(_api.major_name(major))
    if not known:
        raise ValueError(f"{major} files have no extension of their own; give --ext")
    return "." + known[0]


def _inside(target: str, outdir: str) -> None:
    """ValueError unless `target` lies inside `outdir` once both are
    normalised (nothing of a batch is written elsewhere)."""
    folder = os.path.normpath(os.path.abspath(outdir))
    found = os.path.normpath(os.path.abspath(target))
    if os.path.commonpath([folder, found]) != folder or found == folder:
        raise ValueError(f"{target} lies outside {outdir}; nothing was converted")


def _sources(args: argparse.Namespace) -> Iterator[Tuple[str, _batch.Input]]:
    """(where its target goes below --outdir, (input, error)) of every input
    of a batch: a file found in a folder IN at the same place below --outdir
    as below IN (with --flat, or a file named itself, at the top)."""
    for path in args.paths:
        for source, error in _batch.sound_files([path], args.recursive):
            if args.flat or source == path:
                yield os.path.basename(source), (source, error)
            else:
                yield os.path.relpath(source, path), (source, error)


def _planned(args: argparse.Namespace) -> List[_batch.Input]:
    """((input, target), error) of every input of a batch; ValueError when
    two inputs would be written to one target."""
    suffix = _target_suffix(args.major, args.ext)
    planned = []
    sources: Dict[str, str] = {}  # target -> the input written there
    for place, (source, error) in _sources(args):
        stem, own = os.path.splitext(place)
        target = os.path.join(args.outdir, stem + (own if suffix is None else suffix))
        _inside(target, args.outdir)
        if error is None and target in sources:
            raise ValueError(f"{sources[target]} and {source} would both be written to "
                             f"{target}; nothing was converted")
        if error is None:
            sources[target] = source
        planned.append(((source, target), error))
    return planned


def _convert_into(outdir: str, args: argparse.Namespace) -> int:
    """The batch form: every input into `outdir` (made when missing, with
    the folders below it that the targets need), after every target name is
    known to be free of collisions. A failure is reported and the batch goes
    on."""
    if args.major is not None:  # a bad format or encoding: refused before any file
        _api.file_format("", args.major, args.encoding)
    planned = _planned(args)
    os.makedirs(_system_name(outdir), exist_ok=True)
    single = len(planned) == 1

    def convert_one(pair: Tuple[str, str]) -> _convert.Converted:
        os.makedirs(_system_name(os.path.dirname(pair[1])), exist_ok=True)
        return _convert.convert(_system_name(pair[0]), _system_name(pair[1]), args.major,
                                args.encoding, progress=single and not args.quiet)

    bar = _progress.StatusLine(None if single or args.quiet else sys.stderr)
    tally = _Tally()
    found = _batch.outcomes(convert_one, planned, args.jobs or 1, _FAILURES,
                            finish_on_interrupt=True)
    # Closed on any exit: an interrupt here too waits for the conversions
    # under way to remove what they had written, before it is reported.
    with contextlib.closing(found):
        for count, ((source, target), done, error) in enumerate(tally.counted(found), 1):
            if isinstance(error, _batch.Skipped):
                _complain(_skipped_text(source, error))
            elif error is not None:
                _complain(_error_text(error))
            else:
                _report(target, done, args.quiet)
            sys.stdout.flush()
            bar.show(f"converting {count}/{len(planned)} {printable(os.path.basename(source))}",
                     100 * count // len(planned))
    bar.end()
    if not args.quiet:
        tally.report()
    return tally.status


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
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="sound files, and directories that stand for the sound files in them "
                        "(by extension, hidden ones skipped)")
    _batch_options(p)
    _json_options(p, "read")
    p.set_defaults(run=cmd_info, jobs=1)
    p = sub.add_parser("check", help="decode sound files to their end and report the damaged "
                                     "ones (and FLACs whose audio does not match their MD5)")
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="sound files, and directories that stand for the sound files in them")
    _batch_options(p)
    _json_options(p, "checked")
    p.set_defaults(run=cmd_check, jobs=1)
    p = sub.add_parser("chunk", help="print the bytes of one chunk of a file")
    p.add_argument("file", metavar="FILE")
    p.add_argument("id", metavar="ID", help="the chunk id, 4 characters ('iXML', 'ID3 ')")
    p.add_argument("--text", action="store_true",
                   help="decode it as UTF-8 text and print it escaped (for iXML, axml)")
    p.add_argument("--index", type=int, default=0,
                   help="which of several chunks of that id (default: the first)")
    p.set_defaults(run=cmd_chunk)
    p = sub.add_parser("formats",
                       help="list the major formats with their file extensions and encodings")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(run=cmd_formats)
    p = sub.add_parser("convert", help="convert files, carrying their metadata over",
                       usage="%(prog)s IN OUT [options]\n"
                             "       %(prog)s IN... --outdir DIR [options]")
    p.add_argument("paths", nargs="+", metavar="IN",
                   help="IN OUT: one file into OUT; with --outdir, the files (and directories, "
                        "which stand for the sound files in them) to convert")
    p.add_argument("--outdir", metavar="DIR",
                   help="convert every IN into DIR (made if missing), named as IN with the "
                        "extension of --major, of --ext, or IN's own; a file found in a "
                        "directory IN goes to the same place below DIR as below IN")
    _batch_options(p)
    p.add_argument("--flat", action="store_true",
                   help="with --outdir: every target at the top of DIR, whatever folder "
                        "its input was found in")
    p.add_argument("--major", help="major format (default: from OUT's extension, "
                                   "or each IN's own extension with --outdir)")
    p.add_argument("--ext", help="with --outdir: the extension of every target "
                                 "(default: the first of --major's, else IN's own)")
    p.add_argument("--encoding", help="encoding (default: IN's, when OUT's format takes it, "
                                      "else a sensible one for the format)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing but errors, and no progress bar")
    p.set_defaults(run=cmd_convert, usage_error=p.error)
    return top


def _thread_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"not a number of threads (1 or more): {text!r}")
    return count


def _json_options(p: argparse.ArgumentParser, done: str) -> None:
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true",
                       help="print JSON: a list, one entry per file, in the order given")
    shown.add_argument("--jsonl", action="store_true",
                       help=f"print one JSON object a line, each as soon as its file is {done} "
                            "(in the order they finish with --jobs)")


def _batch_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("-r", "--recursive", action="store_true",
                   help="take the sound files of subdirectories too")
    p.add_argument("-j", "--jobs", type=_thread_count, metavar="N",
                   help="work on N files at once, in N threads (default: 1)")


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
    except _FAILURES as error:
        _complain(_error_text(error))
        return 1


def _file_error(error: Exception) -> Optional[OSError]:
    """`error` when it is a system error on a named file, else None."""
    if isinstance(error, OSError) and isinstance(error.filename, (str, bytes)) \
            and error.strerror:
        return error
    return None


def _error_text(error: Exception) -> Union[str, Exception]:
    """An error as the command line shows it: a system error on a file as
    "name: reason", the name as the system gave it (its bytes, escaped where
    they are not text)."""
    on_file = _file_error(error)
    if on_file is None:
        return error
    name = os.fsencode(on_file.filename).decode("utf-8", "surrogateescape")
    return f"{name}: {on_file.strerror}"


def _reason(error: Exception) -> str:
    """Why a file failed, as its --json entry says beside its path: the
    system's reason alone, or the whole message."""
    on_file = _file_error(error)
    return str(error) if on_file is None else str(on_file.strerror)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    try:
        args = parser().parse_args(argv)
        with warnings.catch_warnings():  # gives a caller in-process its showwarning back
            warnings.showwarning = _show_warning
            return _run(args)
    except KeyboardInterrupt:
        # Ctrl-C: one line, no traceback. A conversion under way has removed
        # what it had written (the safe writer does so on any interrupt).
        _progress.end_shown()
        _complain("interrupted")
        return INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
