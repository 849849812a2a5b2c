"""The everyday path (write, read, blocks, convert) against oracles that are
not it: soundfile, which runs its own build of libsndfile with its clipping
on too, the Ondalis object, and values worked out by hand.

The tables come from the catalogue: every major format and encoding that the
libsndfile in use writes (differential.CELLS), every sample type in and out.
Rows that fail today are marked with the fault, naming whether it is ours or
libsndfile's own (which soundfile then shares)."""
import io
import os
import shutil
import warnings

import numpy as np
import pytest
import soundfile

import ondalis
from differential import (BEYOND, FLOAT_KINDS, KINDS, OUR_READERS, OUR_WRITERS, RATE,
                          SOUNDFILE_CANNOT_READ, WRITERS, Cell, Fault, Place, as_full_scale,
                          assert_same, cell_params, frames_kept, quietly, read_every_kind,
                          read_frames, read_package, read_soundfile, readers, reference_reader,
                          source, write_bytesio, write_frames, write_soundfile)

# The encodings that store integers, by their bits.
BITS = {"pcms8": 8, "pcmu8": 8, "pcm16": 16, "pcm24": 24, "pcm32": 32, "alac16": 16,
        "alac20": 20, "alac24": 24, "alac32": 32, "dww12": 12, "dww16": 16, "dww24": 24,
        "dpcm8": 8, "dpcm16": 16}

# The codecs that approximate their input, each with the RMS error (full scale
# 1.0) within which a float64 read of the table's source stays, whoever wrote
# and read it: the largest error measured over every cell, writer, reader and
# sample type in (the rows marked below aside), with a quarter added.
LOSSY = {"ulaw": 0.0084, "alaw": 0.0097, "ima_adpcm": 0.13, "ms_adpcm": 0.1, "gsm610": 0.25,
         "g721_32": 0.31, "g723_24": 0.3, "g723_40": 0.28, "vox_adpcm": 0.11,
         "nms_adpcm_16": 0.3, "nms_adpcm_24": 0.31, "nms_adpcm_32": 0.21, "vorbis": 0.075,
         "opus": 0.045, "mp3": 0.029}

# The codecs whose libraries in soundfile's build of libsndfile (libvorbis,
# lame and mpg123) encode and decode the same samples otherwise than ours do
# (measured: both directions differ), so that only our own paths can agree bit
# for bit there; soundfile's side is held to the source by the tolerance.
OTHER_BUILDS = ("vorbis", "mp3")


@pytest.fixture(scope="module", autouse=True)
def workspace(tmp_path_factory):
    """One folder for the module's files (see Place), and the working folder
    meanwhile, where libsndfile leaves the '._' file of an SD2 stream."""
    folder = tmp_path_factory.mktemp("differential")
    before = os.getcwd()
    os.chdir(folder)
    yield folder
    os.chdir(before)
    shutil.rmtree(folder)


@pytest.fixture(autouse=True)
def no_resource_fork_left(workspace):
    """Removes the '._' an SD2 row leaves (see test_an_sd2_stream_leaves_no_file),
    which would fail every later open of a stream in the folder."""
    yield
    if os.path.exists(workspace / "._"):
        os.unlink(workspace / "._")


@pytest.fixture
def folder(workspace):
    """The test's own Place in the workspace."""
    return Place(workspace)


@pytest.fixture(scope="module")
def reference(workspace):
    """reference(cell, name, data, write, read) -> (path, {kind: array}): the
    file `write` makes of `data` (soundfile by default) and what `read` (the
    reference reader by default) gives of it as each sample type, made once
    per cell and name."""
    made = {}

    def reads(cell, name, data, write=write_soundfile, read=None):
        if (cell, name) not in made:
            path = write(cell, data, Place(workspace))
            made[cell, name] = path, read_every_kind(cell, path, read or reference_reader(cell))
        return made[cell, name]
    return reads


def label(kind):
    return np.dtype(kind).name


def assert_reads(cell, path, want, what, skip=()):
    """Every reader but blocks (which the tests of exactness try) and those in
    `skip` gives want[kind] for every kind."""
    for name, reader in readers(cell, blocks=False).items():
        if name in skip:
            continue
        for kind, got in read_every_kind(cell, path, reader).items():
            assert_same(got, want[kind], f"{what} read by {name} as {label(kind)}")


# --- faults found -------------------------------------------------------------------

def dwvw(cell):
    return cell.encoding.startswith("dww")


WRITING_FAULTS = ()


# --- the table ----------------------------------------------------------------------

def table_frames(cell, **row):
    return len(source(np.float64, cell.channels))


def beyond_frames(cell, **row):
    return len(source(np.float64, cell.channels, beyond=True))


@pytest.mark.parametrize("cell, writer", cell_params(
    ("writer", list(WRITERS)), faults=WRITING_FAULTS, frames=table_frames))
def test_every_writer_and_reader_agree(cell, writer, folder, reference):
    """The same arrays of every sample type, in range and at full scale,
    written by `writer` and read by every reader as every sample type, give
    bit for bit what soundfile writes and reads (what the Ondalis object
    writes and reads where the codec builds differ)."""
    other_build = cell.encoding in OTHER_BUILDS
    for kind in KINDS:
        if cell.encoding == "mp3" and kind is np.int16 and cell.channels == 2:
            # libsndfile garbles int16 stereo frames into MP3 (see the
            # tolerance table): what it stores depends on memory it leaves
            # unset, so two writes of the same frames need not agree.
            continue
        data = source(kind, cell.channels)
        if other_build:
            theirs, want = reference(cell, f"{label(kind)} by the Ondalis object", data,
                                     write_frames, read_frames)
        else:
            theirs, want = reference(cell, label(kind), data)
        if writer == ("write_frames" if other_build else "soundfile"):
            path = theirs
        else:
            path = WRITERS[writer](cell, data, folder.sub(label(kind)))
        if other_build and writer == "soundfile":
            want = {kind: read_frames(cell, path, kind) for kind in KINDS}
        skip = ("soundfile",) if other_build else ()
        assert_reads(cell, path, want, f"{label(kind)} written by {writer}", skip)


TOLERANCE_FAULTS = [
    Fault("libsndfile's own: its u-law and A-law encoders negate an int32 sample before "
          "scaling it, so -2**31 overflows and is stored at positive full scale (soundfile "
          "writes the same)",
          AssertionError, lambda cell, kind, **row: cell.encoding in ("ulaw", "alaw")
          and kind is np.int32),
    Fault("libsndfile's own: int16 stereo frames written to MP3 come back garbled (an RMS "
          "error of 0.35 where float data gives 0.02; soundfile writes the same)",
          AssertionError, lambda cell, kind, **row: cell.encoding == "mp3" and kind is np.int16),
]


@pytest.mark.parametrize("cell, kind", cell_params(
    ("kind", KINDS), keep=lambda cell: cell.encoding in LOSSY, faults=TOLERANCE_FAULTS))
def test_lossy_codecs_stay_near_the_source(cell, kind, folder, reference):
    """Whoever writes and reads it, a lossy codec gives the table's source
    back within the codec's RMS bound (full scale 1.0), frames padded to a
    whole block aside."""
    data = source(kind, cell.channels)
    want = as_full_scale(data)
    for writer in ("write-bytesio", "write_frames", "soundfile"):
        if writer == "soundfile":  # the table's file
            path = reference(cell, label(kind), data)[0]
        else:
            path = WRITERS[writer](cell, data, folder)
        for name, reader in readers(cell).items():
            got = reader(cell, path, np.float64)
            what = f"{writer} read by {name}"
            assert len(got) >= len(want), f"{what}: {len(got)} frames of {len(want)}"
            error = float(np.sqrt(np.mean((got[:len(want)] - want) ** 2)))
            assert error <= LOSSY[cell.encoding], \
                f"{what}: RMS error {error:.4g} beyond {LOSSY[cell.encoding]}"


SDS_TAIL_LOST = Fault(
    "libsndfile's own: it writes no partial last block to SDS, so the last frames read back "
    "as zeros (soundfile writes the same)",
    AssertionError, lambda cell, **row: cell.major == "sds")


@pytest.mark.parametrize("cell", cell_params(faults=[SDS_TAIL_LOST]))
def test_each_encoding_measures_as_the_tables_say(cell, folder):
    """The tables above by measurement: int16 data quantised to an integer
    encoding's bits comes back exactly (all 16 bits at 16 bits or more), and
    a lossy codec gives back something else even from data quantised to 8
    bits; soundfile still fails on the encodings it is not asked to read."""
    assert cell.stores_floats or cell.encoding in BITS or cell.encoding in LOSSY
    bits = min(BITS.get(cell.encoding, 8), 16)
    data = source(np.int16, cell.channels) >> (16 - bits) << (16 - bits)
    path = write_soundfile(cell, data, folder)
    got = read_frames(cell, path, np.int16)[:len(data)]
    exact = got.shape == data.shape and np.array_equal(got, data)
    assert exact != (cell.encoding in LOSSY)
    if cell.encoding in SOUNDFILE_CANNOT_READ:
        with pytest.raises(RuntimeError):
            read_soundfile(cell, path, np.int16)


# --- beyond full scale ---------------------------------------------------------

# libsndfile converts floats for these by table lookup without a bound: a
# sample beyond full scale reads past the table, and 1e6 crashes the process
# (soundfile's too). They are tried in a child process below.
TABLE_LOOKUP = ("ulaw", "alaw")

BEYOND_FAULTS = WRITING_FAULTS


def clipped(cell, name, data, reference):
    """What the clipped `data` (which `name` tells from any other) makes, read
    as each kind: written by soundfile, or by ondalis.write where the codec
    builds differ; a float encoding keeps samples beyond full scale, so
    there the data itself is written."""
    kept = data if cell.stores_floats else np.clip(data, -1.0, 1.0)
    if cell.encoding in OTHER_BUILDS:
        return reference(cell, name, kept, write_bytesio, read_package)[1]
    return reference(cell, name, kept)[1]


@pytest.mark.parametrize("cell, writer", cell_params(
    ("writer", OUR_WRITERS), keep=lambda cell: cell.encoding not in TABLE_LOOKUP,
    faults=BEYOND_FAULTS, frames=beyond_frames))
def test_beyond_full_scale_is_clipped(cell, writer, folder, reference):
    """Floats beyond full scale are stored as the clipped floats are (kept as
    they are by a float encoding), whichever of our writers writes them."""
    for kind in FLOAT_KINDS:
        data = source(kind, cell.channels, beyond=True)
        path = WRITERS[writer](cell, data, folder.sub(label(kind)))
        skip = ("soundfile",) if cell.encoding in OTHER_BUILDS else ()
        assert_reads(cell, path, clipped(cell, f"{label(kind)} beyond", data, reference),
                     f"{label(kind)} written by {writer}", skip)
        if cell.stores_floats:
            kept = data.astype(cell.encoding).astype(kind)
            assert_same(read_package(cell, path, kind), kept, "the samples kept")


# The child that tries a codec beyond full scale: every writer of ours,
# compared with what the clipped data makes (written by soundfile, or by
# ondalis.write where the codec builds differ).
CHILD = """
import io, sys, warnings
import numpy as np
import ondalis
import soundfile

major, encoding, theirs, value = {args!r}
warnings.simplefilter("ignore")
data = np.concatenate([0.5 * np.sin(np.arange(200) / 7), [value, -value, 1.5, -1.5]])
if theirs:
    soundfile.write("clipped", np.clip(data, -1, 1), {rate}, **theirs)
else:
    ondalis.write("clipped", np.clip(data, -1, 1), {rate}, major=major, encoding=encoding)
memory = io.BytesIO()
ondalis.write(memory, data, {rate}, major=major, encoding=encoding)
with open("from-bytesio", "wb") as f:
    f.write(memory.getvalue())
ondalis.write("written", data, {rate}, major=major, encoding=encoding)
with ondalis.Ondalis("write_frames", "w", format=ondalis.construct_format(major, encoding),
                     channels=1, samplerate={rate}) as f:
    f.write_frames(data)
soundfile.write("source.wav", data, {rate}, subtype="DOUBLE")
ondalis.convert("source.wav", "converted", major=major, encoding=encoding)
want = ondalis.read("clipped", dtype="int16")[0]
wrong = [name for name in ("from-bytesio", "written", "write_frames", "converted")
         if not np.array_equal(ondalis.read(name, dtype="int16")[0], want)]
sys.exit(f"not as the clipped data: {{wrong}}" if wrong else 0)
"""

# libsndfile's u-law and A-law encoders look floats up in a table without a
# bound (1e6 crashes the process) and lame aborts on 1e12 (soundfile's too):
# our writers limit the samples first.
@pytest.mark.parametrize("major, encoding, value", [
    ("wav", "ulaw", 1e6), ("wav", "alaw", 1e6), ("mpeg", "mp3", 1e12)])
def test_codecs_that_crash_beyond_full_scale(run_python, tmp_path, major, encoding, value):
    """Tried in a child process, which the codec may bring down."""
    cell = Cell(major, encoding, 1)
    theirs = None if encoding in OTHER_BUILDS else cell.theirs
    code = f"import os; os.chdir({str(tmp_path)!r})\n" + CHILD.format(
        args=(major, encoding, theirs, value), rate=RATE)
    child = run_python(code)
    assert child.returncode == 0, f"exit status {child.returncode}: {child.stderr[-2000:]}"


# --- exactness --------------------------------------------------------------------

def steps(bits, kind):
    """Every sort of k for k / 2**(bits-1) that `kind` holds exactly, in a
    random order: the lowest and highest 64, the 128 around zero and 128
    drawn at random; above 24 bits a float32 holds multiples of a step."""
    step = 2 ** max(0, bits - np.finfo(kind).nmant - 1)
    top = 2 ** (bits - 1) // step
    rng = np.random.default_rng(bits)
    m = np.concatenate([np.arange(-top, -top + 64), np.arange(-64, 64),
                        np.arange(top - 64, top), rng.integers(-top, top, 128)])
    return rng.permutation(m) * step


# Full scale itself and beyond it: stored as the extremes.
AT_AND_BEYOND = [1.0, -1.0, *BEYOND]

EXACTNESS_FAULTS = (
    *WRITING_FAULTS, SDS_TAIL_LOST,
    Fault("libsndfile's own: its XI DPCM codec converts floats itself, scaling by "
          "2**(n-1) - 1, so k / 2**(n-1) comes back a step nearer zero for large k (-1.0 as "
          "-32767 at 16 bits; soundfile writes the same)",
          AssertionError, lambda cell, **row: cell.encoding.startswith("dpcm")),
    Fault("libsndfile's own: its DWVW codec converts floats itself, scaling float64 by "
          "2**31 - 1 (k / 2**(n-1) comes back as k - 1 for some k) and float32 through a "
          "float that holds 2**31 for it (1.0 wraps to -1.0); soundfile writes the same",
          AssertionError, lambda cell, **row: dwvw(cell)),
    Fault("libsndfile's own: its PAF 24-bit codec converts floats itself, scaling float64 by "
          "2**31 - 1 (k / 2**23 comes back as k - 1 for some k) and float32 through a float "
          "that holds 2**31 for it (1.0 wraps to -1.0); soundfile writes the same",
          AssertionError, lambda cell, **row: (cell.major, cell.encoding) == ("paf", "pcm24")),
    Fault("libsndfile's own: its ALAC encoder garbles the frames it cannot compress (white "
          "noise, a sweep in random order) at 32 bits, and at 20 and 24 bits in stereo; "
          "soundfile writes the same",
          AssertionError, lambda cell, **row: cell.encoding == "alac32" or (
              cell.encoding in ("alac20", "alac24") and cell.channels == 2)),
)


def sweep(bits, kind):
    """The steps and AT_AND_BEYOND as `kind`, and the k each is stored as."""
    data = np.append(steps(bits, kind) / 2.0 ** (bits - 1), AT_AND_BEYOND).astype(kind)
    stored = np.clip(np.rint(data.astype(np.float64) * 2.0 ** (bits - 1)),
                     -2 ** (bits - 1), 2 ** (bits - 1) - 1).astype(np.int64)
    return data, stored


@pytest.mark.parametrize("cell, writer", cell_params(
    ("writer", OUR_WRITERS), keep=lambda cell: cell.encoding in BITS, faults=EXACTNESS_FAULTS,
    frames=lambda cell, **row: len(sweep(BITS[cell.encoding], np.float64)[0])))
def test_every_step_of_an_integer_encoding_is_exact(cell, writer, folder):
    """k / 2**(n-1) is stored as k by every integer encoding of n bits, from
    float64 and float32 alike, and reads back as k scaled to each sample type;
    full scale and beyond are stored as the extremes (FLAC too)."""
    bits = BITS[cell.encoding]
    for kind in FLOAT_KINDS:
        data, stored = sweep(bits, kind)
        if cell.channels == 2:
            data, stored = (np.stack([a, a[::-1]], axis=1) for a in (data, stored))
        path = WRITERS[writer](cell, data, folder.sub(label(kind)))
        scaled = stored / 2.0 ** (bits - 1)
        want = {np.int32: stored << (32 - bits),
                np.int16: stored << (16 - bits) if bits <= 16 else stored >> (bits - 16),
                np.float64: scaled, np.float32: scaled}
        for name, reader in readers(cell).items():
            for out, got in read_every_kind(cell, path, reader).items():
                assert_same(got[:len(want[out])], want[out].astype(out),
                            f"{label(kind)} written by {writer} read by {name} as {label(out)}")


# --- convert ----------------------------------------------------------------------

ROUTES = {"float64-to-path": (np.float64, "write"), "float32-to-bytesio": (np.float32,
                                                                        "write-bytesio")}

@pytest.mark.parametrize("cell, route", cell_params(
    ("route", list(ROUTES)),
    keep=lambda cell: not cell.stores_floats and cell.encoding not in TABLE_LOOKUP,
    faults=[Fault(fault.reason, fault.raises, lambda cell, route, frames, fault=fault:
                  fault.applies(cell, writer=ROUTES[route][1], frames=frames))
            for fault in BEYOND_FAULTS], frames=beyond_frames))
def test_convert_from_floats_beyond_full_scale(cell, route, folder, reference):
    """A float file holding samples beyond full scale converts into each
    integer-storing cell, to a path and to an io.BytesIO, as soundfile writes
    the clipped samples."""
    kind, writer = ROUTES[route]
    data = source(kind, cell.channels, beyond=True)
    original = reference(Cell("wav", label(kind), cell.channels), "beyond", data)[0]
    # convert streams a float file as float64 samples.
    want = clipped(cell, f"{label(kind)} beyond as float64", data.astype(np.float64),
                   reference)
    path = folder / "converted"
    if writer != "write" and cell.major == "sd2":  # memory is refused (see below)
        with pytest.raises(ValueError, match="resource fork"):
            ondalis.convert(original, io.BytesIO(), major=cell.major, encoding=cell.encoding)
        writer = "write"
    if writer == "write":
        quietly(ondalis.convert, original, path, major=cell.major, encoding=cell.encoding)
    else:
        memory = io.BytesIO()
        quietly(ondalis.convert, original, memory, major=cell.major, encoding=cell.encoding)
        path.write_bytes(memory.getvalue())
    skip = ("soundfile",) if cell.encoding in OTHER_BUILDS else ()
    assert_reads(cell, path, want, f"converted to {writer}", skip)


def test_an_sd2_stream_leaves_no_file(tmp_path, monkeypatch):
    """libsndfile writes an SD2 file's resource fork by name: for a stream
    without one it leaves an empty '._' in the working folder, which then
    breaks every MP3 stream opened there ('bad data offset'). Refused."""
    monkeypatch.chdir(tmp_path)
    mp3 = io.BytesIO()
    ondalis.write(mp3, np.zeros(1200), RATE, major="mpeg")
    for call in (lambda: ondalis.write(io.BytesIO(), np.zeros(100), RATE, major="sd2"),
                 lambda: ondalis.convert(io.BytesIO(mp3.getvalue()), io.BytesIO(), major="sd2")):
        with pytest.raises(ValueError, match="only a path can have"):
            call()
    assert os.listdir(tmp_path) == []
    assert len(ondalis.read(io.BytesIO(mp3.getvalue()))[0]) == 1200


# --- integer reads of float files -----------------------------------------------

def float_wav_bytes(values, kind):
    """A mono WAV of IEEE floats (format tag 3) holding `values`, by hand."""
    import struct
    samples = np.asarray(values, dtype=np.dtype(kind).newbyteorder("<")).tobytes()
    width = np.dtype(kind).itemsize
    fmt = struct.pack("<HHIIHH", 3, 1, RATE, RATE * width, width, 8 * width)
    body = (b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
            + b"data" + struct.pack("<I", len(samples)) + samples)
    return b"RIFF" + struct.pack("<I", len(body)) + body


# Far beyond the integers' range, at their edges and halfway between steps.
HUGE = [-32769.0, 32768.0, 1e6, -1e6, 65536.0, -65537.0, 32767.5, -32768.5, 0.5, 1.5, 2.5,
        -0.5, -1.5, 2.0 ** 31, -2.0 ** 31 - 256, 2.0 ** 31 - 128, 3e9, -3e9, 1e30, -1e30]
# Integers beyond 2**24 that float64 holds and float32 does not.
PRECISE = [16777217.0, 16777219.0, 123456789.0, 2.0 ** 31 - 2, -2.0 ** 31 + 1, 2.0 ** 31 - 129]


@pytest.mark.parametrize("maker", ["soundfile", "hand"])
@pytest.mark.parametrize("kind, values, out", [
    (np.float32, HUGE, np.int16), (np.float32, HUGE, np.int32),
    (np.float64, HUGE, np.int16), (np.float64, HUGE, np.int32),
    (np.float64, PRECISE, np.int16),
    pytest.param(np.float64, PRECISE, np.int32, marks=pytest.mark.xfail(
        strict=True, raises=AssertionError,
        reason="libsndfile's own, with clipping on: its clipped conversion of doubles to "
               "int32 goes through a float, so a float64 file's integers beyond 2**24 read "
               "back rounded to 24 bits (16777217.0 as 16777216, 2**31 - 2 as 2**31 - 1); "
               "soundfile reads the same, ours did not before clipping was turned on")),
], ids=["float32-huge-int16", "float32-huge-int32", "float64-huge-int16", "float64-huge-int32",
        "float64-precise-int16", "float64-precise-int32"])
def test_integer_reads_of_float_files_clip(tmp_path, maker, kind, values, out):
    """Integer reads of a float file give each sample rounded to the nearest
    integer (halves to even) and limited to the type's range, whoever reads."""
    path = tmp_path / "floats.wav"
    if maker == "soundfile":
        soundfile.write(path, np.asarray(values, dtype=kind), RATE,
                        subtype="FLOAT" if kind is np.float32 else "DOUBLE")
    else:
        path.write_bytes(float_wav_bytes(values, kind))
    info = np.iinfo(out)
    stored = np.asarray(values, dtype=kind).astype(np.float64)
    want = np.clip(np.rint(stored), info.min, info.max).astype(out)
    cell = Cell("wav", "float32" if kind is np.float32 else "float64", 1)
    theirs = read_soundfile(cell, path, out)
    for name, reader in OUR_READERS.items():
        assert_same(reader(cell, path, out), theirs, f"{name} against soundfile")
    assert_same(theirs, want, "soundfile against the values rounded and limited")


# --- the clipping warning ---------------------------------------------------------

def clipping_warnings(call):
    """The warnings `call()` gives, each one recorded."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return caught


def stereo_beyond(frames):
    """Stereo float64 frames of a quiet tone with samples beyond full scale
    strewn over both channels, and how many of them there are."""
    data = np.repeat(0.25 * np.sin(np.arange(frames) / 9)[:, None], 2, axis=1)
    data[::997, 0] = 1.25
    data[5::1499, 1] = -7.0
    data[7, :] = 1.0            # full scale is not beyond it
    data[11, :] = -1.0
    data[13, 1] = np.nextafter(1.0, 2.0)
    return data, int(np.count_nonzero(np.abs(data) > 1.0))


@pytest.mark.parametrize("frames", [300, 70000], ids=["one-block", "many-blocks"])
@pytest.mark.parametrize("target", ["path", "bytesio"])
@pytest.mark.parametrize("call", ["write", "convert"])
def test_one_warning_names_the_target_and_the_count(tmp_path, call, target, frames):
    """One warning per call, however many blocks the samples go in, with the
    count of samples beyond full scale and the target's name."""
    data, count = stereo_beyond(frames)
    destination = tmp_path / "out.wav" if target == "path" else io.BytesIO()
    if call == "write":
        def run():
            ondalis.write(destination, data, RATE, major="wav", encoding="pcm16")
    else:
        original = tmp_path / "source.wav"
        soundfile.write(original, data, RATE, subtype="DOUBLE")

        def run():
            ondalis.convert(original, destination, major="wav", encoding="pcm16")
    caught = clipping_warnings(run)
    name = str(destination) if target == "path" else "<BytesIO>"
    assert [str(w.message) for w in caught] == [
        f"{count} sample(s) beyond full scale (-1.0 to 1.0) were clipped writing to {name!r}"]
    assert caught[0].category is UserWarning
    assert caught[0].filename == __file__  # reported at the caller's line


@pytest.mark.parametrize("call", ["write", "convert"])
@pytest.mark.parametrize("encoding, data", [
    ("pcm16", np.array([[1.0, -1.0], [0.5, 1 - 2.0 ** -15], [-1.0, 0.0]])),
    ("pcm24", np.array([1.0, -1.0, 0.0], dtype=np.float32)),
    ("float32", np.array([[1.5, -3.0], [1e6, 0.0]])),
    ("float64", np.array([2.0, -2.0, 1e30])),
    ("pcm16", np.array([[32767, -32768], [0, 1]], dtype=np.int16)),
    ("pcm16", np.array([2 ** 31 - 1, -2 ** 31], dtype=np.int32)),
], ids=["full-scale", "full-scale-float32", "float32-keeps", "float64-keeps", "int16", "int32"])
def test_no_warning_when_nothing_is_clipped(tmp_path, call, encoding, data):
    """Nothing beyond full scale, a float encoding that keeps it, or integers."""
    target = tmp_path / "out.wav"
    if call == "write":
        caught = clipping_warnings(lambda: ondalis.write(target, data, RATE, encoding=encoding))
    else:
        original = tmp_path / "source.wav"
        subtype = {"float64": "DOUBLE", "float32": "FLOAT", "int16": "PCM_16",
                   "int32": "PCM_32"}[data.dtype.name]
        soundfile.write(original, data, RATE, subtype=subtype)
        caught = clipping_warnings(lambda: ondalis.convert(original, target, encoding=encoding))
    assert [str(w.message) for w in caught] == []
