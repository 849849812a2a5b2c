"""Progress bars on a terminal line, as wide as the terminal and never wider.

A bar is one line redrawn after a carriage return. A line longer than the
terminal wraps, and the next carriage return then goes back to the start of
the wrapped part only, so every redraw would leave a line behind: each one
is fitted to the width the terminal has at that moment, measured in cells
(a CJK character takes two). The line on show is remembered, so that an
error message or an interrupt can clear or end it first and start on a
fresh line.
"""
import os
import shutil
import threading
import unicodedata
from typing import Optional, TextIO

# The bar keeps at least this many cells while the label is shortened, and
# the label at least this many (its ellipsis included) before it is dropped.
MIN_BAR = 10
MIN_LABEL = 8

# "label [" + bar + "] " + "NNN%": the cells around the label and the bar.
_FRAME = len(" [") + len("] ") + len("100%")

_lock = threading.Lock()
_shown: Optional["StatusLine"] = None  # the line standing on the terminal now


def terminal_width(stream: TextIO) -> int:
    """The columns of the terminal `stream` writes to, read anew at each
    call (a window can be resized at any time); the COLUMNS variable, or 80,
    when the stream has no size to tell (no descriptor, or a size of 0)."""
    try:
        columns = os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, OSError, ValueError):
        columns = 0
    return columns or shutil.get_terminal_size().columns


def cells(text: str) -> int:
    """The terminal cells `text` takes: two for wide and full-width
    characters, none for combining marks, one for the others."""
    return sum(0 if unicodedata.combining(char) else
               2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def shortened(text: str, width: int, ellipsis: str = "\u2026") -> str:
    """`text` in at most `width` cells: cut, with `ellipsis` at the cut."""
    if cells(text) <= width:
        return text
    room = width - cells(ellipsis)
    kept, used = [], 0
    for char in text:
        used += cells(char)
        if used > room:
            break
        kept.append(char)
    return "".join(kept) + ellipsis


def bar_text(label: str, percent: int, width: int, ellipsis: str = "\u2026") -> str:
    """`label [####------] NNN%` in exactly `width` cells: the bar takes the
    room the label leaves; a label that would leave less than MIN_BAR cells
    is shortened, and dropped when it cannot keep MIN_LABEL cells; below
    that the percentage alone, and on the narrowest terminals a bare bar.
    A percentage past 100 (a file longer than its header said) shows as 100."""
    percent = max(0, min(100, percent))
    if width >= min(cells(label), MIN_LABEL) + _FRAME + MIN_BAR:
        label = shortened(label, width - _FRAME - MIN_BAR, ellipsis)
        return f"{label} [{_bar(percent, width - cells(label) - _FRAME)}] {percent:3d}%"
    if width >= _FRAME + 1:
        return f"[{_bar(percent, width - _FRAME + 1)}] {percent:3d}%"
    if width >= len("100%"):
        return f"{percent:3d}%".rjust(width)
    return _bar(percent, width)


def _bar(percent: int, width: int) -> str:
    filled = width * percent // 100
    return "#" * filled + "-" * (width - filled)


def _isatty(stream: Optional[TextIO]) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, OSError, ValueError):
        return False


class StatusLine:
    """A bar on one terminal line of `stream`, redrawn in place; it draws
    nothing when `stream` is None or not a terminal (a pipe, a file)."""

    def __init__(self, stream: Optional[TextIO]):
        self.stream = stream if _isatty(stream) else None

    def show(self, label: str, percent: int) -> None:
        """Draws (or redraws) the bar at the terminal's present width."""
        global _shown
        if self.stream is None:
            return
        encoding = getattr(self.stream, "encoding", None) or "utf-8"
        # What the stream cannot encode it writes escaped, wider than measured.
        label = label.encode(encoding, "backslashreplace").decode(encoding)
        ellipsis = "\u2026" if _encodes("\u2026", encoding) else "..."
        with _lock:
            _shown = self
            self._write("\r" + bar_text(label, percent, terminal_width(self.stream), ellipsis))

    def clear(self) -> None:
        """Blanks the line and puts the cursor at its start."""
        self._close("\r" + " " * terminal_width(self.stream) + "\r" if self.stream else "")

    def end(self) -> None:
        """Leaves the bar as it stands and moves to the next line."""
        self._close("\n")

    def _close(self, text: str) -> None:
        global _shown
        with _lock:
            if _shown is self:
                _shown = None
                self._write(text)

    def _write(self, text: str) -> None:
        assert self.stream is not None
        self.stream.write(text)
        self.stream.flush()


def _encodes(text: str, encoding: str) -> bool:
    try:
        text.encode(encoding)
        return True
    except (UnicodeEncodeError, LookupError):
        return False


def clear_shown() -> None:
    """Clears the bar on show, if any: a message is about to be printed."""
    line = _shown
    if line is not None:
        line.clear()


def end_shown() -> None:
    """Ends the line of the bar on show, if any: the program is stopping."""
    line = _shown
    if line is not None:
        line.end()
