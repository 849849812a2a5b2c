"""Text from files, made safe to show on a terminal.

Metadata and file names come from files the user did not write. Written raw,
an ESC sequence in a title retitles the window or clears the screen and a
carriage return forges an output line. Every text the command line prints
goes through `printable`, which leaves nothing a terminal acts on; it takes
bytes as well, for a view of a chunk's body on a terminal.
"""
from typing import Dict, Union

# The short forms Python's own repr uses; every other control shows by its code.
_SHORT = {"\t": "\\t", "\n": "\\n", "\r": "\\r", "\\": "\\\\"}


def _rendering(code: int) -> str:
    """How one code point that is not shown as itself is shown.

    C0 controls and DEL as \\xNN, C1 controls and the line and paragraph
    separators as \\uNNNN. A lone surrogate from U+DC80 to U+DCFF is what
    os.fsdecode and surrogateescape make of a byte that is not UTF-8, so it
    shows as that byte, \\xNN; a byte above 0x7f can come from nothing else,
    since the characters U+0080 to U+009F show as \\u0080 to \\u009f and the
    ones above as themselves. Other lone surrogates show as \\uNNNN.
    """
    char = chr(code)
    if char in _SHORT:
        return _SHORT[char]
    if code < 0x80:
        return f"\\x{code:02x}"
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"
    return f"\\u{code:04x}"


_ESCAPED = [*range(0x20), 0x5C, 0x7F, *range(0x80, 0xA0), 0x2028, 0x2029, *range(0xD800, 0xE000)]
_TABLE: Dict[int, str] = {code: _rendering(code) for code in _ESCAPED}


def printable(text: Union[str, bytes]) -> str:
    """`text` with every C0 and C1 control, DEL, line or paragraph separator
    and lone surrogate written as a visible escape (\\x1b, \\r, \\u009b), and
    the backslash as \\\\ so that an escape cannot be mistaken for the text it
    stands for; all other text, accented letters and CJK included, is kept.
    The result holds no line break: where a layout shows a value over several
    lines, it splits the value first and passes each line through here.

    Bytes (a file name from the system, the body of a chunk) are read as
    UTF-8, and each byte that is not part of a UTF-8 character shows as \\xNN.
    """
    if isinstance(text, bytes):
        text = text.decode("utf-8", "surrogateescape")
    return text.translate(_TABLE)


def quoted(text: str) -> str:
    """`text` in single quotes, for a text among other field=value pairs on one
    line: printable, with the quote itself escaped."""
    return "'" + printable(text).replace("'", "\\'") + "'"
