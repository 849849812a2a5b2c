"""The command line at scale: directories (-r), threads (--jobs), --jsonl as a
stream, convert --outdir, progress bars that fit the terminal, and Ctrl-C.
Sound files are written by `wave` and soundfile; terminals are real
pseudo-terminals of a set size; interrupts are real SIGINTs to real programs."""
import fcntl
import io
import json
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import tty
import wave

import numpy as np
import pytest
import soundfile

from ondalis import _batch, _convert, _progress, cli
from test_cli_terminal import read_screen

WAIT = 60  # seconds before a test gives up on a program that should have answered


def run(capsys, *argv):
    """main(argv) -> (exit status, stdout, stderr)."""
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def command(*argv):
    return [sys.executable, "-W", "ignore", "-m", "ondalis", *map(str, argv)]


def program(*argv, cwd):
    return subprocess.run(command(*argv), cwd=cwd, capture_output=True, text=True, timeout=120)


def pcm16(path, frames, rate=8000):
    """A mono 16-bit WAV by the standard library, its samples 0, 1, 2, ..."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.arange(frames, dtype="<i2").tobytes())
    return path


def by_soundfile(path, frames, **options):
    path.parent.mkdir(parents=True, exist_ok=True)
    soundfile.write(path, (np.arange(frames) % 100 - 50).astype(np.int16), 8000, **options)
    return path


@pytest.fixture
def tree(tmp_path):
    """sounds/: two sound files, a broken one, a text file, a hidden sound file,
    a subdirectory two deep and a hidden one."""
    top = tmp_path / "sounds"
    by_soundfile(top / "a.flac", 50)
    pcm16(top / "b.wav", 60)
    (top / "broken.wav").write_bytes(b"RIFF\x10\0\0\0WAVEjunkjunk")
    (top / "notes.txt").write_text("not sound\n")
    pcm16(top / ".hidden.wav", 10)
    pcm16(top / "sub" / "d.wav", 70)
    by_soundfile(top / "sub" / "deeper" / "e.au", 80)
    pcm16(top / ".cache" / "f.wav", 10)
    return top


LISTED = ["a.flac", "b.wav", "broken.wav"]
LISTED_RECURSIVELY = LISTED + ["sub/d.wav", "sub/deeper/e.au"]


def broken_message(path):
    return f"ondalis: cannot open {str(path)!r}: "


# --- info over directories, threads and JSON ------------------------------------------

@pytest.mark.parametrize("options, listed", [([], LISTED), (["-r"], LISTED_RECURSIVELY),
                                             (["-r", "--jobs", "3"], LISTED_RECURSIVELY)])
def test_info_describes_the_sound_files_of_a_directory(capsys, tree, options, listed):
    status, out, err = run(capsys, "info", tree, *options)
    assert status == 1  # the broken file
    described = [line for line in out.splitlines() if line and not line.startswith(" ")]
    assert described == [str(tree / name) for name in listed if name != "broken.wav"]
    assert "\n\n" + str(tree / "b.wav") + "\n" in out  # a blank line between two files
    line, count = err.splitlines()
    assert line.startswith(broken_message(tree / "broken.wav"))
    assert count == f"ondalis: {len(listed)} entries: {len(listed) - 1} ok, 1 failed, 0 skipped"


@pytest.fixture
def archive(tree, tmp_path):
    """Inputs of every kind for --json: a tree, twenty files whose lengths tell
    them apart, a named file of no sound extension and a missing one."""
    for n in range(20):
        pcm16(tree / "bulk" / f"n{n:02}.wav", n + 1)
    odd = shutil.copy(tree / "b.wav", tmp_path / "take.data")
    return ["-r", tree, odd, tmp_path / "missing.wav"]


def test_json_lists_every_input_in_order_with_its_error_in_its_place(archive, tree, tmp_path):
    result = program("info", *archive, "--json", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, "")
    entries = json.loads(result.stdout)
    assert result.stdout == json.dumps(entries, indent=2) + "\n"  # streamed as one dump prints it
    bulk = [f"bulk/n{n:02}.wav" for n in range(20)]
    order = LISTED[:2] + ["broken.wav"] + bulk + LISTED_RECURSIVELY[3:]
    paths = [str(tree / name) for name in order] + [str(archive[2]), str(archive[3])]
    assert [entry["path"] for entry in entries] == paths
    errors = {entry["path"]: entry for entry in entries if "error" in entry}
    assert errors.keys() == {str(tree / "broken.wav"), str(archive[3])}
    assert errors[str(archive[3])] == {"path": str(archive[3]),
                                       "error": "No such file or directory"}
    assert errors[str(tree / "broken.wav")]["error"].startswith("cannot open ")
    for entry in entries:
        if "error" not in entry:
            found = soundfile.info(entry["path"])
            assert (entry["frames"], entry["samplerate"]) == (found.frames, found.samplerate)


@pytest.mark.parametrize("jobs", ["1", "4"])
def test_threads_give_the_same_results(archive, tmp_path, jobs):
    """--json: the same list, in the same order; --jsonl: the same objects,
    one compact ASCII line each, in the order they finish."""
    one = json.loads(program("info", *archive, "--json", cwd=tmp_path).stdout)
    many = program("info", *archive, "--json", "--jobs", jobs, cwd=tmp_path)
    assert many.returncode == 1 and json.loads(many.stdout) == one
    lines = program("info", *archive, "--jsonl", "-j", jobs, cwd=tmp_path).stdout.splitlines()
    assert all(line.isascii() and line == json.dumps(json.loads(line), separators=(",", ":"))
               for line in lines)
    path = lambda entry: entry["path"]  # noqa: E731
    assert sorted(map(json.loads, lines), key=path) == sorted(one, key=path)


def readline(stream):
    """The next line the program prints, waiting at most WAIT seconds."""
    assert select.select([stream], [], [], WAIT)[0], "the program printed nothing"
    return stream.readline()


def test_jsonl_prints_each_file_as_soon_as_it_is_read(tree, tmp_path):
    """The second input is a FIFO that the test fills only once it has read
    the first file's line: a program that held its output would never get it."""
    later = tmp_path / "later.wav"
    os.mkfifo(later)
    child = subprocess.Popen(command("info", "--jsonl", tree / "b.wav", later), cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert json.loads(readline(child.stdout))["path"] == str(tree / "b.wav")
        assert child.poll() is None
        with open(later, "wb") as fifo:
            fifo.write(pcm16(tmp_path / "source.wav", 33).read_bytes())
        second = json.loads(readline(child.stdout))
        assert (second["path"], second["frames"]) == (str(later), 33)
        assert child.wait(timeout=WAIT) == 0 and child.stderr.read() == ""
    finally:
        child.kill()
        child.wait()


def test_threads_take_jobs_through_a_bounded_window():
    """N jobs run at once (a barrier of N passes only so), and the inputs are
    taken no faster than the window needs: a listing of millions is never
    turned into futures at once."""
    threads, taken = 4, []
    barrier = threading.Barrier(threads, timeout=WAIT)

    def inputs():
        for n in range(2000):
            taken.append(n)
            yield n, (ValueError(f"bad {n}") if n == 5 else None)

    def job(n):
        if n < threads:
            barrier.wait()
        if n == 7:
            raise KeyError(n)
        return n * n

    found = _batch.outcomes(job, inputs(), threads, (ValueError, KeyError))
    assert next(found) == (0, 0, None)
    assert len(taken) <= threads * _batch.WINDOW_PER_THREAD + 1
    rest = list(found)
    assert [item for item, _, _ in rest] == list(range(1, 2000))
    errors = {item: error for item, _, error in rest if error is not None}
    assert {item: repr(error) for item, error in errors.items()} == {
        5: "ValueError('bad 5')", 7: "KeyError(7)"}
    assert all(result == item * item for item, result, error in rest if error is None)


def test_a_fault_in_a_job_is_raised_not_reported():
    def job(n):
        raise TypeError("a bug")
    for ordered in (True, False):
        with pytest.raises(TypeError, match="a bug"):
            list(_batch.outcomes(job, [(1, None), (2, None)], 2, OSError, ordered=ordered))


def test_quick_jobs_run_here_and_slow_ones_go_back_to_the_threads():
    """A job of a small file costs less than handing it to a thread: after a
    sample of quick jobs the rest run on the calling thread, until jobs turn
    slow, which go to the threads again; the order of the results is kept."""
    here = threading.get_ident()
    ran = {}

    def job(n):
        ran[n] = threading.get_ident()
        if n >= 200:
            time.sleep(_batch.INLINE_BELOW * _batch.PACE_SAMPLE)
        return n

    found = list(_batch.outcomes(job, ((n, None) for n in range(240)), 2, OSError))
    assert found == [(n, n, None) for n in range(240)]
    assert ran[0] != here
    assert any(ran[n] == here for n in range(100, 200))
    assert all(ran[n] != here for n in range(220, 240))


# --- convert into a folder ------------------------------------------------------------

@pytest.mark.parametrize("options, suffixes, format", [
    ([], {"a": ".flac", "b": ".wav", "d": ".wav", "e": ".au", "x": ".wav"}, None),
    (["--major", "AIFF", "--jobs", "3"], dict.fromkeys("abdex", ".aif"), "AIFF"),
    (["--ext", ".w64"], dict.fromkeys("abdex", ".w64"), "W64"),
    (["--major", "wavex", "--ext", "wav", "-j", "2"], dict.fromkeys("abdex", ".wav"), "WAVEX"),
    (["--flat", "-j", "2"], {"a": ".flac", "b": ".wav", "d": ".wav", "e": ".au", "x": ".wav"},
     None),
])
def test_convert_into_a_folder(tree, tmp_path, options, suffixes, format):
    """The folders below a directory IN are mirrored below --outdir (with
    --flat every target is at the top); a file named itself goes to the top."""
    extra = pcm16(tmp_path / "elsewhere" / "x.wav", 90)
    outdir = tmp_path / "out" / "new"  # made, parents and all
    result = program("convert", tree, extra, "-r", "--outdir", outdir, *options, cwd=tmp_path)
    assert result.returncode == 1  # the broken file, which does not stop the rest
    line, count = result.stderr.splitlines()
    assert line.startswith(broken_message(tree / "broken.wav"))
    assert count == "ondalis: 6 entries: 5 ok, 1 failed, 0 skipped"
    sources = {"a": tree / "a.flac", "b": tree / "b.wav", "d": tree / "sub" / "d.wav",
               "e": tree / "sub" / "deeper" / "e.au", "x": extra}
    places = {"a": "", "b": "", "d": "sub", "e": "sub/deeper", "x": ""}
    targets = {stem: outdir / ("" if "--flat" in options else places[stem]) / (stem + suffix)
               for stem, suffix in suffixes.items()}
    assert sorted(result.stdout.splitlines()) == sorted(
        f"{targets[stem]}: {soundfile.info(source).frames} frames"
        for stem, source in sources.items())
    written = sorted(os.path.join(folder, name) for folder, _, names in os.walk(outdir)
                     for name in names)
    assert written == sorted(map(str, targets.values()))
    for stem, source in sources.items():
        written = soundfile.info(targets[stem])
        assert format is None or written.format == format
        assert np.array_equal(soundfile.read(targets[stem], dtype="int16")[0],
                              soundfile.read(source, dtype="int16")[0])


@pytest.mark.parametrize("names, options, message", [
    (["a/x.wav", "b/x.wav"], [], "{0} and {1} would both be written to {out}/x.wav; "
                                 "nothing was converted"),
    (["a/x.wav", "a/x.flac"], ["--major", "wav"],
     "{0} and {1} would both be written to {out}/x.wav; nothing was converted"),
    (["a/x.wav"], ["--major", "wavex"], "wavex files have no extension of their own; give --ext"),
    (["a/x.wav"], ["--major", "nope"], "unknown major format 'nope'; choose from aiff, "),
    (["a/x.wav"], ["--major", "flac", "--encoding", "float32"],
     "flac files do not take the encoding 'float32'"),
    # --ext is an extension: a name that would lead out of --outdir is refused
    (["a/x.wav"], ["--ext", "/../../x.wav"], "--ext '/../../x.wav' is not an extension"),
    (["a/x.wav"], ["--ext", "../x"], "--ext '../x' is not an extension"),
    (["a/x.wav"], ["--ext", "..wav"], "--ext '..wav' is not an extension"),
    (["a/x.wav"], ["--ext", "a.b"], "--ext 'a.b' is not an extension"),
    (["a/x.wav"], ["--ext", ""], "--ext '' is not an extension"),
])
def test_convert_refuses_a_batch_before_writing_anything(capsys, tmp_path, names, options,
                                                         message):
    paths = [by_soundfile(tmp_path / name, 10) for name in names]
    outdir = tmp_path / "out"
    status, out, err = run(capsys, "convert", *paths, "--outdir", outdir, *options)
    assert (status, out) == (1, "")
    assert err.startswith("ondalis: " + message.format(*paths, out=outdir)) and err.count("\n") == 1
    assert not outdir.exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted({n.split("/")[0] for n in names})


# --- progress bars on a real terminal ------------------------------------------------

def on_terminal(argv, columns, cwd):
    """(exit status, stdout, what stderr showed) of a program whose stderr is
    a pseudo-terminal `columns` wide, in raw mode (what is read is what was
    written), and whose stdout is a pipe."""
    screen, terminal = pty.openpty()
    tty.setraw(terminal)
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    child = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=terminal)
    os.close(terminal)
    shown = read_screen(screen)
    out = child.stdout.read()
    return child.wait(timeout=WAIT), out, shown.decode()


@pytest.fixture
def long_source(tmp_path):
    """Just long enough for a progress bar."""
    return pcm16(tmp_path / "long.wav", _convert.PROGRESS_MIN_FRAMES, rate=44100)


def redraws(shown):
    """Every stretch of a line between two carriage returns or line feeds."""
    return [piece for piece in re.split("[\r\n]", shown) if piece]


@pytest.mark.parametrize("columns", [40, 80, 200])
def test_progress_bars_fill_the_terminal_and_never_wrap(tmp_path, long_source, columns):
    code, out, shown = on_terminal(command("convert", long_source, tmp_path / "o.flac"),
                                   columns, tmp_path)
    assert (code, out) == (0, f"{tmp_path / 'o.flac'}: {_convert.PROGRESS_MIN_FRAMES} frames\n"
                              .encode())
    bars = redraws(shown)
    assert len(bars) > 10 and {len(bar) for bar in bars} == {columns}
    assert all(bar.startswith("converting long.wav [") for bar in bars)
    assert shown.endswith("] 100%\n")

    # A batch counts files; a long name is shortened where the terminal is narrow.
    names = ["s1.wav", "a-take-with-a-rather-long-name-indeed.wav", "s3.wav", "s4.wav"]
    inputs = [pcm16(tmp_path / "in" / name, 20) for name in names]
    code, out, shown = on_terminal(command("convert", *inputs, "--outdir", tmp_path / "out"),
                                   columns, tmp_path)
    assert code == 0 and len(out.splitlines()) == 4
    bars = redraws(shown)
    assert {len(bar) for bar in bars if bar.strip()} == {columns}
    assert [re.match(r"converting (\d)/4 ", bar).group(1) for bar in bars if bar.strip()] == \
        ["1", "2", "3", "4"]
    assert ("\u2026" in shown) == (columns == 40)
    assert shown.endswith("] 100%\n")


@pytest.mark.parametrize("terminal, argv", [
    (False, ["convert", "{long}", "{in}", "--outdir", "{out}"]),   # stderr a pipe
    (True, ["convert", "-q", "{long}", "{in}", "--outdir", "{out}"]),
    (True, ["convert", "-q", "{long}", "{out}/long.wav"]),
])
def test_no_bar_in_a_pipe_or_when_quiet(tmp_path, long_source, terminal, argv):
    pcm16(tmp_path / "in" / "short.wav", 20)
    (tmp_path / "out").mkdir()
    argv = [arg.format(long=long_source, out=tmp_path / "out", **{"in": tmp_path / "in"})
            for arg in argv]
    if terminal:
        code, _, shown = on_terminal(command(*argv), 80, tmp_path)
    else:
        result = subprocess.run(command(*argv), cwd=tmp_path, capture_output=True, text=True,
                                timeout=120)
        code, shown = result.returncode, result.stderr
    assert (code, shown) == (0, "")
    assert soundfile.info(tmp_path / "out" / "long.wav").frames == _convert.PROGRESS_MIN_FRAMES


def test_the_library_draws_no_bar_by_default(tmp_path, long_source):
    code = "import sys, ondalis; ondalis.convert(sys.argv[1], sys.argv[2])"
    status, _, shown = on_terminal([sys.executable, "-c", code, long_source, tmp_path / "o.wav"],
                                   80, tmp_path)
    assert (status, shown) == (0, "")
    assert soundfile.info(tmp_path / "o.wav").frames == _convert.PROGRESS_MIN_FRAMES


def test_a_bar_follows_a_resized_terminal():
    screen, terminal = pty.openpty()
    tty.setraw(terminal)
    stream = open(terminal, "w", encoding="utf-8", closefd=False)
    try:
        line = _progress.StatusLine(stream)
        for columns in (80, 30, 120):
            fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
            line.show("converting take.wav", 50)
        line.end()
        shown = b""
        while select.select([screen], [], [], 0)[0]:
            shown += os.read(screen, 65536)
    finally:
        stream.close()
        os.close(terminal)
        os.close(screen)
    assert [len(bar) for bar in redraws(shown.decode())] == [80, 30, 120]
    assert shown.endswith(b"50%\n")


@pytest.mark.parametrize("text, cells", [("take.wav", 8), ("é中文x", 6), ("e\u0301", 1), ("", 0)])
def test_cells(text, cells):
    assert _progress.cells(text) == cells


@pytest.mark.parametrize("label", ["converting take.wav", "converting 12/120 " + "中文" * 30, ""])
def test_a_bar_is_exactly_as_wide_as_asked_at_any_width(label):
    for width in range(1, 160):
        for percent in (0, 37, 100, 250):
            text = _progress.bar_text(label, percent, width)
            assert _progress.cells(text) == width, (width, text)
            if width >= _progress.cells(label) + 8 + _progress.MIN_BAR:
                assert text.startswith(label + " [")
            elif width >= _progress.MIN_LABEL + 8 + _progress.MIN_BAR:
                assert "\u2026 [" in text
            if width >= 4:
                assert text.endswith(f"{min(percent, 100):3d}%")


# --- Ctrl-C ---------------------------------------------------------------------------

def interruptible(argv, cwd, **pipes):
    """The program, started with SIGINT at its default (as a shell starts a
    foreground job), so that Python's own handler is in place."""
    return subprocess.Popen(command(*argv), cwd=cwd, stdin=subprocess.DEVNULL,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
                            **pipes)


def endless_wav():
    """The header of a mono 16-bit WAV that announces 2^30 frames."""
    header = io.BytesIO()
    with wave.open(header, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
    data = 2 ** 31
    return b"RIFF" + struct.pack("<I", 36 + data) + header.getvalue()[8:40] + \
        struct.pack("<I", data)


def feed_until_exit(fifo, child, started):
    """Writes a never-ending WAV into `fifo`, as a live recording would,
    sends SIGINT once `started()` says the program is writing its target, and
    goes on writing until the program has exited; returns its exit status."""
    deadline = time.monotonic() + WAIT
    fd = None
    while fd is None:  # until the program has the FIFO open for reading
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # ENXIO: no reader yet
            assert child.poll() is None and time.monotonic() < deadline, child.communicate()
            time.sleep(0.01)
    os.write(fd, endless_wav())
    sent = False
    try:
        while child.poll() is None:
            if not sent and started():
                child.send_signal(signal.SIGINT)
                sent = True
            if time.monotonic() > deadline:
                child.kill()
                pytest.fail("the program did not " + ("stop" if sent else "start writing"))
            if select.select([], [fd], [], 0.05)[1]:
                try:
                    os.write(fd, bytes(4096))
                except BrokenPipeError:
                    break
                except BlockingIOError:
                    pass
    finally:
        os.close(fd)
    return child.wait(timeout=WAIT)


def converting(folder, name):
    """Whether the new file written for `name` (in the writer's own hidden
    folder beside it) holds frames by now: the conversion is in its loop,
    past opening its files."""
    return any(entry.name.startswith(f".{name}.") and entry.is_dir()
               and any(inner.stat().st_size > 65536 for inner in os.scandir(entry.path))
               for entry in os.scandir(folder))


@pytest.mark.parametrize("batch", [False, True])
def test_ctrl_c_stops_a_conversion_and_leaves_the_old_target(tmp_path, batch):
    live = tmp_path / "live.wav"
    os.mkfifo(live)
    out = tmp_path / "out"
    old = pcm16(out / "live.wav", 5).read_bytes()
    argv = ["convert", live, *([pcm16(tmp_path / "b.wav", 10), "--outdir", out, "-j", "2"]
                               if batch else [out / "live.wav"])]
    child = interruptible(argv, tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    status = feed_until_exit(live, child, lambda: converting(out, "live.wav"))
    assert (status, child.stderr.read()) == (cli.INTERRUPTED, b"ondalis: interrupted\n")
    assert (out / "live.wav").read_bytes() == old
    assert set(os.listdir(out)) <= {"live.wav", "b.wav"}  # nothing half written beside it


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_ctrl_c_stops_a_batch_info(tmp_path, jobs):
    """The program prints the first file, then waits to open FIFOs that
    nobody ever writes to; SIGINT ends it there."""
    fifos = [tmp_path / f"f{n}.wav" for n in range(3)]
    for fifo in fifos:
        os.mkfifo(fifo)
    first = pcm16(tmp_path / "first.wav", 4)
    child = interruptible(["info", "--jsonl", "-j", jobs, first, *fifos], tmp_path,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert json.loads(readline(child.stdout))["path"] == str(first)
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=WAIT) == cli.INTERRUPTED
        assert child.stdout.read() == b"" and child.stderr.read() == b"ondalis: interrupted\n"
    finally:
        child.kill()
        child.wait()
