"""The package's helpers: read, write, info, blocks, and the package namespace.

Files come from the soundfile package, the standard library's wave module and
hand-built chunk bytes, so that the helpers are checked against writers and a
reader that are not ours."""
import concurrent.futures
import errno
import importlib.metadata
import pathlib
import pickle
import struct
import subprocess
import sys
import wave

import numpy as np
import pytest
import soundfile

import ondalis
import ondalis.cli
import sample_files
from ondalis import _api


@pytest.fixture
def ramp_wav(tmp_path):
    """A 16-bit stereo WAV of 10 frames with distinct samples, written by soundfile."""
    data = (np.arange(20, dtype=np.int16) * 1000 - 9000).reshape(10, 2)
    path = tmp_path / "ramp.wav"
    soundfile.write(path, data, 8000, subtype="PCM_16")
    return path, data


@pytest.fixture
def mono_wav(tmp_path):
    data = np.arange(-50, 50, dtype=np.int16) * 300
    path = tmp_path / "mono.wav"
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(22050)
        w.writeframes(data.astype("<i2").tobytes())
    return path, data


# --- the package -------------------------------------------------------------------

def test_package_reexports_every_public_name_of_the_extension():
    imported = {"np", "warnings", "os", "dataclass", "List"}
    public = {name for name in vars(ondalis._ondalis) if not name.startswith("_")} - imported
    assert public <= set(ondalis.__all__)
    assert all(getattr(ondalis, name) is getattr(ondalis._ondalis, name) for name in public)
    assert all(hasattr(ondalis, name) for name in ondalis.__all__)


def test_version_is_the_extension_version_and_the_installed_distribution():
    assert ondalis.__version__ == ".".join(map(str, ondalis.get_ondalis_version())) == "1.5.3"
    assert importlib.metadata.version("ondalis") == ondalis.__version__


def test_importing_from_the_source_folder_says_to_install_first():
    """Python run in the checkout finds the package folder before the installed
    package; its extension modules are not built there."""
    checkout = pathlib.Path(__file__).resolve().parent.parent
    result = subprocess.run([sys.executable, "-c", "import ondalis"], cwd=checkout,
                            capture_output=True, text=True, timeout=60)
    last = result.stderr.strip().splitlines()[-1]
    assert result.returncode == 1
    assert last.startswith(f"ImportError: ondalis is imported from {checkout / 'ondalis'}, "
                           "where its extension modules are not built")
    assert "make install" in last and "circular" not in result.stderr


def test_installed_distribution_metadata():
    meta = importlib.metadata.metadata("ondalis")
    # Ours first; the libraries a repaired wheel carries add theirs.
    assert meta["License-Expression"].split(" AND ")[0] == "MIT"
    assert meta["Requires-Python"] == ">=3.11"
    assert "numpy>=1.23" in importlib.metadata.requires("ondalis")
    assert "Typing :: Typed" in meta.get_all("Classifier")
    (script,) = importlib.metadata.entry_points(group="console_scripts", name="ondalis")
    assert script.load() is ondalis.cli.main
    files = {str(path) for path in importlib.metadata.files("ondalis")}
    assert {"ondalis/_ondalis.pyi", "ondalis/py.typed", "_ondalis.py"} <= files


# --- read ---------------------------------------------------------------------------

def test_read_gives_the_samples_and_rate(ramp_wav, mono_wav):
    path, data = ramp_wav
    got, rate = ondalis.read(path, dtype="int16")
    assert rate == 8000 and got.dtype == np.int16 and np.array_equal(got, data)
    floats, _ = ondalis.read(str(path))
    assert floats.dtype == np.float64
    assert np.array_equal(floats, soundfile.read(path, dtype="float64")[0])

    path, data = mono_wav
    got, rate = ondalis.read(path, dtype="int16")
    assert rate == 22050 and got.shape == (100,) and np.array_equal(got, data)
    got, _ = ondalis.read(path, dtype="int16", always_2d=True)
    assert got.shape == (100, 1) and np.array_equal(got[:, 0], data)


@pytest.mark.parametrize("dtype, expected", [
    ("float64", np.float64), ("float32", np.float32), ("int32", np.int32), ("int16", np.int16),
    (np.float32, np.float32), (np.dtype("int32"), np.int32), ("f8", np.float64),
    ("<i2", np.int16), ("double", np.float64),
])
def test_read_dtype_in_any_form_numpy_knows(ramp_wav, dtype, expected):
    path, data = ramp_wav
    got, _ = ondalis.read(path, dtype=dtype)
    assert got.dtype == expected
    if expected == np.int32:
        assert np.array_equal(got, data.astype(np.int32) << 16)


@pytest.mark.parametrize("dtype", ["int64", "uint8", "complex128", "no such type", object])
def test_read_refuses_other_dtypes(ramp_wav, dtype):
    with pytest.raises(ValueError) as excinfo:
        ondalis.read(ramp_wav[0], dtype=dtype)
    assert str(excinfo.value) == (f"dtype must be one of float64, float32, int32, int16, "
                                  f"not {dtype!r}")


@pytest.mark.parametrize("start, frames", [
    (0, -1), (3, 4), (8, 5), (9, 1), (10, -1), (15, 3), (0, 0), (-3, -1), (-3, 2),
    (-20, 2), (-10, -1), (2, 10 ** 12),
])
def test_read_clamps_start_and_frames_like_a_slice(ramp_wav, start, frames):
    path, data = ramp_wav
    expected = data[start:] if frames < 0 else data[start:][:frames]
    got, _ = ondalis.read(path, frames=frames, start=start, dtype="int16")
    assert got.shape == (len(expected), 2) and np.array_equal(got, expected)


@pytest.mark.parametrize("kwargs, message", [
    ({"frames": 1.5}, "frames must be an integer, not float"),
    ({"start": "0"}, "start must be an integer, not str"),
])
def test_read_refuses_counts_that_are_not_integers(ramp_wav, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        ondalis.read(ramp_wav[0], **kwargs)
    assert str(excinfo.value) == message


def test_read_of_a_missing_file_raises_file_not_found(tmp_path):
    missing = tmp_path / "missing.wav"
    with pytest.raises(FileNotFoundError) as excinfo:
        ondalis.read(missing)
    assert excinfo.value.errno == errno.ENOENT and excinfo.value.filename == str(missing)


def test_read_of_a_directory_raises_is_a_directory(tmp_path):
    with pytest.raises(IsADirectoryError):
        ondalis.read(tmp_path)


# --- write --------------------------------------------------------------------------

MPEG = "mpeg" in ondalis.get_sndfile_formats()


@pytest.mark.parametrize("name, major, encoding, sf_format, sf_subtype", [
    ("a.wav", "wav", "pcm16", "WAV", "PCM_16"),
    ("a.WAV", "wav", "pcm16", "WAV", "PCM_16"),
    ("a.aiff", "aiff", "pcm16", "AIFF", "PCM_16"),
    ("a.aif", "aiff", "pcm16", "AIFF", "PCM_16"),
    ("a.flac", "flac", "pcm16", "FLAC", "PCM_16"),
    ("a.ogg", "ogg", "vorbis", "OGG", "VORBIS"),
    ("a.opus", "ogg", "opus", "OGG", "OPUS"),
    ("a.au", "au", "pcm16", "AU", "PCM_16"),
    ("a.caf", "caf", "pcm16", "CAF", "PCM_16"),
    ("a.w64", "wav64", "pcm16", "W64", "PCM_16"),
    ("a.rf64", "rf64", "pcm16", "RF64", "PCM_16"),
    pytest.param("a.mp3", "mpeg", "mp3", "MP3", "MPEG_LAYER_III",
                 marks=pytest.mark.skipif(not MPEG, reason="libsndfile without MPEG")),
])
def test_write_takes_the_format_from_the_extension(tmp_path, name, major, encoding,
                                                   sf_format, sf_subtype):
    assert (_api.major_for_path(name), _api.default_encoding(major, name)) == (major, encoding)
    data = 0.25 * np.sin(np.linspace(0, 60, 4800))
    assert ondalis.write(tmp_path / name, data, 48000) == 4800
    found = soundfile.info(tmp_path / name)
    assert (found.format, found.subtype, found.samplerate, found.channels) == (
        sf_format, sf_subtype, 48000, 1)


@pytest.mark.parametrize("kind, encoding, sf_dtype", [
    (np.int16, None, "int16"), (np.int32, "pcm32", "int32"), (np.float32, "float32", "float32"),
    (np.float64, "float64", "float64"),
])
def test_write_stores_the_samples_exactly(tmp_path, kind, encoding, sf_dtype):
    rng = np.random.default_rng(1)
    if np.issubdtype(kind, np.integer):
        data = rng.integers(np.iinfo(kind).min, np.iinfo(kind).max, (500, 3), dtype=kind)
    else:
        data = rng.uniform(-1, 1, (500, 3)).astype(kind)
    path = tmp_path / "exact.wav"
    ondalis.write(path, data, 44100, encoding=encoding)
    back, rate = soundfile.read(path, dtype=sf_dtype)
    assert rate == 44100 and np.array_equal(back, data)


def test_write_converts_lists_and_other_floats_and_honours_an_explicit_major(tmp_path):
    path = tmp_path / "data.bin"
    assert ondalis.write(path, np.array([0.5, -0.5, 0.25], dtype=np.float16), 8000,
                         major="WAV", encoding="float32") == 3
    assert soundfile.info(path).format == "WAV"
    assert np.array_equal(soundfile.read(path)[0], [0.5, -0.5, 0.25])
    ondalis.write(tmp_path / "list.wav", [[0.5, -0.5], [0.0, 0.25]], 8000, encoding="float32")
    assert np.array_equal(soundfile.read(tmp_path / "list.wav")[0], [[0.5, -0.5], [0.0, 0.25]])


@pytest.mark.parametrize("name, data, kwargs, error, message", [
    ("a.xyz", np.zeros(4), {}, ValueError,
     "cannot tell the file format from the extension of {path!r}; give the major format"),
    ("a.wav", np.zeros(4), {"major": "nope"}, ValueError, None),
    ("a.flac", np.zeros(4), {"encoding": "float32"}, ValueError,
     "flac files do not take the encoding 'float32'; choose from pcms8, pcm16, pcm24"),
    ("a.wav", np.zeros((2, 2, 2)), {}, ValueError,
     "data must have 1 or 2 dimensions (frames[, channels]), got 3"),
    ("a.wav", np.zeros(()), {}, ValueError,
     "data must have 1 or 2 dimensions (frames[, channels]), got 0"),
    ("a.wav", np.zeros((4, 0)), {}, ValueError, "data has no channels"),
    ("a.wav", np.zeros(4, dtype=np.int64), {}, TypeError,
     "data of type int64 cannot be written; use one of float64, float32, int32, int16"),
    ("a.wav", np.zeros(4, dtype=bool), {}, TypeError,
     "data of type bool cannot be written; use one of float64, float32, int32, int16"),
    ("a.wav", np.zeros(4), {"samplerate": 0}, ValueError, "samplerate must be positive, got 0"),
    ("a.wav", np.zeros(4), {"samplerate": 44100.5}, TypeError,
     "samplerate must be an integer, not float"),
])
def test_write_refuses_bad_input_before_creating_the_file(tmp_path, name, data, kwargs, error,
                                                          message):
    path = tmp_path / name
    kwargs = {"samplerate": 8000, **kwargs}
    with pytest.raises(error) as excinfo:
        ondalis.write(path, data, **kwargs)
    if message is not None:
        assert str(excinfo.value) == message.format(path=path)
    assert not path.exists()


def test_an_encoding_given_where_the_major_format_goes_is_named_as_one(tmp_path):
    # soundfile's write(file, data, rate, "PCM_24") takes the encoding there.
    with pytest.raises(ValueError) as excinfo:
        ondalis.write(tmp_path / "a.wav", np.zeros(4), 8000, "PCM_24")
    assert str(excinfo.value).startswith(
        "unknown major format 'pcm_24' ('PCM_24' is an encoding: pass it as encoding='PCM_24'); "
        "choose from aiff, au, ")
    assert not (tmp_path / "a.wav").exists()


def test_every_libsndfile_extension_maps_to_a_format_that_claims_it(tmp_path):
    """Checked against libsndfile's own table of major formats and their extensions."""
    f = ondalis.Ondalis(tmp_path / "x.wav", "w", ondalis.construct_format("wav", "pcm16"), 1, 8000)
    f.close()
    count = f.command("SFC_GET_FORMAT_MAJOR_COUNT")
    claims = {}
    for index in range(count):
        record = f.command("SFC_GET_FORMAT_MAJOR", index)
        name = ondalis.fileformat_id_to_name.get(record.format)
        if name in ondalis.get_sndfile_formats():
            claims.setdefault(record.extension, set()).add(name)
    assert {"wav", "aiff", "flac", "oga", "caf"} <= set(claims)
    for extension, majors in claims.items():
        assert _api.major_for_path(f"x.{extension}") in majors, extension


# --- info ---------------------------------------------------------------------------

def test_info_of_a_plain_file(ramp_wav):
    found = ondalis.info(ramp_wav[0])
    assert found == ondalis.SoundInfo(
        path=str(ramp_wav[0]), frames=10, samplerate=8000, channels=2, duration=10 / 8000,
        format=0x10002, major_format="wav", encoding="pcm16", strings={}, cue_points=[],
        instrument=None, loop_info=None, broadcast=None, cart=None, channel_map=None,
        chunks=[("RIFF", 76), ("fmt ", 16), ("data", 40)])


def test_info_travels_to_another_process(tmp_path):
    """SoundInfo and every record in it pickle: a process pool returns them
    equal to what the parent reads."""
    path = sample_files.every_metadata_wav(tmp_path / "every.wav")
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        found = pool.submit(ondalis.info, path).result(timeout=120)
    assert found == ondalis.info(path) and found.cue_points and found.cart.post_timers
    assert pickle.loads(pickle.dumps(found)) == found


def test_info_returns_every_kind_of_metadata(tmp_path):
    path = sample_files.every_metadata_wav(tmp_path / "every.wav")
    found = ondalis.info(path)
    s = sample_files
    assert (found.frames, found.samplerate, found.channels) == (s.FRAMES, s.SAMPLERATE, s.CHANNELS)
    assert (found.major_format, found.encoding) == ("wavex", "pcm16")
    assert found.duration == s.FRAMES / s.SAMPLERATE
    assert found.strings == s.SHORT_STRINGS
    assert [(c.indx, c.position, c.sample_offset, c.fcc_chunk) for c in found.cue_points] == [
        (i + 1, offset, offset, int.from_bytes(b"data", "little"))
        for i, offset in enumerate(s.CUE_OFFSETS)]
    assert found.instrument.basenote == s.UNITY_NOTE
    # libsndfile reports a loop's end one past the last frame the smpl chunk names.
    _, start, end, count = s.LOOP
    assert found.instrument.loops == [ondalis.SfInstrumentLoop("SF_LOOP_FORWARD", start,
                                                               end + 1, count)]
    assert found.loop_info == ondalis.SfLoopInfo(
        time_sig_num=s.ACID["time_sig_num"], time_sig_den=s.ACID["time_sig_den"],
        loop_mode="SF_LOOP_FORWARD", num_beats=s.ACID["num_beats"], bpm=s.ACID["bpm"],
        root_key=s.ACID["root_key"], future=[0] * 6)
    assert {key: getattr(found.broadcast, key) for key in s.BEXT} == s.BEXT
    assert found.broadcast.version == 1
    assert {key: getattr(found.cart, key) for key in s.CART} == s.CART
    assert [(t.usage, t.value) for t in found.cart.post_timers] == list(s.CART_TIMERS)
    assert found.channel_map == ["SF_CHANNEL_MAP_LEFT", "SF_CHANNEL_MAP_RIGHT"]
    assert np.array_equal(ondalis.read(path, dtype="int16")[0], s.samples())


def test_info_reads_texts_that_are_not_utf8_with_replacement(tmp_path, build):
    """A cart chunk whose title is not UTF-8: the title with U+FFFD, the rest intact."""
    cart = b"0101" + b"\xff\xfe bad".ljust(64, b"\0") + bytes(2048 - 68)
    path = tmp_path / "bad.wav"
    path.write_bytes(build.wav_bytes(np.zeros(8), extra_chunks=build.wav_cue_chunk([3])
                                     + build.riff_chunk(b"cart", cart)))
    found = ondalis.info(path)
    assert found.cart.title == "\ufffd\ufffd bad" and found.cart.version == "0101"
    assert [c.position for c in found.cue_points] == [3]


def test_info_ends_broadcast_texts_at_their_first_nul(tmp_path, build):
    """Field recorders leave bytes after the NUL that ends a text; the strict
    command refuses the record, info() reads it."""
    description = b"Scene 4 take 2\0\xff\xfe left over".ljust(256, b"\0")
    fixed = (description + b"Recorder".ljust(32, b"\0") + bytes(32) + b"2024-05-01"
             + b"10:30:00" + struct.pack("<IIH", 5, 0, 1) + bytes(64 + 10 + 180))
    history = b"A=PCM,F=8000\r\n\0\xfe\xfe"
    path = tmp_path / "recorder.wav"
    path.write_bytes(build.wav_bytes(np.zeros(8), extra_chunks=build.riff_chunk(
        b"bext", fixed + history)))
    with ondalis.Ondalis(path) as f, pytest.raises(UnicodeDecodeError):
        f.command("SFC_GET_BROADCAST_INFO")
    found = ondalis.info(path).broadcast
    assert found.description == "Scene 4 take 2" and found.originator == "Recorder"
    assert found.time_reference == 5 and found.coding_history.startswith("A=PCM,F=8000\r\n")
    assert "\0" not in found.coding_history and "\ufffd" not in found.coding_history


def test_info_of_a_missing_file_raises_oserror(tmp_path):
    with pytest.raises(OSError):
        ondalis.info(tmp_path / "missing.flac")


# --- blocks -------------------------------------------------------------------------

@pytest.fixture
def long_wav(tmp_path):
    data = (np.arange(46, dtype=np.int16) * 700 - 16000).reshape(23, 2)
    path = tmp_path / "long.wav"
    soundfile.write(path, data, 8000, subtype="PCM_16")
    return path, data


@pytest.mark.parametrize("blocksize, overlap", [
    (4, 0), (4, 1), (4, 3), (7, 2), (23, 0), (22, 21), (100, 5), (1, 0),
])
def test_blocks_with_overlap_reproduce_the_file(long_wav, blocksize, overlap):
    path, data = long_wav
    got = list(ondalis.blocks(path, blocksize, overlap, dtype="int16"))
    step = blocksize - overlap
    starts = range(0, max(len(data) - overlap, 1), step)
    assert len(got) == len(starts)
    for start, block in zip(starts, got):
        assert np.array_equal(block, data[start:start + blocksize])
    assert all(len(block) == blocksize for block in got[:-1])
    joined = np.concatenate([got[0]] + [block[overlap:] for block in got[1:]])
    assert np.array_equal(joined, data)


def test_blocks_of_mono_and_empty_files(mono_wav, tmp_path):
    path, data = mono_wav
    got = list(ondalis.blocks(path, 30, 10, dtype=np.int16))
    assert all(block.ndim == 1 for block in got)
    assert np.array_equal(np.concatenate([got[0]] + [b[10:] for b in got[1:]]), data)
    empty = tmp_path / "empty.wav"
    soundfile.write(empty, np.zeros((0, 2)), 8000)
    assert list(ondalis.blocks(empty, 8)) == []


def test_a_block_changed_in_place_does_not_change_the_next(long_wav):
    path, data = long_wav
    got = []
    for block in ondalis.blocks(path, 8, 4, dtype="int16"):
        got.append(block.copy())
        block[:] = 0  # windowing in place, say
    assert np.array_equal(got[1], data[4:12])


@pytest.mark.parametrize("args, error, message", [
    ((0,), ValueError, "blocksize must be positive, got 0"),
    ((4, 4), ValueError, "overlap must lie in [0, blocksize), got 4"),
    ((4, -1), ValueError, "overlap must lie in [0, blocksize), got -1"),
    ((4.0,), TypeError, "blocksize must be an integer, not float"),
    ((4, 0, -1, 0, None, "int8"), ValueError, "dtype must be one of float64, float32, int32, int16, "
                                 "not 'int8'"),
])
def test_blocks_refuses_bad_arguments_at_the_call(long_wav, args, error, message):
    with pytest.raises(error) as excinfo:
        ondalis.blocks(long_wav[0], *args)
    assert str(excinfo.value) == message


def test_blocks_opens_the_file_at_the_call(tmp_path):
    with pytest.raises(FileNotFoundError):
        ondalis.blocks(tmp_path / "missing.wav", 16)


@pytest.mark.parametrize("major, encoding, expected", [
    ("WAV", "PCM_24", ("WAV", "PCM_24")),
    ("wav", "FLOAT", ("WAV", "FLOAT")),
    ("Wav", "double", ("WAV", "DOUBLE")),
    ("AIFF", "Pcm_S8", ("AIFF", "PCM_S8")),
    ("OGG", "VORBIS", ("OGG", "VORBIS")),
    ("W64", "ULAW", ("W64", "ULAW")),
    ("flac", "pcm16", ("FLAC", "PCM_16")),
])
def test_formats_and_encodings_take_soundfiles_spellings_in_any_case(tmp_path, major,
                                                                    encoding, expected):
    path = tmp_path / "named.data"
    ondalis.write(path, np.zeros((100, 2)), 8000, major=major, encoding=encoding)
    found = soundfile.info(path)
    assert (found.format, found.subtype) == expected
    back, _ = ondalis.read(path)
    assert back.shape == (100, 2)


def test_a_misspelled_encoding_still_lists_the_choices(tmp_path):
    with pytest.raises(ValueError, match=r"wav files do not take the encoding 'pcm_17'; choose"):
        ondalis.write(tmp_path / "a.wav", np.zeros(10), 8000, encoding="PCM_17")
