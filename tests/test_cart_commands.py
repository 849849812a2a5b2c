"""Cart chunk commands: SF_CART_INFO as SfCartInfo with SfCartTimer timers."""
import dataclasses
import struct

import pytest

import _ondalis as m
from conftest import pcm16_wav
from messages import NO_HANDLE
from riff import (chunk, closed_file, command_id, field, on_file, on_new_file, recording_class,
                  riff_chunks, write_wav)

GET = command_id("SFC_GET_CART_INFO")
SET = command_id("SFC_SET_CART_INFO")
Timer = m.SfCartTimer
TEXTS = ["version", "title", "artist", "cut_id", "client_id", "category", "classification",
         "out_cue", "start_date", "start_time", "end_date", "end_time", "producer_app_id",
         "producer_app_version", "user_def"]
FIELDS = TEXTS + ["level_reference", "post_timers", "url", "tag_text"]
# The cart chunk: fifteen text fields, the level reference, eight timers
# (usage, value), 276 reserved bytes, the URL; the tag text follows the 2048
# fixed bytes.
CART = struct.Struct("<4s64s64s64s64s64s64s64s10s8s10s8s64s64s64si" + "4si" * 8 + "276s1024s")
TEXT_VALUES = ["0101", "t" * 64, "Artíst", "cut", "client", "cat", "class", "out",
               "2024-01-02", "12:34:56", "2024-12-31", "23:59:59", "app", "1.0", "user"]


def cart(**changes):
    values = dict(zip(TEXTS, TEXT_VALUES), level_reference=-2147483648,
                  post_timers=[Timer("SEC1", 5), Timer("ÄÖ", -1)], url="u" * 1024, tag_text="")
    values.update(changes)
    return m.SfCartInfo(**values)


def read(path):
    return on_file(path, "_cart_get_command", GET)


def write(path, record):
    return on_new_file(path, "_cart_set_command", SET, record)


def cart_chunk(tag_text, timers=()):
    flat = [value for timer in timers for value in timer]
    flat += [b"", 0] * (8 - len(timers))
    fixed = CART.pack(*[v.encode() for v in TEXT_VALUES], -5, *flat, b"", b"http://x")
    return chunk(b"cart", fixed + tag_text)


def as_libsndfile_stores(tag_text):
    """libsndfile ends each line of the tag text in CR LF, the last one too."""
    text = tag_text.replace("\n", "\r\n")
    return text + "\r\n" if text and not text.endswith("\n") else text


# 255 bytes of tag text fit the declared 2308-byte structure, 256 and more
# need a longer one. libsndfile 1.2.0 writes the stored text with its NUL,
# padded to an even size; a pad byte beyond what it copied from the structure
# comes from memory it never set (seen as garbage under AddressSanitizer), so
# the texts here need no such byte.
@pytest.mark.parametrize("tag_text", ["", "x" * 255, "y" * 255 + "\n", "z" * 2999 + "\n"])
def test_wav_round_trip(wav_path, tag_text):
    given = cart(tag_text=tag_text)
    assert write(wav_path, given) is None
    raw = riff_chunks(wav_path)[b"cart"]
    fixed = CART.unpack_from(raw)
    assert [field(v).decode() for v in fixed[:15]] == TEXT_VALUES
    assert fixed[15:20] == (-2147483648, b"SEC1", 5, "ÄÖ".encode(), -1)
    assert fixed[-1] == b"u" * 1024
    got = read(wav_path)
    assert got.tag_text == raw[CART.size:].decode()
    assert got.tag_text.rstrip("\0") == as_libsndfile_stores(tag_text)
    assert got == dataclasses.replace(given, tag_text=got.tag_text)


def test_timers_not_in_use_are_skipped(wav_path):
    write(wav_path, cart(post_timers=[Timer("AAAA", 1), Timer("", 99), Timer(None, 7),
                                      Timer("B", 2), *[Timer("C", i) for i in range(4)]]))
    assert read(wav_path).post_timers == [Timer("AAAA", 1), Timer("B", 2),
                                          *[Timer("C", i) for i in range(4)]]


# A cart chunk without tag text is left out: libsndfile 1.2.0 does not set
# the tag text count of such a chunk.
@pytest.mark.parametrize("n", [1, 255, 256, 3000])
def test_reads_a_hand_built_chunk(tmp_path, n):
    tag_text = "g" * (n - 1) + "\n"
    timers = [(b"SEC1", 7), (b"", 9), (b"MRK ", -2), (b"\0END", 3)]
    path = write_wav(tmp_path / "cart.wav", cart_chunk(tag_text.encode(), timers))
    assert read(path) == m.SfCartInfo(**dict(zip(TEXTS, TEXT_VALUES)), level_reference=-5,
                                      post_timers=[Timer("SEC1", 7), Timer("MRK ", -2)],
                                      url="http://x", tag_text=tag_text)


@pytest.mark.parametrize("tag_text, timers", [(b"ok\xff", ()), (b"ok", [(b"\xff\xfe", 1)])])
def test_text_that_is_not_utf8_fails_reading(tmp_path, tag_text, timers):
    with pytest.raises(UnicodeDecodeError):
        read(write_wav(tmp_path / "cart.wav", cart_chunk(tag_text, timers)))


def test_file_without_chunk_gives_none(tmp_path):
    assert read(pcm16_wav(tmp_path / "plain.wav", [0])) is None


@pytest.mark.parametrize("change, error, message", [
    (dict(tag_text=None, version="12345"), AttributeError, None),
    (dict(version="12345"), RuntimeError,
     "Ondalis::error:: version is too long (5) in SFC_SET_CART_INFO, maximum length is 4"),
    (dict(end_time="é" * 5), RuntimeError,
     "Ondalis::error:: end_time is too long (10) in SFC_SET_CART_INFO, maximum length is 8"),
    (dict(level_reference=2147483648), RuntimeError,
     "Ondalis::error:: command SFC_SET_CART_INFO argument level_reference value 2147483648 "
     "is out of range -2147483648-2147483647"),
    (dict(level_reference="1"), TypeError, None),
    (dict(post_timers=[Timer("A", 0)] * 9), RuntimeError,
     "Ondalis::error:: command SFC_SET_CART_INFO post_times is too big (9) maximum size is 8"),
    (dict(post_timers=[Timer("A", 0), Timer("ABCDE", 0)]), RuntimeError,
     "Ondalis::error:: post_timers.usage is too long (5) in SFC_SET_CART_INFO, "
     "maximum length is 4"),
    (dict(post_timers=[Timer("A", -2147483649)]), RuntimeError,
     "Ondalis::error:: command SFC_SET_CART_INFO argument post_timers.value value -2147483649 "
     "is out of range -2147483648-2147483647"),
    (dict(post_timers=[object()]), AttributeError, None),
    (dict(url="u" * 1025), RuntimeError,
     "Ondalis::error:: url is too long (1025) in SFC_SET_CART_INFO, maximum length is 1024"),
])
def test_bad_record_sends_nothing(wav_path, change, error, message):
    with pytest.raises(error) as excinfo:
        write(wav_path, cart(**change))
    if message is not None:
        assert str(excinfo.value) == message
    assert read(wav_path) is None


def test_refusal_by_libsndfile(tmp_path):
    path = pcm16_wav(tmp_path / "plain.wav", [0])
    with m.Ondalis(path) as f, pytest.raises(RuntimeError) as excinfo:
        f._cart_set_command(command=SET, arg=cart())
    assert str(excinfo.value) == "Ondalis::error:: command SFC_SET_CART_INFO failed"


def test_record_classes_are_looked_up_at_each_use(tmp_path, monkeypatch):
    path = write_wav(tmp_path / "cart.wav", cart_chunk(b"x" * 300, [(b"SEC1", 7)]))
    records = {name: recording_class() for name in ("SfCartInfo", "SfCartTimer")}
    for name, record in records.items():
        monkeypatch.setattr(m, name, record)
    with m.Ondalis(path) as f:
        got = f._cart_get_command(command=GET)
    assert records["SfCartInfo"].calls == [FIELDS]
    assert records["SfCartTimer"].calls == [["usage", "value"]]
    assert ([(t.usage, t.value) for t in got.post_timers], got.tag_text) == \
        ([("SEC1", 7)], "x" * 300)


@pytest.mark.parametrize("call", [lambda f: f._cart_get_command(GET),
                                  lambda f: f._cart_set_command(SET, cart())])
def test_closed_object(wav_path, call):
    with pytest.raises(RuntimeError) as excinfo:
        call(closed_file(wav_path))
    assert str(excinfo.value) == NO_HANDLE
