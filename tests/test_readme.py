"""The README's examples run: its Python blocks in order, in one namespace, in
a fresh folder, and its command-line sessions against the real output."""
import contextlib
import io
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def blocks(kind):
    """The contents of the README's fenced blocks of one kind, in order."""
    return re.findall(rf"^```{kind}\n(.*?)^```$", README.read_text(), re.M | re.S)


def sessions():
    """(command line, expected output lines) of every `$ ` line of the console blocks."""
    found = []
    for block in blocks("console"):
        for chunk in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, *output = chunk.rstrip("\n").split("\n")
            found.append((command, output))
    return found


def matches(expected, actual):
    """Whether the actual lines are the expected ones, where a line '...'
    stands for any number of lines."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    return bool(actual) and actual[0] == expected[0] and matches(expected[1:], actual[1:])


def test_the_readme_has_examples_of_each_part():
    code = "\n".join(blocks("python"))
    for name in ("ondalis.read(", "ondalis.write(", "ondalis.info(", "ondalis.blocks(",
                 "ondalis.convert(", "ondalis.check(", "path_bytes", "Ondalis(", "SFC_SET_CUE",
                 "SFC_SET_BROADCAST_INFO", "SFC_SET_CART_INFO"):
        assert name in code
    assert [command.split()[1] for command, _ in sessions()] == [
        "info", "convert", "formats", "convert", "check"]


@pytest.fixture(scope="module")
def examples(tmp_path_factory):
    """Runs the Python blocks in a fresh folder; returns (folder, what they
    printed). The command-line sessions then use the files they made."""
    folder = tmp_path_factory.mktemp("readme")
    namespace = {"__name__": "__readme__"}
    printed = io.StringIO()
    here = os.getcwd()
    os.chdir(folder)
    try:
        with contextlib.redirect_stdout(printed):
            for number, code in enumerate(blocks("python"), 1):
                try:
                    exec(compile(code, f"README.md python block {number}", "exec"), namespace)
                except Exception as error:
                    pytest.fail(f"python block {number} fails: {error!r}\n{code}")
    finally:
        os.chdir(here)
    return folder, printed.getvalue()


def test_the_python_examples_run(examples):
    _, printed = examples
    assert "flac files do not take the encoding 'float32'" in printed
    assert "48000 2 48000 wav float32" in printed
    assert ("CheckResult(path='tone.flac', ok=True, frames=44100, expected_frames=44100, "
            "error=None, md5='match')") in printed
    assert "tone.wav\nsamplerate: 44100 Hz\nchannels: 2\n" in printed
    assert "mirror/day2/b.flac: 44100 frames" in printed


def test_the_command_line_sessions_print_what_the_readme_shows(examples):
    folder, _ = examples
    for command, expected in sessions():
        argv = shlex.split(command)
        assert argv[0] == "ondalis"
        result = subprocess.run([sys.executable, "-W", "ignore", "-m", "ondalis", *argv[1:]],
                                cwd=folder, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        actual = result.stdout.rstrip("\n").split("\n")
        assert matches(expected, actual), f"$ {command}\n{result.stdout}"


@pytest.mark.parametrize("expected, actual, result", [
    (["a", "...", "d"], ["a", "b", "c", "d"], True),
    (["a", "...", "d"], ["a", "d"], True),
    (["a", "..."], ["a"], True),
    (["a", "...", "d"], ["a", "b"], False),
    (["a", "b"], ["a", "c"], False),
])
def test_the_output_pattern(expected, actual, result):
    assert matches(expected, actual) is result
