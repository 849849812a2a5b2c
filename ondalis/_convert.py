"""Converting a sound file into another format, metadata and all."""
import os
import sys
from typing import Any, List, Optional, TextIO, Tuple, Union

import numpy as np

from . import _api, _ondalis
from ._ondalis import Ondalis
from ._terminal import printable

# Frames per block: large enough that the per-call cost vanishes, small
# enough (1 MiB per stereo block of float64) to stay in cache.
BLOCK_FRAMES = 65536

# Files shorter than this many frames convert without a progress bar.
PROGRESS_MIN_FRAMES = 16 * BLOCK_FRAMES

# The chunks carried over: SoundInfo field, set command, what it is called.
# Loop information has no set command in libsndfile; it is only reported
# when the source has it.
_CARRIED = (
    ("cue_points", "SFC_SET_CUE", "cue points"),
    ("instrument", "SFC_SET_INSTRUMENT", "instrument"),
    ("broadcast", "SFC_SET_BROADCAST_INFO", "broadcast extension"),
    ("cart", "SFC_SET_CART_INFO", "cart chunk"),
    ("channel_map", "SFC_SET_CHANNEL_MAP_INFO", "channel map"),
    ("loop_info", None, "loop information"),
)

# Integer encodings: converting them through int32 keeps every sample exact,
# whatever scaling the libsndfile in use applies between floats and integers.
_INTEGER_ENCODINGS = ("pcms8", "pcmu8", "pcm16", "pcm24", "pcm32")


class Progress:
    """A progress bar on one terminal line, redrawn with a carriage return when
    the shown percentage changes; silent when there is no stream, the stream is
    not a terminal or the job is short."""

    WIDTH = 30

    def __init__(self, total: int, label: str, stream: Optional[TextIO]):
        self.stream, self.total, self.label = stream, total, label
        self.shown = -1
        self.active = stream is not None and total >= PROGRESS_MIN_FRAMES and stream.isatty()

    def update(self, done: int) -> None:
        percent = 100 * done // self.total if self.total else 100
        if self.active and percent != self.shown:
            self.shown = percent
            filled = self.WIDTH * percent // 100
            bar = "#" * filled + "-" * (self.WIDTH - filled)
            self._write(f"\r{self.label} [{bar}] {percent:3d}%")

    def finish(self) -> None:
        if self.active:
            self._write("\n")

    def _write(self, text: str) -> None:
        assert self.stream is not None
        self.stream.write(text)
        self.stream.flush()


def _put_metadata(source: Ondalis, found: _api.SoundInfo, target: Ondalis) -> None:
    """Offer the target every string and chunk of the source. A format that
    refuses one raises, one that drops it does not: what was kept is judged by
    reading the finished file (see _lost)."""
    for name, value in source.get_strings().items():
        try:
            target.set_string(name, value)
        except RuntimeError:
            pass
    for field, command, _ in _CARRIED:
        value = getattr(found, field)
        if command is not None and value:
            try:
                target.command(command, value)
            except RuntimeError:
                pass


def _lost(found: _api.SoundInfo, written: _api.SoundInfo) -> List[str]:
    """What the source holds and the written file does not."""
    lost = [name for name in found.strings if name not in written.strings]
    lost += [what for field, _, what in _CARRIED
             if getattr(found, field) and not getattr(written, field)]
    return lost


def _target_format(source: Ondalis, target_path: str, major: Optional[str],
                   encoding: Optional[str]) -> int:
    """The target's format code: with no encoding given, the source's is kept
    when the target format takes it."""
    major = major.lower() if major is not None else _api.major_for_path(target_path)
    if encoding is None and major in _ondalis.fileformat_name_to_id:
        if source.encoding_str() in _ondalis.get_sndfile_encodings(major):
            encoding = source.encoding_str()
    return _api.file_format(target_path, major, encoding)


def _copy_frames(source: Ondalis, target: Ondalis, progress: Progress) -> int:
    kind = np.int32 if source.encoding_str() in _INTEGER_ENCODINGS else np.float64
    total, done = source.frames(), 0
    while done < total:
        n = min(BLOCK_FRAMES, total - done)
        target.write_frames(source.read_frames(n, kind, True))
        done += n
        progress.update(done)
    progress.finish()
    return done


def convert(source_path: Any, target_path: Any, major: Optional[str] = None,
            encoding: Optional[str] = None,
            progress: Union[bool, TextIO] = True) -> Tuple[int, List[str]]:
    """Stream a sound file into a new file of another format, with its metadata.

    The major format comes from the target's extension unless given; the
    encoding is the source's when the target format takes it, else the
    format's default (see write). Strings, cue points, instrument, broadcast
    extension, cart chunk and channel map are carried over where the target
    format keeps them. `progress`: True for a progress bar on stderr when it is
    a terminal and the file is long, False for none, or a stream to draw it on
    (again only when that stream is a terminal).

    Returns (frames converted, names of the metadata the target did not keep).
    A target that cannot be finished is removed. Raises ValueError for a bad
    format choice or for source and target being the same file, OSError when a
    file cannot be opened or written.
    """
    stream = sys.stderr if progress is True else progress or None
    if os.path.exists(target_path) and os.path.samefile(source_path, target_path):
        raise ValueError(f"{os.fsdecode(source_path)} and {os.fsdecode(target_path)} "
                         "are the same file")
    found = _api.info(source_path)
    with Ondalis(source_path) as source:
        code = _target_format(source, target_path, major, encoding)
        label = f"converting {printable(os.path.basename(os.fsdecode(source_path)))}"
        target = Ondalis(target_path, "w", code, source.channels(), source.samplerate())
        try:
            with target:
                _put_metadata(source, found, target)
                frames = _copy_frames(source, target, Progress(source.frames(), label, stream))
        except BaseException:
            os.remove(target_path)
            raise
    return frames, _lost(found, _api.info(target_path))
