"""The ondalis command line, called as main([...]) and as a program
(`python -m ondalis` and the installed console script)."""
import dataclasses
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
import soundfile

import ondalis
import sample_files
from ondalis import _api, _convert, cli


def run(capsys, *argv):
    """main(argv) -> (exit status, stdout, stderr)."""
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def program(*argv, cwd):
    """`python -m ondalis argv...` in a new process, away from the source tree."""
    return subprocess.run([sys.executable, "-W", "ignore", "-m", "ondalis", *map(str, argv)],
                          cwd=cwd, capture_output=True, text=True, timeout=120)


@pytest.fixture
def titled_wav(tmp_path):
    """A 16-bit stereo WAV with a title and an artist, written by soundfile."""
    path = tmp_path / "titled.wav"
    with soundfile.SoundFile(path, "w", 8000, 2, "PCM_16") as f:
        f.title = "Song title"
        f.artist = "Somebody"
        f.write(np.zeros((8000, 2), dtype=np.int16))
    return path


@pytest.fixture
def every(tmp_path):
    return sample_files.every_metadata_wav(tmp_path / "every.wav")


# --- info ---------------------------------------------------------------------------

def test_info_text(capsys, titled_wav):
    status, out, err = run(capsys, "info", str(titled_wav))
    assert status == 0 and err == ""
    assert out.splitlines() == [
        str(titled_wav),
        "  format: wav, pcm16 (0x00010002)",
        "  channels: 2",
        "  samplerate: 8000 Hz",
        "  frames: 8000 (1.000 s)",
        "  strings:",
        "    title: Song title",
        "    artist: Somebody",
        "  chunks:",
        "    'RIFF' 32086 bytes",
        "    'fmt ' 16 bytes",
        "    'LIST' 42 bytes",
        "    'data' 32000 bytes",
    ]


def test_info_text_shows_every_kind_of_metadata(capsys, every):
    status, out, _ = run(capsys, "info", str(every))
    assert status == 0
    for line in ["  cue points:",
                 "    [1] indx=2 position=150 fcc_chunk=1635017060 chunk_start=0 "
                 "block_start=0 sample_offset=150 name=''",
                 "  instrument:", "    basenote: 60",
                 "    loops:", "      [0] mode='SF_LOOP_FORWARD' start=20 end=81 count=3",
                 "    future: 0, 0, 0, 0, 0, 0",
                 "  loop info:", "    bpm: 120.0",
                 "  broadcast:", "    originator: An originator",
                 "    coding_history: A=PCM", "    tag_text: A tag text",
                 "  cart:", "    post_timers:", "      [1] usage='SEC1' value=7",
                 "    url: http://example.org/a",
                 "  channel map: SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT"]:
        assert line in out.splitlines()


def test_info_json_is_the_whole_description_of_each_file(capsys, titled_wav, every):
    status, out, _ = run(capsys, "info", str(titled_wav), str(every), "--json")
    assert status == 0
    first, second = json.loads(out)
    sf_info = soundfile.info(titled_wav)
    assert (first["frames"], first["samplerate"], first["channels"]) == (
        sf_info.frames, sf_info.samplerate, sf_info.channels)
    assert first["strings"] == {"title": "Song title", "artist": "Somebody"}
    assert first["cue_points"] == [] and first["cart"] is None
    assert second["path"] == str(every)
    assert second["broadcast"]["time_reference"] == sample_files.BEXT["time_reference"]
    assert second["broadcast"]["umid"] == "00" * 64
    assert second["cart"]["post_timers"] == [{"usage": "MRK ", "value": 42},
                                             {"usage": "SEC1", "value": 7}]
    assert second["loop_info"]["root_key"] == 62
    assert second["channel_map"] == ["SF_CHANNEL_MAP_LEFT", "SF_CHANNEL_MAP_RIGHT"]


def test_info_goes_on_past_a_file_it_cannot_open(capsys, titled_wav, tmp_path):
    status, out, err = run(capsys, "info", str(tmp_path / "missing.wav"), str(titled_wav))
    assert status == 1
    assert err.startswith(f"ondalis: {tmp_path / 'missing.wav'}: No such file or directory\n")
    assert out.startswith(str(titled_wav))


@pytest.mark.parametrize("argv, said", [
    ([], "required: COMMAND"),
    (["info"], "required: PATH"),
    (["info", "a.wav", "--json", "--jsonl"], "not allowed with argument"),
    (["info", "a.wav", "--jobs", "0"], "not a number of threads (1 or more): '0'"),
    # The form without --outdir takes exactly IN OUT, and no option of a batch.
    (["convert", "a.wav"], "give IN OUT, or IN... --outdir DIR"),
    (["convert", "a.wav", "b.wav", "c.wav"], "give IN OUT, or IN... --outdir DIR"),
    (["convert", "a.wav", "b.wav", "-r", "--ext", "flac"], "-r, --ext: only with --outdir DIR"),
])
def test_usage_errors_exit_with_status_2(capsys, tmp_path, argv, said):
    with pytest.raises(SystemExit) as excinfo:
        cli.main(argv)
    assert excinfo.value.code == 2
    assert said in capsys.readouterr().err
    assert list(tmp_path.iterdir()) == []


# --- formats ------------------------------------------------------------------------

def test_formats_lists_every_major_format_with_its_extensions_and_encodings(capsys):
    status, out, _ = run(capsys, "formats", "--json")
    assert status == 0
    table = json.loads(out)
    assert list(table) == ondalis.get_sndfile_formats()
    assert {major: known["encodings"] for major, known in table.items()} == {
        major: ondalis.get_sndfile_encodings(major) for major in ondalis.get_sndfile_formats()}
    # Every extension the package reads a format from, in its own order.
    assert {(extension, major) for major, known in table.items()
            for extension in known["extensions"]} == set(_api._EXTENSION_FORMATS.items())
    assert table["wav"]["extensions"] == ["wav", "wave"]
    assert table["aiff"]["extensions"] == ["aif", "aiff", "aifc"]
    assert table["wavex"]["extensions"] == []

    status, out, _ = run(capsys, "formats")
    assert status == 0
    lines = out.splitlines()
    assert len(lines) == len(table)
    assert lines[0].startswith("aiff (.aif, .aiff, .aifc): pcms8, pcm16, pcm24,")
    for line in ["wav (.wav, .wave): " + ", ".join(table["wav"]["encodings"]),
                 "flac (.flac): pcms8, pcm16, pcm24",
                 "wavex: " + ", ".join(table["wavex"]["encodings"])]:
        assert line in lines


# --- convert ------------------------------------------------------------------------

def carried(found):
    """The metadata convert carries, as libsndfile stores it again: the coding
    history gets a line per write, so only its start must survive, and the
    cart's tag text ends in a line break and pad bytes once written."""
    cart = found.cart and dataclasses.replace(found.cart,
                                              tag_text=found.cart.tag_text.rstrip("\r\n\0"))
    return {"strings": found.strings, "cue_points": found.cue_points,
            "instrument": found.instrument, "cart": cart,
            "broadcast": found.broadcast and (found.broadcast.description,
                                              found.broadcast.time_reference),
            "channel_map": found.channel_map}


@pytest.mark.parametrize("target, major, kept, lost", [
    # The acid chunk (loop information) is carried as a chunk of its own.
    ("out.wav", None, ["strings", "cue_points", "instrument", "broadcast", "cart"],
     ["channel map"]),
    ("out.wav", "wavex", ["strings", "cue_points", "instrument", "broadcast", "channel_map"],
     ["cart chunk"]),
    ("out.rf64", None, ["strings", "broadcast", "cart", "channel_map"],
     ["cue points", "instrument", "loop information"]),
    ("out.caf", None, ["strings", "channel_map"],
     ["cue points", "instrument", "broadcast extension", "cart chunk", "loop information",
      "chunk 'acid'"]),
    ("out.flac", None, ["strings"],
     ["cue points", "instrument", "broadcast extension", "cart chunk", "channel map",
      "loop information", "chunk 'acid'"]),
])
def test_convert_carries_metadata_where_the_target_takes_it(capsys, every, tmp_path, target,
                                                            major, kept, lost):
    out_path = tmp_path / target
    argv = ["convert", str(every), str(out_path)] + (["--major", major] if major else [])
    status, out, err = run(capsys, *argv)
    assert status == 0
    assert out == f"{out_path}: {sample_files.FRAMES} frames\n"
    assert err == f"ondalis: {out_path} does not keep: {', '.join(lost)}\n"
    source, written = carried(ondalis.info(every)), carried(ondalis.info(out_path))
    for field in kept:
        assert written[field] == source[field], field
    # The audio, read back by a reader that is not ours, sample for sample.
    back, rate = soundfile.read(out_path, dtype="int16")
    assert rate == sample_files.SAMPLERATE and np.array_equal(back, sample_files.samples())


def test_convert_keeps_the_coding_history_it_was_given(every, tmp_path):
    ondalis.convert(every, tmp_path / "out.wav")
    history = ondalis.info(tmp_path / "out.wav").broadcast.coding_history
    assert history.startswith(sample_files.BEXT["coding_history"])


@pytest.mark.parametrize("subtype, target, options, expected, narrowed", [
    ("PCM_24", "out.flac", [], "PCM_24", None),        # the source's encoding when OUT takes it
    ("PCM_32", "out.flac", [], "PCM_24", "pcm32 to pcm24"),   # else the widest exact one,
    ("FLOAT", "out.flac", [], "PCM_24", "float32 to pcm24"),  # said when it narrows
    ("PCM_24", "out.au", ["--encoding", "pcm16"], "PCM_16", "pcm24 to pcm16"),
    ("FLOAT", "out.flac", ["--encoding", "pcm24"], "PCM_24", "float32 to pcm24"),
    ("PCM_U8", "out.flac", [], "PCM_S8", None),
    ("PCM_16", "out.ogg", [], "VORBIS", "pcm16 to vorbis"),
    ("PCM_16", "out.data", ["--major", "aiff"], "PCM_16", None),
])
def test_convert_chooses_the_encoding(capsys, tmp_path, subtype, target, options, expected,
                                      narrowed):
    source = tmp_path / "in.wav"
    data = 0.5 * np.sin(np.linspace(0, 100, 2000))
    soundfile.write(source, data, 16000, subtype=subtype)
    status, _, err = run(capsys, "convert", str(source), str(tmp_path / target), *options)
    assert status == 0
    said = f"ondalis: {tmp_path / target} holds less precision: {narrowed}\n"
    assert (said in err) == (narrowed is not None), err
    found = soundfile.info(tmp_path / target)
    assert found.subtype == expected and found.frames == 2000
    if expected != "VORBIS":
        back, _ = soundfile.read(tmp_path / target)
        step = {"PCM_S8": 2.0 ** -7, "PCM_16": 2.0 ** -15}.get(expected, 2.0 ** -23)
        assert np.max(np.abs(back - data)) <= step


@pytest.mark.skipif("mpeg" not in ondalis.get_sndfile_formats(), reason="no MPEG support")
def test_convert_decodes_mp3_into_pcm16_for_wav(tmp_path):
    """WAV lists an MP3 encoding that libsndfile cannot write: an MP3 source
    goes into WAV as 16-bit PCM, and that is no narrowing worth a word."""
    source = tmp_path / "in.mp3"
    tone = 0.5 * np.sin(2 * np.pi * 440 * np.arange(22050) / 44100)
    soundfile.write(source, np.column_stack([tone, tone]), 44100, format="MP3")
    done = ondalis.convert(source, tmp_path / "out.wav", progress=False)
    assert soundfile.info(tmp_path / "out.wav").subtype == "PCM_16"
    assert done.narrowed is None and done.frames == soundfile.info(tmp_path / "out.wav").frames
    mp3, _ = soundfile.read(source)
    wav, _ = soundfile.read(tmp_path / "out.wav")
    assert len(wav) == len(mp3) and np.max(np.abs(wav - mp3)) <= 2.0 ** -15


@pytest.mark.parametrize("options, message", [
    (["--encoding", "float32"],
     "ondalis: flac files do not take the encoding 'float32'; choose from pcms8, pcm16, pcm24\n"),
    (["--major", "nope"], None),
])
def test_convert_refuses_a_bad_format_and_leaves_no_file(capsys, titled_wav, tmp_path, options,
                                                         message):
    target = tmp_path / "out.flac"
    status, out, err = run(capsys, "convert", str(titled_wav), str(target), *options)
    assert status == 1 and out == "" and not target.exists()
    assert err.startswith("ondalis: ")
    if message is not None:
        assert err == message


def test_convert_refuses_to_overwrite_its_source(capsys, titled_wav):
    before = titled_wav.read_bytes()
    alias = titled_wav.parent / "." / titled_wav.name
    status, _, err = run(capsys, "convert", str(titled_wav), str(alias))
    assert status == 1
    assert err == f"ondalis: {titled_wav} and {alias} are the same file\n"
    assert titled_wav.read_bytes() == before


def test_convert_removes_a_target_it_cannot_finish(tmp_path, titled_wav, monkeypatch):
    def fail(*args):
        raise OSError("disk full")
    monkeypatch.setattr(_convert, "_copy_frames", fail)
    target = tmp_path / "out.wav"
    with pytest.raises(OSError, match="disk full"):
        ondalis.convert(titled_wav, target)
    assert not target.exists()


def test_convert_quiet_prints_nothing(capsys, every, tmp_path):
    assert run(capsys, "convert", "-q", str(every), str(tmp_path / "out.flac")) == (0, "", "")


# --- the progress bar ---------------------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.fixture
def long_source(tmp_path):
    """Just long enough for a progress bar."""
    path = tmp_path / "long.wav"
    frames = _convert.PROGRESS_MIN_FRAMES
    soundfile.write(path, (np.arange(frames) % 2000 - 1000).astype(np.int16), 44100)
    return path


def test_progress_bar_on_a_terminal(long_source, tmp_path, monkeypatch):
    """A stream with no size of its own: the bar fills the width COLUMNS gives."""
    monkeypatch.setenv("COLUMNS", "50")
    screen = Terminal()
    frames, _ = ondalis.convert(long_source, tmp_path / "out.flac", progress=screen)
    assert frames == _convert.PROGRESS_MIN_FRAMES
    text = screen.getvalue()
    assert text.endswith(f"\rconverting long.wav [{'#' * 23}] 100%\n")
    updates = text[:-1].split("\r")[1:]
    percents = [int(update[-4:-1]) for update in updates]
    assert len(updates) == _convert.PROGRESS_MIN_FRAMES // _convert.BLOCK_FRAMES
    assert percents == sorted(set(percents)) and percents[-1] == 100
    assert {len(update) for update in updates} == {50}
    assert soundfile.info(tmp_path / "out.flac").frames == frames


@pytest.mark.parametrize("stream, short", [(io.StringIO(), False), (Terminal(), True),
                                           (False, False)])
def test_no_progress_bar_off_a_terminal_for_short_files_or_when_off(long_source, titled_wav,
                                                                    tmp_path, stream, short,
                                                                    capsys):
    ondalis.convert(titled_wav if short else long_source, tmp_path / "out.wav", progress=stream)
    assert capsys.readouterr() == ("", "")
    if stream is not False:
        assert stream.getvalue() == ""


# --- as a program -------------------------------------------------------------------

def test_python_m_ondalis(tmp_path, titled_wav, every):
    result = program("info", titled_wav, cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    assert "  format: wav, pcm16 (0x00010002)\n" in result.stdout
    assert "    title: Song title\n" in result.stdout

    result = program("info", "--json", every, cwd=tmp_path)
    assert json.loads(result.stdout)[0]["cart"]["title"] == sample_files.CART["title"]

    result = program("formats", cwd=tmp_path)
    assert result.returncode == 0 and "ogg (.ogg, .oga, .opus): vorbis, opus\n" in result.stdout

    target = tmp_path / "out.aiff"
    result = program("convert", every, target, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout == f"{target}: {sample_files.FRAMES} frames\n"
    assert "does not keep:" in result.stderr
    assert ondalis.info(target).strings["title"] == sample_files.STRINGS["SF_STR_TITLE"]
    assert np.array_equal(soundfile.read(target, dtype="int16")[0], sample_files.samples())

    result = program("info", tmp_path / "missing.wav", cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == f"ondalis: {tmp_path / 'missing.wav'}: No such file or directory\n"


def test_the_installed_console_script(tmp_path, sndfile_path):
    script = shutil.which("ondalis", path=os.path.dirname(sys.executable))
    assert script is not None, "the console script is not installed beside the interpreter"
    # A narrow terminal must not wrap the line.
    result = subprocess.run([script, "--version"], cwd=tmp_path, capture_output=True, text=True,
                            timeout=60, env={**os.environ, "COLUMNS": "40"})
    version = ".".join(map(str, ondalis.get_sndfile_version()[:3]))
    assert result.returncode == 0
    assert result.stdout == f"ondalis {ondalis.__version__} (libsndfile {version}, {sndfile_path})\n"


def test_output_to_a_closed_pipe_ends_quietly(tmp_path):
    code = ("import subprocess, sys; p = subprocess.Popen([sys.executable, '-W', 'ignore', "
            "'-m', 'ondalis', 'formats'], stdout=subprocess.PIPE, stderr=subprocess.PIPE); "
            "p.stdout.close(); err = p.stderr.read(); p.wait(); print(p.returncode, err)")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.stdout == "1 b''\n"  # no traceback, no complaint at exit


# --- the demo -----------------------------------------------------------------------

def test_demo_writes_a_file_with_metadata_and_describes_it(tmp_path):
    path = tmp_path / "demo.wav"
    result = subprocess.run([sys.executable, "-W", "ignore", "-m", "ondalis._demo", str(path)],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == [f"wrote {path}: 44100 frames of 2 channels with metadata", "",
                         f"$ ondalis info {path}"]
    for line in ["    title: A test tone", "  cue points:", "  broadcast:",
                 "    description: ondalis demo tone"]:
        assert line in lines
    found = soundfile.info(path)
    assert (found.frames, found.channels, found.samplerate) == (44100, 2, 44100)
    assert [c.position for c in ondalis.info(path).cue_points] == [0, 22050]


def test_demo_without_a_path_cleans_up(tmp_path):
    result = subprocess.run([sys.executable, "-W", "ignore", "-m", "ondalis._demo"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    written = pathlib.Path(result.stdout.splitlines()[0].split()[1].rstrip(":"))
    assert written.name == "demo.wav" and not written.exists()
