"""Text metadata: bytes both ways, guarded by the per-format length table."""
import numpy as np
import pytest

from messages import NO_HANDLE


def new_file(m, tmp_path, major="wav", encoding="pcm16"):
    return m.Ondalis(tmp_path / f"s.{major}", "w", format=m.construct_format(major, encoding),
                     channels=1, samplerate=8000)


def test_reads_a_hand_built_info_chunk(m, build, tmp_path):
    chunk = build.riff_chunk
    info = b"INFO" + chunk(b"IART", b"Someone\0") + chunk(b"INAM", b"Hello\0")
    path = tmp_path / "info.wav"
    path.write_bytes(build.wav_bytes(np.zeros(8), extra_chunks=chunk(b"LIST", info)))
    with m.Ondalis(path) as f:
        strings = f.get_strings()
    assert strings == {"SF_STR_TITLE": b"Hello", "SF_STR_ARTIST": b"Someone"}
    assert list(strings) == ["SF_STR_TITLE", "SF_STR_ARTIST"]  # ascending ids


def test_written_strings_come_back_in_id_order(m, tmp_path):
    path = tmp_path / "s.wav"
    with new_file(m, tmp_path) as f:
        assert f.get_strings() == {}
        assert f.set_string("SF_STR_GENRE", b"jazz") is None
        f.set_string("SF_STR_TITLE", bytearray(b"abc"))
        f.set_string("SF_STR_COMMENT", b"cut\0here")  # stored up to the NUL
        assert list(f.get_strings().items()) == [
            ("SF_STR_TITLE", b"abc"), ("SF_STR_COMMENT", b"cut"), ("SF_STR_GENRE", b"jazz")]
        f.write_frames(np.zeros(4))
    raw = path.read_bytes()
    assert b"INAM\x04\x00\x00\x00abc\x00" in raw and b"IGNR" in raw
    with new_file(m, tmp_path, "flac") as g:
        assert g.get_strings() == {}


@pytest.mark.parametrize("major, encoding, limit", [
    ("wav", "pcm16", 2040),
    ("aiff", "pcm16", 8190),
    ("caf", "pcm16", 16370),
    ("flac", "pcm16", None),
])
def test_length_limit_per_major_format(m, tmp_path, major, encoding, limit):
    with new_file(m, tmp_path, major, encoding) as f:
        if limit is None:
            f.set_string("SF_STR_COMMENT", b"x" * 20000)
            assert f.get_strings()["SF_STR_COMMENT"] == b"x" * 20000
            return
        f.set_string("SF_STR_COMMENT", b"x" * limit)
        with pytest.raises(RuntimeError) as excinfo:
            f.set_string("SF_STR_COMMENT", b"y" * (limit + 1))
        assert str(excinfo.value) == (
            f"ondalis::set_string::your string to be written into SF_STR_COMMENT has length "
            f"{limit + 1} exceeding the length of strings ({limit}) supported for reading in "
            "libsndfile 1.0.28")
        assert f.get_strings()["SF_STR_COMMENT"] == b"x" * limit


def test_refusals(m, build, tmp_path):
    with new_file(m, tmp_path) as f:
        with pytest.raises(RuntimeError) as excinfo:
            f.set_string("TITLE", b"abc")
        assert str(excinfo.value) == (
            "Ondalis::error::set_string called with an unsupported stringtype:TITLE")
        with pytest.raises(TypeError):
            f.set_string("SF_STR_TITLE", "abc")
        with pytest.raises(TypeError):  # no length while the format has a limit
            f.set_string("SF_STR_TITLE", 5)
        assert f.get_strings() == {}
    path = build.pcm16_wav(tmp_path / "r.wav", np.zeros(4))
    with m.Ondalis(path) as f:
        with pytest.raises(RuntimeError) as excinfo:
            f.set_string("SF_STR_TITLE", b"abc")
        head, text = str(excinfo.value).split("\n")
        assert head == "Ondalis::error::setting string of type SF_STR_TITLE"
        assert text.startswith("error messge is:b'") and text.endswith("'")


def test_set_strings_stops_at_the_first_error(m, tmp_path):
    with new_file(m, tmp_path) as f:
        with pytest.raises(RuntimeError) as excinfo:
            f.set_strings({"SF_STR_ARTIST": b"me", "NOPE": b"x", "SF_STR_TITLE": b"t"})
        assert str(excinfo.value).endswith("unsupported stringtype:NOPE")
        assert f.get_strings() == {"SF_STR_ARTIST": b"me"}


def test_set_strings_goes_through_set_string(m, tmp_path):
    seen = []

    class Recording(m.Ondalis):
        def set_string(self, name, value):
            seen.append((name, value))
            return super().set_string(name, value)

    f = Recording(tmp_path / "s.wav", "w", format=m.construct_format("wav", "pcm16"),
                  channels=1, samplerate=8000)
    assert f.set_strings(sf_strings_dict={"SF_STR_TITLE": b"a", "SF_STR_DATE": b"b"}) is None
    assert seen == [("SF_STR_TITLE", b"a"), ("SF_STR_DATE", b"b")]
    assert f.get_strings() == {"SF_STR_TITLE": b"a", "SF_STR_DATE": b"b"}
    f.close()


def test_major_format_comes_from_the_method(m, tmp_path):
    class Pretending(m.Ondalis):
        def major_format_str(self):
            return "aiff"

    f = Pretending(tmp_path / "s.wav", "w", format=m.construct_format("wav", "pcm16"),
                   channels=1, samplerate=8000)
    f.set_string("SF_STR_TITLE", b"x" * 2041)  # the aiff limit applies, not wav's
    with pytest.raises(RuntimeError, match=r"\(8190\)"):
        f.set_string("SF_STR_TITLE", b"x" * 8191)
    f.close()


def test_closed_object(m, tmp_path):
    f = new_file(m, tmp_path)
    f.close()
    for call in (f.get_strings, lambda: f.set_string("SF_STR_TITLE", b"a"),
                 lambda: f.set_strings({"SF_STR_TITLE": b"a"})):
        with pytest.raises(RuntimeError) as excinfo:
            call()
        assert str(excinfo.value) == NO_HANDLE
    assert f.set_strings({}) is None


def test_arguments(m, tmp_path):
    with new_file(m, tmp_path) as f:
        f.set_string(stringtype_name="SF_STR_TITLE", string=b"k")
        with pytest.raises(TypeError):
            f.get_strings(x=1)
        with pytest.raises(TypeError):
            f.set_string("SF_STR_TITLE")
        with pytest.raises(TypeError):
            f.set_strings()
