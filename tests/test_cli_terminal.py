"""The command line never lets a file drive the terminal. Texts from files and
file names carrying ESC, BEL, CR, DEL, C1 controls and bytes that are not
UTF-8 come out escaped, through a pipe and on a real pseudo-terminal; plain
non-ASCII text comes out as it is; --json is ASCII and gives the texts back
exactly."""
import base64
import io
import json
import os
import pathlib
import pty
import re
import select
import subprocess
import sys
import tty
import unicodedata
import warnings

import pytest

import riff
import sample_files
from ondalis import _convert, cli
from ondalis._terminal import printable, quoted

# Retitles the window (OSC ... BEL), clears the screen, forges a line after a
# carriage return, and holds DEL, the C1 CSI, a backslash and a tab.
EVIL = "\x1b]0;pwned\x07\x1b[2J\rFAKE: x\x7f\u009b31m\\\tend é中文"
EVIL_SHOWN = r"\x1b]0;pwned\x07\x1b[2J\rFAKE: x\x7f\u009b31m\\\tend é中文"
PLAIN = "Ünïcode 中文 ﬁ"

# A file name with controls, a line feed, the C1 CSI (in UTF-8) and a byte
# that is not UTF-8.
NAME = b"take\x1b]0;pwned\x07\r\x7f\nFAKE\xc2\x9b\xff \xc3\xa9\xe4\xb8\xad.wav"
NAME_SHOWN = r"take\x1b]0;pwned\x07\r\x7f\nFAKE\u009b\xff é中.wav"

CUE_NAMES = ("cue\x1b[31m 'q' é", "\u0085next")
CUE_LINE = ("    [{0}] indx={1} position={2} fcc_chunk=1635017060 chunk_start=0 block_start=0 "
            "sample_offset={2} name={3}")
HISTORY = "A=PCM\r\nB=\x1b[2J\rFAKE: y\r\n"
TIMER = ("\x1b[2J", 5)


def write(folder, name, *chunks, frames=4):
    """A hand-built WAV named by the bytes `name` in `folder`."""
    path = pathlib.Path(os.fsdecode(os.path.join(os.fsencode(folder), name)))
    return riff.write_wav(path, *chunks, frames=frames)


@pytest.fixture
def hostile(tmp_path):
    """Every text the command line prints, and the file's name, hostile."""
    return write(tmp_path, NAME,
                 sample_files.list_info({"SF_STR_TITLE": EVIL, "SF_STR_ARTIST": PLAIN,
                                         "SF_STR_COMMENT": b"bad\xff\xfe end"}),
                 sample_files.cue((0, 2), CUE_NAMES),
                 sample_files.bext(dict(sample_files.BEXT, description=EVIL, originator=PLAIN,
                                        coding_history=HISTORY)),
                 sample_files.cart(dict(sample_files.CART, title=EVIL, artist=PLAIN,
                                        tag_text=EVIL), [TIMER]))


def inert(data):
    """`data` as text, asserting it holds nothing a terminal acts on but the
    layout's line feeds and the tab that indents a continued message."""
    text = data.decode("utf-8")  # strict: no byte that is not UTF-8, no surrogate
    acted_on = [char for char in text
                if unicodedata.category(char) in ("Cc", "Zl", "Zp") and char not in "\n\t"]
    assert acted_on == [], text
    return text


def command(*argv):
    return [sys.executable, "-m", "ondalis", *argv]


def through_pipe(*argv, cwd):
    """(exit status, stdout, stderr) of the program with both on pipes."""
    result = subprocess.run(command(*argv), cwd=cwd, capture_output=True, timeout=120)
    return result.returncode, result.stdout, result.stderr


def on_terminal(*argv, cwd):
    """(exit status, what was shown, b"") of the program with stdout and stderr
    on a pseudo-terminal in raw mode: no line-feed translation, so what is
    read is what the program wrote."""
    screen, terminal = pty.openpty()
    tty.setraw(terminal)
    child = subprocess.Popen(command(*argv), cwd=cwd, stdin=subprocess.DEVNULL,
                             stdout=terminal, stderr=terminal)
    os.close(terminal)
    return child.wait(timeout=120), read_screen(screen), b""


def read_screen(screen):
    """What a program shows on the pseudo-terminal whose controlling side is
    `screen`, until it has closed its side; `screen` is closed then."""
    shown = b""
    try:
        while select.select([screen], [], [], 120)[0]:
            try:
                data = os.read(screen, 65536)
            except OSError:  # the program's side is closed and everything was read
                break
            if not data:
                break
            shown += data
    finally:
        os.close(screen)
    return shown


RUNNERS = pytest.mark.parametrize("run", [through_pipe, on_terminal], ids=["pipe", "terminal"])


@pytest.mark.parametrize("text, shown", [
    ("\x00\x1b\x1f \x7e\x7f", r"\x00\x1b\x1f ~\x7f"),
    ("a\r\nb\tc\\d", r"a\r\nb\tc\\d"),
    ("\x80\x9b\x9f\xa0é", "\\u0080\\u009b\\u009f\xa0é"),      # C1, then the first non-control
    ("\u2028\u2029\u0085", r"\u2028\u2029\u0085"),          # line and paragraph separators, NEL
    ("\udc80\udcff\udc7f\ud800", r"\x80\xff\udc7f\ud800"),  # bytes that were not UTF-8, lone
    (b"\xff\xc3\xa9\xc2\x9b\x1b", r"\xffé\u009b\x1b"),      # surrogates; bytes read as UTF-8
    (PLAIN, PLAIN),
    (r"\x1b", r"\\x1b"),  # the text of an escape is not the escape
])
def test_printable(text, shown):
    assert printable(text) == shown


def test_quoted_escapes_the_quote():
    assert quoted("it's \x1b") == r"'it\'s \x1b'"


@RUNNERS
def test_info_shows_every_text_escaped(run, hostile):
    status, out, err = run("info", NAME, cwd=hostile.parent)
    assert (status, err) == (0, b"")
    lines = inert(out).split("\n")
    assert lines[0] == NAME_SHOWN
    for line in ["    title: " + EVIL_SHOWN,
                 "    artist: " + PLAIN,
                 "    comment: bad\ufffd\ufffd end",
                 CUE_LINE.format(0, 1, 0, r"'cue\x1b[31m \'q\' é'"),
                 CUE_LINE.format(1, 2, 2, r"'\u0085next'"),
                 "    description: " + EVIL_SHOWN,
                 "    originator: " + PLAIN,
                 "    coding_history:", "        A=PCM", r"        B=\x1b[2J\rFAKE: y",
                 "    title: " + EVIL_SHOWN,
                 "    artist: " + PLAIN,
                 r"      [0] usage='\x1b[2J' value=5",
                 "    tag_text: " + EVIL_SHOWN]:
        assert line in lines
    # Only the layout starts lines: the file name, two-space fields, deeper nesting.
    assert all(line.startswith("  ") for line in lines[1:] if line)


@RUNNERS
def test_info_json_is_ascii_and_exact(run, hostile):
    status, out, _ = run("info", "--json", NAME, cwd=hostile.parent)
    assert status == 0
    assert inert(out).isascii()
    (found,) = json.loads(out)
    # The byte \xff as U+FFFD, the exact name in base64 beside it.
    assert found["path"] == NAME.decode("utf-8", "replace")
    assert base64.b64decode(found["path_bytes"]) == NAME
    assert found["strings"] == {"title": EVIL, "artist": PLAIN,
                                "comment": "bad\ufffd\ufffd end"}
    assert [cue["name"] for cue in found["cue_points"]] == list(CUE_NAMES)
    assert found["broadcast"]["description"] == EVIL
    assert found["broadcast"]["coding_history"] == HISTORY
    assert (found["cart"]["title"], found["cart"]["artist"]) == (EVIL, PLAIN)
    assert found["cart"]["post_timers"] == [{"usage": TIMER[0], "value": TIMER[1]}]
    assert found["cart"]["tag_text"].startswith(EVIL)


@RUNNERS
def test_convert_shows_its_names_and_progress_escaped(run, tmp_path):
    """A source long enough for the progress bar, with a chunk FLAC drops."""
    write(tmp_path, NAME, sample_files.bext(sample_files.BEXT),
          frames=_convert.PROGRESS_MIN_FRAMES)
    target = b"out\x1b[2J\xff.flac"
    status, out, err = run("convert", NAME, target, cwd=tmp_path)
    assert status == 0
    text = out.decode() + err.decode()
    updates = re.findall(r"\r([^\r\n]*)", text)
    assert updates == [] if run is through_pipe else len(updates) > 10
    assert all(update.startswith(f"converting {NAME_SHOWN} [") for update in updates)
    lines = inert(re.sub(r"\r[^\r\n]*", "", text).encode()).split("\n")
    assert sorted(line for line in lines if line) == [
        r"ondalis: out\x1b[2J\xff.flac does not keep: broadcast extension",
        rf"out\x1b[2J\xff.flac: {_convert.PROGRESS_MIN_FRAMES} frames"]
    assert os.path.exists(os.path.join(os.fsencode(tmp_path), target))


SAME = "same\nondalis: a\n\tb.wav"


@pytest.mark.parametrize("argv, status, starts", [
    # A system error on a file: its name as the system gave it, then the reason.
    (["info", b"gone\x1b[2J\xff\n.wav"], 1,
     [r"ondalis: gone\x1b[2J\xff\n.wav: No such file or directory"]),
    # A line feed in a name a message quotes shows escaped; a line feed and tab
    # continues the message on an indented line, as the open error does.
    (["convert", SAME, "./" + SAME], 1,
     [r"ondalis: same\nondalis: a", "\t" + r"b.wav and ./same\nondalis: a",
      "\tb.wav are the same file"]),
    # libsndfile's refusal quotes the name: each control in it escaped once.
    (["info", "junk\x1b[2J.wav"], 1,
     [r"ondalis: cannot open 'junk\x1b[2J.wav': Format not recognised."]),
    # argparse quotes what was typed.
    (["info", "x.wav", "--js\x1b[2J\u009b"], 2,
     ["usage: ondalis ", r"ondalis: error: unrecognized arguments: --js\x1b[2J\u009b"]),
])
def test_error_messages_are_escaped(tmp_path, argv, status, starts):
    (tmp_path / SAME).write_bytes(b"")
    (tmp_path / "junk\x1b[2J.wav").write_bytes(b"not a sound file" * 10)
    code, out, err = through_pipe(*argv, cwd=tmp_path)
    assert (code, out) == (status, b"")
    lines = inert(err).split("\n")
    assert len(lines) == len(starts) + 1 and lines[-1] == ""
    for line, start in zip(lines, starts):
        assert line.startswith(start), line


def test_warnings_are_shown_escaped_and_showwarning_given_back(tmp_path):
    """While main runs, a warning (the library's quote file names and texts
    from files) is printed as an error is, escaped on one line; afterwards the
    caller's showwarning is back."""
    path = write(tmp_path, NAME, sample_files.bext(sample_files.BEXT))
    before = warnings.showwarning
    assert cli.main(["info", str(path)]) == 0
    assert warnings.showwarning is before
    shown = io.StringIO()
    with warnings.catch_warnings():
        cli._show_warning(UserWarning(f"{os.fsdecode(NAME)}: cannot read the cart"),
                          UserWarning, __file__, 1, shown)
    assert shown.getvalue() == f"ondalis: warning: {NAME_SHOWN}: cannot read the cart\n"
