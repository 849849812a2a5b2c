"""A WAV file holding every kind of metadata, built byte by byte from the
published chunk layouts (LIST/INFO, cue, smpl, acid, bext, cart and the channel
mask of WAVE_FORMAT_EXTENSIBLE), with the values a reader must find in it. The
text-bearing chunks are built by functions that take their values, for files
with other texts."""
import struct

import numpy as np

from riff import chunk, fmt_extensible

SAMPLERATE = 8000
CHANNELS = 2
FRAMES = 300

STRINGS = {"SF_STR_TITLE": "A title", "SF_STR_ARTIST": "An artist", "SF_STR_COMMENT": "Ünïcode"}
# The same texts as info() names them.
SHORT_STRINGS = {"title": "A title", "artist": "An artist", "comment": "Ünïcode"}
CUE_OFFSETS = (10, 150)
UNITY_NOTE = 60
LOOP = (0, 20, 80, 3)  # smpl loop: type 0 (forward), start, end, play count
BEXT = dict(description="A description", originator="An originator",
            originator_reference="REF-0001", origination_date="2024-01-02",
            origination_time="03:04:05", time_reference=2 ** 33 + 7, coding_history="A=PCM\r\n")
CART = dict(version="0101", title="Cart title", artist="Cart artist", start_date="2024/01/01",
            start_time="00:00:00", end_date="2024/12/31", end_time="23:59:59",
            level_reference=-5, url="http://example.org/a", tag_text="A tag text")
CART_TIMERS = (("MRK ", 42), ("SEC1", 7))
ACID = dict(root_key=62, num_beats=8, time_sig_den=4, time_sig_num=3, bpm=120.0)
CHANNEL_MASK = 0x3  # front left, front right

_INFO_TAGS = {"SF_STR_TITLE": b"INAM", "SF_STR_ARTIST": b"IART", "SF_STR_COMMENT": b"ICMT"}


def samples():
    """The int16 frames of the file: a distinct value in every sample."""
    return (np.arange(FRAMES * CHANNELS, dtype=np.int16) * 97 - 20000).reshape(FRAMES, CHANNELS)


def _encoded(value):
    """A text as bytes: str as UTF-8, bytes (which need not be UTF-8) as they are."""
    return value if isinstance(value, bytes) else value.encode()


def _text(value, width):
    return _encoded(value).ljust(width, b"\0")


def list_info(strings):
    """A LIST/INFO chunk of {libsndfile string name: text}."""
    entries = b"".join(chunk(_INFO_TAGS[name], _encoded(text) + b"\0")
                       for name, text in strings.items())
    return chunk(b"LIST", b"INFO" + entries)


def cue(offsets, names=()):
    """A cue chunk with a point at each offset, and a LIST/adtl chunk with a
    labl (the point's name) for each of `names`."""
    points = b"".join(struct.pack("<II4sIII", i + 1, offset, b"data", 0, 0, offset)
                      for i, offset in enumerate(offsets))
    labels = b"".join(chunk(b"labl", struct.pack("<I", i + 1) + _encoded(name) + b"\0")
                      for i, name in enumerate(names))
    return (chunk(b"cue ", struct.pack("<I", len(offsets)) + points)
            + (chunk(b"LIST", b"adtl" + labels) if names else b""))


def _smpl():
    kind, start, end, count = LOOP
    head = struct.pack("<9I", 0, 0, 1_000_000_000 // SAMPLERATE, UNITY_NOTE, 0, 0, 0, 1, 0)
    return chunk(b"smpl", head + struct.pack("<6I", 0, kind, start, end, 0, count))


def _acid():
    # flags: bit 1 says the root note is set; not a one-shot loop.
    return chunk(b"acid", struct.pack("<IHHfIHHf", 0x2, ACID["root_key"], 0x8000, 0.0,
                                      ACID["num_beats"], ACID["time_sig_den"],
                                      ACID["time_sig_num"], ACID["bpm"]))


def bext(values):
    """A bext chunk with the fields of `values` (the keys of BEXT)."""
    time_reference = values["time_reference"]
    body = (_text(values["description"], 256) + _text(values["originator"], 32)
            + _text(values["originator_reference"], 32) + _text(values["origination_date"], 10)
            + _text(values["origination_time"], 8)
            + struct.pack("<IIH", time_reference & 0xFFFFFFFF, time_reference >> 32, 1)
            + bytes(64) + bytes(10) + bytes(180) + _encoded(values["coding_history"]))
    return chunk(b"bext", body)


def cart(values, timers):
    """A cart chunk with the fields of `values` (the keys of CART) and the
    (usage, value) post timers."""
    texts = (_text(values["version"], 4) + _text(values["title"], 64)
             + _text(values["artist"], 64) + bytes(64 * 5) + _text(values["start_date"], 10)
             + _text(values["start_time"], 8) + _text(values["end_date"], 10)
             + _text(values["end_time"], 8) + bytes(64 * 3))
    packed = b"".join(_text(usage, 4) + struct.pack("<I", value) for usage, value in timers)
    body = (texts + struct.pack("<i", values["level_reference"]) + packed.ljust(64, b"\0")
            + bytes(276) + _text(values["url"], 1024) + _encoded(values["tag_text"]))
    return chunk(b"cart", body)


def every_metadata_wav(path):
    """Write the file at `path` and return `path`."""
    data = chunk(b"data", samples().astype("<i2").tobytes())
    body = (b"WAVE" + fmt_extensible(CHANNELS, CHANNEL_MASK, SAMPLERATE) + list_info(STRINGS)
            + cue(CUE_OFFSETS) + _smpl() + _acid() + bext(BEXT) + cart(CART, CART_TIMERS)
            + data)
    path.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    return path
