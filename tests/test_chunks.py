"""Chunks: listed by info(), read by chunk_data(), written by write(chunks=...)
and Ondalis.set_chunk, carried by convert, shown by the command line. Files
are built by hand (riff.py) and what ondalis writes is read back with the
RIFF reader of riff.py as well as with libsndfile."""
import io
import struct

import numpy as np
import pytest

import ondalis
from ondalis import _stream, cli
from riff import chunk, fmt_pcm16, riff_chunks, write_aiff, write_wav
import sweep

IXML = b"<BWFXML><PROJECT>take</PROJECT></BWFXML>"  # 40 bytes: a multiple of 4
AXML = b"<x:xmpmeta>caf\xc3\xa9!</x:xmpmeta>\0"
ID3 = b"ID3\x04\x00\x00\x00\x00\x00\x00"
UNKNOWN = b"\x01\x02\x03\x04\x05\x06"  # even: libsndfile reads no pad byte in RF64
CHUNKS = [(b"iXML", IXML), (b"axml", AXML), (b"ID3 ", ID3), (b"zzzz", UNKNOWN)]


def write_rf64(path, *chunks, frames=4):
    """A mono 16-bit RF64: its sizes in the ds64 chunk, 0xffffffff in the headers."""
    data = b"\0\0" * frames
    rest = fmt_pcm16() + b"".join(chunks) + b"data" + struct.pack("<I", 0xFFFFFFFF) + data
    ds64 = chunk(b"ds64", struct.pack("<QQQI", 4 + 36 + len(rest), len(data), frames, 0))
    path.write_bytes(b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + ds64 + rest)
    return path


def built(kind, path):
    endian = ">" if kind == "aiff" else "<"
    bodies = [chunk(tag, body, endian) for tag, body in CHUNKS]
    return {"wav": write_wav, "rf64": write_rf64, "aiff": write_aiff}[kind](path, *bodies)


@pytest.mark.parametrize("kind,first,last", [("wav", "RIFF", "data"), ("rf64", "ds64", "data"),
                                             ("aiff", "FORM", "SSND")])
def test_listing_and_reading(tmp_path, kind, first, last):
    path = built(kind, tmp_path / f"a.{kind}")
    found = ondalis.info(path).chunks
    ids = [id for id, _ in found]
    assert ids[0] == first and ids[-1] == last
    assert [(id, size) for id, size in found if id in ("iXML", "axml", "ID3 ", "zzzz")] == \
        [(tag.decode(), len(body)) for tag, body in CHUNKS]
    for tag, body in CHUNKS:
        assert ondalis.chunk_data(path, tag) == [body]
    assert ondalis.chunk_data(path, "none") == []
    assert ondalis.chunk_data(path, "axml", text=True) == ["<x:xmpmeta>café!</x:xmpmeta>"]


@pytest.mark.parametrize("source", [
    lambda p: str(p), lambda p: io.BytesIO(p.read_bytes()), lambda p: bytearray(p.read_bytes()),
    lambda p: open(p, "rb")])
def test_every_source(tmp_path, source):
    path = write_wav(tmp_path / "a.wav", chunk(b"iXML", IXML), chunk(b"iXML", b"2nd"),
                     chunk(b"none", b""))
    assert ondalis.info(source(path)).chunks[2:5] == [("iXML", len(IXML)), ("iXML", 3),
                                                      (ondalis.info(source(path)).chunks[4][0], 0)]
    assert ondalis.chunk_data(source(path), "iXML") == [IXML, b"2nd"]
    assert ondalis.chunk_data(source(path), "none") == [b""]


@pytest.mark.parametrize("id,error", [("abc", ValueError), ("abcde", ValueError),
                                      ("ab\x01c", ValueError), ("é123", ValueError),
                                      (b"\xff123", ValueError), (5, TypeError)])
def test_bad_ids(tmp_path, id, error):
    path = write_wav(tmp_path / "a.wav")
    with pytest.raises(error):
        ondalis.chunk_data(path, id)
    with pytest.raises(error):
        ondalis.write(tmp_path / "b.wav", np.zeros(4), 8000, chunks=[(id, b"x")])


def test_a_chunk_claiming_more_than_the_file_holds(tmp_path):
    path = write_wav(tmp_path / "a.wav")
    path.write_bytes(path.read_bytes() + b"long" + struct.pack("<I", 0xFFFFFF00) + b"abc")
    assert ("long", 0xFFFFFF00) in ondalis.info(path).chunks
    with pytest.raises(OSError, match="claims 4294967040 bytes, more than the file holds"):
        ondalis.chunk_data(path, "long")


@pytest.mark.parametrize("given", [list, dict], ids=["pairs", "mapping"])
@pytest.mark.parametrize("major", ["wav", "wavex", "rf64", "aiff"])
def test_write_chunks(tmp_path, major, given):
    path = tmp_path / f"a.{major}"
    ondalis.write(path, np.zeros(8), 8000, major=major, chunks=given(CHUNKS))
    for tag, body in CHUNKS:
        # libsndfile pads every chunk it writes to a multiple of 4 bytes
        padded = body + b"\0" * (-len(body) % 4)
        assert ondalis.chunk_data(path, tag) == [padded]
    if major != "aiff":
        assert riff_chunks(path)[b"iXML"] == IXML if major != "rf64" else True


@pytest.mark.parametrize("chunks,message", [
    ([("fmt ", b"x")], "libsndfile writes the 'fmt ' chunk itself"),
    ([("LIST", b"x")], "libsndfile writes the 'LIST' chunk itself"),
    ([("iXML", b"a"), (b"iXML", b"b")], "the chunk 'iXML' is given twice"),
    ([("big1", bytes(40961))], "at most 40960 bytes together"),
    ([("big1", bytes(30000)), ("big2", bytes(20000))], "at most 40960 bytes together"),
    ([(f"c{i:03d}", b"x") for i in range(21)], "at most 20 chunks"),
])
def test_write_refusals(tmp_path, chunks, message):
    with pytest.raises(ValueError, match=message):
        ondalis.write(tmp_path / "a.wav", np.zeros(8), 8000, chunks=chunks)


def test_chunks_fill_their_room(tmp_path):
    """The limits hold with every other piece of metadata beside them."""
    path = tmp_path / "a.wav"
    f = ondalis.Ondalis(str(path), "w", format=ondalis.construct_format("wav", "pcm16"),
                        channels=2, samplerate=8000)
    sweep.add_metadata(f, 2)
    for i in range(20):
        f.set_chunk(f"c{i:03d}", bytes([i]) * 2044)
    f.write_frames(np.zeros((8, 2), np.int16))
    f.close()
    assert [ondalis.chunk_data(path, f"c{i:03d}") for i in range(20)] == \
        [[bytes([i]) * 2044] for i in range(20)]
    assert ondalis.read(path)[0].shape == (8, 2)


def test_ondalis_set_chunk(tmp_path):
    path = tmp_path / "a.wav"
    with ondalis.Ondalis(str(path), "w", format=ondalis.construct_format("wav", "pcm16"),
                         channels=1, samplerate=8000) as f:
        f.set_chunk(b"iXML", bytearray(IXML))
        f.write_frames(np.zeros(4, np.int16))
        with pytest.raises(ValueError, match="cannot set a chunk after audio frames"):
            f.set_chunk("late", b"x")
    assert riff_chunks(path)[b"iXML"] == IXML and b"late" not in riff_chunks(path)
    flac = ondalis.Ondalis(str(tmp_path / "a.flac"), "w",
                           format=ondalis.construct_format("flac", "pcm16"), channels=1,
                           samplerate=8000)
    with flac, pytest.raises(ValueError, match="only to WAV, WAVEX, RF64 and AIFF"):
        flac.set_chunk("iXML", IXML)


@pytest.mark.parametrize("major,encoding", [("wav", "pcm16"), ("wavex", "pcm24"),
                                            ("rf64", "float32"), ("aiff", "float32"),
                                            ("aiff", "pcm16")])
def test_ids_libsndfile_writes_itself_are_listed(tmp_path, major, encoding):
    """Every chunk libsndfile writes from the format and metadata is one
    that convert does not carry: a file with all of them lists no other."""
    path = tmp_path / f"a.{major}"
    f = ondalis.Ondalis(str(path), "w", format=ondalis.construct_format(major, encoding),
                        channels=2, samplerate=8000)
    sweep.add_metadata(f, 2)
    f.write_frames(np.full((8, 2), 0.5))
    f.close()
    code = ondalis.info(path).format & ondalis.SF_FORMAT_TYPEMASK
    written = set(_stream.WRITTEN_CHUNK_IDS[code][1])
    assert {id for id, _ in ondalis.info(path).chunks} <= written


def test_convert_wav_to_wav_keeps_ixml_byte_for_byte(tmp_path):
    source = built("wav", tmp_path / "a.wav")
    done = ondalis.convert(source, tmp_path / "b.wav", progress=False)
    assert done.lost == []
    assert riff_chunks(tmp_path / "b.wav")[b"iXML"] == IXML
    assert ondalis.chunk_data(tmp_path / "b.wav", "zzzz") == [UNKNOWN + b"\0\0"]


@pytest.mark.parametrize("target,lost", [
    ("b.rf64", []), ("b.aiff", ["chunk 'zzzz'"]),
    ("b.flac", ["chunk 'iXML'", "chunk 'axml'", "chunk 'ID3 '", "chunk 'zzzz'"])])
def test_convert_lists_what_it_could_not_carry(tmp_path, target, lost):
    source = built("wav", tmp_path / "a.wav")
    done = ondalis.convert(source, tmp_path / target, progress=False)
    assert done.lost == lost
    if target != "b.flac":
        assert ondalis.chunk_data(tmp_path / target, "iXML") == [IXML]


def test_convert_counts_duplicates(tmp_path):
    source = write_wav(tmp_path / "a.wav", chunk(b"iXML", IXML), chunk(b"iXML", IXML[:8]))
    assert ondalis.convert(source, tmp_path / "b.wav", progress=False).lost == []
    assert ondalis.chunk_data(tmp_path / "b.wav", "iXML") == [IXML, IXML[:8]]


def test_command_line(tmp_path, capsys):
    path = write_wav(tmp_path / "a.wav", chunk(b"iXML", b"<a>\x1b[2J\r\nline</a>"))
    assert cli.main(["info", str(path)]) == 0
    assert "    'iXML' 17 bytes" in capsys.readouterr().out.splitlines()
    assert cli.main(["info", "--json", str(path)]) == 0
    assert '"iXML",' in capsys.readouterr().out
    assert cli.main(["chunk", str(path), "iXML", "--text"]) == 0
    assert capsys.readouterr().out == "<a>\\x1b[2J\nline</a>\n"
    assert cli.main(["chunk", str(path), "none"]) == 1
    assert "holds no 'none' chunk" in capsys.readouterr().err
