"""check(): whether a sound file is whole, decoded to its end.

libsndfile says little of damage on its own: it stops where a decoder error
stops it, shortens a chunk that claims more bytes than the file holds and
says so only in its log, and never compares a FLAC stream's MD5 signature
with the audio it decodes. check() does all three.
"""
import dataclasses
import re
from typing import Any, Dict, Literal, Optional, Tuple

from . import _api, _stream

# A FLAC stream's signature against its decoded audio: equal, different, or
# not compared (the encoder left it unset, the start of the source could not
# be read again, or decoding did not reach the end).
Md5Status = Literal["match", "mismatch", "unchecked"]

# A header field that claims more than the file holds, as libsndfile's log
# of the open notes it ("data : 88200 (should be 44078)"): the name, the
# size given, the size the file has room for.
_CLAIM = re.compile(r"^ *([A-Za-z][A-Za-z0-9 ]*?) *: (\d+) \(should be (\d+)\)$", re.M)

# The fields that give the size of the audio itself, with the bytes they
# count before the first sample (AIFF's SSND holds an offset and a block size).
_AUDIO_SIZES = {"data": 0, "SSND": 8, "Data Size": 0}

# The containers whose size may count a pad byte the file lacks at its end
# (chunks are padded to an even length; some writers leave the last one
# out): one byte short is no damage.
_PAD = {"RIFF": 1, "FORM": 1, "riff": 1}

# Bytes per sample of the encodings whose frames all have one size.
_SAMPLE_BYTES = {"pcms8": 1, "pcmu8": 1, "ulaw": 1, "alaw": 1, "pcm16": 2, "pcm24": 3,
                 "pcm32": 4, "float32": 4, "float64": 8}

_NO_SIGNATURE = bytes(16)


@dataclasses.dataclass
class CheckResult:
    """What check() found: `ok` when the file decoded to the end its header
    announced without an error and, for a FLAC, to the audio its MD5
    signature describes.

    `frames` were decoded of the `expected_frames` the header announces (None
    when the length is unknown, or the file could not be opened); `error`
    says what is wrong (None when ok); `md5` is a FLAC stream's verdict
    ('match', 'mismatch', or 'unchecked': no signature set, or decoding
    stopped before the end), None for other formats.
    """
    path: str
    ok: bool
    frames: int
    expected_frames: Optional[int]
    error: Optional[str] = None
    md5: Optional[Md5Status] = None


def check(source: _api.Source, *, major: Optional[str] = None, encoding: Optional[str] = None,
          samplerate: Optional[int] = None, channels: Optional[int] = None) -> CheckResult:
    """Decode a sound file to its end and say whether it is whole.

    `source` is any source read() takes (headerless input described by
    major, encoding, samplerate and channels). A file libsndfile cannot open
    gives a result with ok=False and libsndfile's reason, as do a decoder
    error (where decoding stopped, and libsndfile's reason), fewer frames
    than the header announces, and a FLAC whose decoded audio does not match
    the MD5 signature in its STREAMINFO block. The audio is decoded and
    hashed with the interpreter lock released. Raises OSError when the
    source cannot be reached at all (a missing file, a directory, no
    permission) and what read() raises for a source of the wrong kind.
    """
    label = _api._path_text(source)
    described = _api._raw_format(major, encoding, samplerate, channels)
    _api._check_access(source, "r")
    try:
        found = _stream.check(source, **described)
    except _api.SndfileError as refused:  # libsndfile cannot open it
        return CheckResult(label, False, 0, None, str(refused))
    expected, short = _expected_frames(found)
    error = _damage(found, expected, short)
    md5 = _md5_status(found, error)
    if md5 == "mismatch":
        error = (f"the decoded audio does not match the MD5 signature of its STREAMINFO "
                 f"block (signature {found['signature'].hex()}, decoded {found['digest'].hex()})")
    return CheckResult(label, error is None, found["frames"], expected, error, md5)


def _expected_frames(found: Dict[str, Any]) -> Tuple[Optional[int], Optional[str]]:
    """(the frames the header announces, what of it the file cannot hold).
    libsndfile announces the frames the file has room for; its log keeps
    what a header claimed beyond that."""
    announced = None if found["announced"] < 0 else found["announced"]
    claims = [(name, int(given), int(room))
              for name, given, room in _CLAIM.findall(found["log"] or "")
              if int(given) > int(room) + _PAD.get(name, 0)]
    if not claims:
        return announced, None
    name, given, room = next((claim for claim in claims if claim[0] in _AUDIO_SIZES), claims[0])
    short = f"{name} of {given} bytes, {room} in the file"
    width = _SAMPLE_BYTES.get(_api._format_names(found["format"])[1])
    if name in _AUDIO_SIZES and width is not None:
        announced = (given - _AUDIO_SIZES[name]) // (width * found["channels"])
    return announced, short


def _damage(found: Dict[str, Any], expected: Optional[int], short: Optional[str]) -> Optional[str]:
    """What stopped decoding before the end, or None."""
    frames = found["frames"]
    of = "of an unknown length" if expected is None else f"of the {expected} its header announces"
    if found["reason"] is not None:
        return f"decoding stopped at frame {frames} {of}: {found['reason']}"
    if expected is not None and frames < expected:
        return f"ends at frame {frames} {of}" + (f" ({short})" if short else "")
    if short is not None:
        return f"the file is shorter than its header says ({short})"
    return None


def _md5_status(found: Dict[str, Any], damage: Optional[str]) -> Optional[Md5Status]:
    if _api._format_names(found["format"])[0] != "flac":
        return None
    signature = found["signature"]
    if damage is not None or signature is None or signature == _NO_SIGNATURE:
        return "unchecked"
    return "match" if found["digest"] == signature else "mismatch"
