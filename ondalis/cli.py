"""The ondalis command line: describe files, list formats, convert files.

    ondalis info FILE... [--json]
    ondalis formats
    ondalis convert IN OUT [--major M] [--encoding E]
"""
import argparse
import dataclasses
import json
import sys

import numpy as np

from . import _api, _ondalis
from ._ondalis import Ondalis

BLOCK_FRAMES = 65536

# Metadata carried over by convert: (get command, set command, what).
_CARRIED = (
    ("SFC_GET_CUE", "SFC_SET_CUE", "cue points"),
    ("SFC_GET_INSTRUMENT", "SFC_SET_INSTRUMENT", "instrument"),
    ("SFC_GET_BROADCAST_INFO", "SFC_SET_BROADCAST_INFO", "broadcast extension"),
    ("SFC_GET_CART_INFO", "SFC_SET_CART_INFO", "cart chunk"),
    ("SFC_GET_CHANNEL_MAP_INFO", "SFC_SET_CHANNEL_MAP_INFO", "channel map"),
)


def _plain(value):
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


def _show(name, value, indent="  "):
    if value is None or value == [] or value == {}:
        return
    if dataclasses.is_dataclass(value):
        print(f"{indent}{name}:")
        for field in dataclasses.fields(value):
            _show(field.name, getattr(value, field.name), indent + "  ")
    elif isinstance(value, list) and value and dataclasses.is_dataclass(value[0]):
        print(f"{indent}{name}:")
        for i, item in enumerate(value):
            _show(f"[{i}]", item, indent + "  ")
    elif isinstance(value, dict):
        print(f"{indent}{name}:")
        for key, item in value.items():
            print(f"{indent}  {key}: {item}")
    else:
        print(f"{indent}{name}: {value.hex() if isinstance(value, bytes) else value}")


def cmd_info(args):
    found = [_api.info(path) for path in args.files]
    if args.json:
        print(json.dumps([_plain(item) for item in found], indent=2))
        return 0
    for item in found:
        print(item.path)
        for field in dataclasses.fields(item):
            if field.name != "path":
                _show(field.name, getattr(item, field.name))
    return 0


def cmd_formats(args):
    for major in _ondalis.get_sndfile_formats():
        print(f"{major}: {', '.join(_ondalis.get_sndfile_encodings(major))}")
    return 0


class _Progress:
    """A one-line progress indicator on a terminal (a carriage return and a
    percentage need no library); silent when stderr is not a terminal."""

    def __init__(self, total, stream=sys.stderr):
        self.total, self.stream = total, stream
        self.shown = -1
        self.active = total > 10 * BLOCK_FRAMES and stream.isatty()

    def update(self, done):
        percent = 100 * done // self.total if self.total else 100
        if self.active and percent != self.shown:
            self.shown = percent
            self.stream.write(f"\rconverting: {percent:3d}%")
            self.stream.flush()

    def finish(self):
        if self.active:
            self.stream.write("\n")


def _carry_metadata(source, target, quiet):
    strings = source.get_strings()
    for name, value in strings.items():
        try:
            target.set_string(name, value)
        except RuntimeError as error:
            if not quiet:
                print(f"ondalis: {name} not carried over: {error}", file=sys.stderr)
    for get, put, what in _CARRIED:
        try:
            value = source.command(get)
        except (RuntimeError, UnicodeDecodeError, KeyError):
            value = None
        if not value:
            continue
        try:
            target.command(put, value)
        except RuntimeError:
            if not quiet:
                print(f"ondalis: the {what} is not carried over: the target format "
                      "does not take it", file=sys.stderr)


def convert(source_path, target_path, major=None, encoding=None, quiet=False):
    """Stream a file into a new one of another format, with its metadata."""
    major = major or _api.major_for_path(target_path)
    encoding = encoding or _api.default_encoding(major, target_path)
    code = _ondalis.construct_format(major, encoding)
    with Ondalis(source_path) as source:
        total = source.frames()
        with Ondalis(target_path, "w", code, source.channels(), source.samplerate()) as target:
            _carry_metadata(source, target, quiet)
            progress = _Progress(total)
            done = 0
            while done < total:
                n = min(BLOCK_FRAMES, total - done)
                target.write_frames(source.read_frames(n, np.float64, True))
                done += n
                progress.update(done)
            progress.finish()
    return total


def cmd_convert(args):
    frames = convert(args.source, args.target, args.major, args.encoding)
    print(f"{args.target}: {frames} frames")
    return 0


def parser():
    top = argparse.ArgumentParser(prog="ondalis", description="Sound files through libsndfile.")
    sub = top.add_subparsers(dest="command", required=True)
    p = sub.add_parser("info", help="describe sound files and all their metadata")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(run=cmd_info)
    p = sub.add_parser("formats", help="list the major formats with their encodings")
    p.set_defaults(run=cmd_formats)
    p = sub.add_parser("convert", help="convert a file, carrying its metadata over")
    p.add_argument("source", metavar="IN")
    p.add_argument("target", metavar="OUT")
    p.add_argument("--major", help="major format (default: from OUT's extension)")
    p.add_argument("--encoding", help="encoding (default: a sensible one for the format)")
    p.set_defaults(run=cmd_convert)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except (OSError, ValueError, RuntimeError, KeyError) as error:
        print(f"ondalis: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
