"""Format, file-info, dither and embedded-file commands and their records."""
import io
import os

import numpy as np
import pytest
import soundfile

import _ondalis
from messages import BAD_PARAMETER, NO_HANDLE

IDS = _ondalis.commands_name_to_id


@pytest.fixture
def path(tmp_path, make_pcm16_wav):
    return make_pcm16_wav(tmp_path / "a.wav", np.arange(200, dtype=np.int16), channels=2,
                          samplerate=8000)


@pytest.fixture
def f(path):
    with _ondalis.Ondalis(path) as f:
        yield f


@pytest.fixture
def closed(path):
    f = _ondalis.Ondalis(path)
    f.close()
    return f


def test_format_info_by_code(closed):
    wav = closed.command("SFC_GET_FORMAT_INFO", 0x010000)
    assert wav == _ondalis.SfFormatInfo(format=0x010000, name="WAV (Microsoft)", extension="wav")
    # Encodings have no extension.
    pcm16 = closed.command("SFC_GET_FORMAT_INFO", 0x0002)
    assert pcm16 == _ondalis.SfFormatInfo(format=2, name="Signed 16 bit PCM", extension=None)


@pytest.mark.parametrize("listing, count, mask", [
    ("SFC_GET_FORMAT_MAJOR", "SFC_GET_FORMAT_MAJOR_COUNT", _ondalis.SF_FORMAT_TYPEMASK),
    ("SFC_GET_FORMAT_SUBTYPE", "SFC_GET_FORMAT_SUBTYPE_COUNT", _ondalis.SF_FORMAT_SUBMASK),
])
def test_listings_by_index_on_a_closed_object(closed, listing, count, mask):
    n = closed.command(count)
    records = [closed.command(listing, i) for i in range(n)]
    for record in records:
        # The index comes back replaced by the format code.
        assert record.format & mask == record.format != 0
        assert closed.command("SFC_GET_FORMAT_INFO", record.format) == record
    assert len({r.format for r in records}) == n
    with pytest.raises(RuntimeError) as excinfo:
        closed.command(listing, n)
    assert str(excinfo.value) == f"Ondalis::error:: command {listing} failed with error {BAD_PARAMETER}"


def test_major_formats_agree_with_soundfile(closed):
    n = closed.command("SFC_GET_FORMAT_MAJOR_COUNT")
    names = {closed.command("SFC_GET_FORMAT_MAJOR", i).name for i in range(n)}
    assert set(soundfile.available_formats().values()) <= names


def test_simple_formats_are_full_codes(closed):
    for i in range(closed.command("SFC_GET_SIMPLE_FORMAT_COUNT")):
        record = closed.command("SFC_GET_SIMPLE_FORMAT", i)
        assert record.format & _ondalis.SF_FORMAT_TYPEMASK in _ondalis.fileformat_id_to_name
        assert record.format & _ondalis.SF_FORMAT_SUBMASK in _ondalis.encoding_id_to_name
        assert record.name and record.extension


@pytest.mark.parametrize("code", [0x7FFF0000, 0x0FFF])
def test_rejected_format_code(closed, code):
    with pytest.raises(RuntimeError) as excinfo:
        closed.command("SFC_GET_FORMAT_INFO", code)
    assert str(excinfo.value) == (
        f"Ondalis::error:: command SFC_GET_FORMAT_INFO failed with error {BAD_PARAMETER}")


@pytest.mark.parametrize("arg, error", [("x", TypeError), (2**31, OverflowError)])
def test_format_argument_is_converted_first(closed, arg, error):
    with pytest.raises(error):
        closed._format_get_command("not an id", arg)


def test_current_sf_info(f):
    info = f.command("SFC_GET_CURRENT_SF_INFO")
    assert info == _ondalis.SfInfo(frames=100, samplerate=8000, channels=2, format=0x10002,
                                   sections=1, seekable=1)
    assert type(info.seekable) is int
    assert f._get_current_sf_info() == info
    with pytest.raises(TypeError):
        f._get_current_sf_info(0x1002)


def test_current_sf_info_is_asked_afresh(path):
    with _ondalis.Ondalis(path, "rw", format=0x10002) as f:
        f.command("SFC_FILE_TRUNCATE", 30)
        assert f.command("SFC_GET_CURRENT_SF_INFO").frames == 30
        assert f.frames() == 100  # recorded at opening


def test_current_sf_info_after_writing(tmp_path):
    if not hasattr(_ondalis.Ondalis, "write_frames"):
        pytest.skip("writing frames is not built yet")
    code = _ondalis.construct_format("wav", "pcm16")
    with _ondalis.Ondalis(tmp_path / "w.wav", "w", format=code, channels=1, samplerate=8000) as f:
        f.write_frames(np.zeros(123))
        assert f.command("SFC_GET_CURRENT_SF_INFO").frames == 123
        assert f.frames() == 0


def test_records_are_looked_up_and_built_with_keywords(f, closed, monkeypatch):
    monkeypatch.setattr(_ondalis, "SfInfo", lambda **fields: fields)
    monkeypatch.setattr(_ondalis, "SfEmbedFileInfo", lambda **fields: fields)
    assert list(f.command("SFC_GET_CURRENT_SF_INFO")) == [
        "frames", "samplerate", "channels", "format", "sections", "seekable"]
    assert f.command("SFC_GET_EMBED_FILE_INFO") == {"offset": 0, "length": 444}

    class Record:
        def __init__(self, **fields):
            self.given = dict(fields)
            self.__dict__.update(fields)

    monkeypatch.setattr(_ondalis, "SfFormatInfo", Record)
    record = closed.command("SFC_GET_FORMAT_INFO", 0x010000)
    # Built with no texts, which are set afterwards.
    assert record.given == {"format": 0x010000, "name": None, "extension": None}
    assert (record.name, record.extension) == ("WAV (Microsoft)", "wav")


@pytest.mark.parametrize("method, args", [
    ("_get_current_sf_info", ()),
    ("_dither_get_command", ("x",)),
    ("_dither_set_command", ("x", None)),
    ("_embed_get_command", ("x",)),
])
def test_handlers_refuse_a_closed_object_first(closed, method, args):
    with pytest.raises(RuntimeError) as excinfo:
        getattr(closed, method)(*args)
    assert str(excinfo.value) == NO_HANDLE


def test_format_handler_needs_no_file(closed):
    assert closed._format_get_command(IDS["SFC_GET_FORMAT_MAJOR"], 0).format != 0


def test_dither_info(f):
    info = f.command("SFC_GET_DITHER_INFO")
    # libsndfile 1.2.0 leaves the structure as it was given: zeroed.
    assert info == _ondalis.SfDitherInfo(type=0, level=0.0, name=None)
    assert type(info.level) is float


@pytest.mark.parametrize("name", ["SFC_SET_DITHER_ON_WRITE", "SFC_SET_DITHER_ON_READ"])
@pytest.mark.parametrize("dither_name", ["", "triangular", "ünïcode"])
def test_dither_settings_are_sent(path, name, dither_name):
    with _ondalis.Ondalis(path, "rw", format=0x10002) as f:
        assert f.command(name, _ondalis.SfDitherInfo(type=1, level=0.5, name=dither_name)) is None


class Dither:
    """A dither argument that records which attributes were read, in order."""

    def __init__(self, log, **values):
        self._log = log
        self._values = values

    def __getattr__(self, attribute):
        self._log.append(attribute)
        if attribute not in self._values:
            raise AttributeError(attribute)
        return self._values[attribute]


class StrEncoding(str):
    def encode(self, encoding):
        return str(self)


@pytest.mark.parametrize("values, error, reads", [
    ({"type": 1, "level": 0.5, "name": None}, AttributeError, ["type", "level", "name"]),
    ({"type": 1, "name": "x"}, AttributeError, ["type", "level"]),
    ({"type": "x", "level": 0.5, "name": "x"}, TypeError, ["type"]),
    ({"type": 1, "level": "x", "name": "x"}, TypeError, ["type", "level"]),
    ({"type": 2**31, "level": 0.5, "name": "x"}, OverflowError, ["type"]),
    ({"type": 1, "level": 0.5, "name": StrEncoding("x")}, TypeError, ["type", "level", "name"]),
    ({"type": 1, "level": 0.5, "name": "\udc80"}, UnicodeEncodeError, ["type", "level", "name"]),
])
def test_dither_argument_conversion(f, values, error, reads):
    log = []
    with pytest.raises(error):
        f.command("SFC_SET_DITHER_ON_WRITE", Dither(log, **values))
    assert log == reads


def test_dither_name_must_encode_to_bytes(f):
    bad = _ondalis.SfDitherInfo(type=1, level=0.5, name=StrEncoding("x"))
    with pytest.raises(TypeError) as excinfo:
        f.command("SFC_SET_DITHER_ON_READ", bad)
    assert str(excinfo.value) == "encode() returned str, expected bytes"


def test_embed_info_of_a_plain_file(f, path):
    assert f.command("SFC_GET_EMBED_FILE_INFO") == _ondalis.SfEmbedFileInfo(
        offset=0, length=os.path.getsize(path))


def test_embed_info_of_an_embedded_file(tmp_path):
    buffer = io.BytesIO()
    soundfile.write(buffer, np.zeros(10, dtype=np.int16), 8000, format="WAV", subtype="PCM_16")
    wav = buffer.getvalue()
    path = tmp_path / "bundle.bin"
    path.write_bytes(b"x" * 1000 + wav + b"y" * 50)
    fd = os.open(path, os.O_RDONLY)
    try:
        os.lseek(fd, 1000, os.SEEK_SET)
        with _ondalis.Ondalis(fd) as f:
            assert f.command("SFC_GET_EMBED_FILE_INFO") == _ondalis.SfEmbedFileInfo(
                offset=1000, length=len(wav))
    finally:
        os.close(fd)
