"""Hand-built RIFF/WAVE and AIFF files and a RIFF chunk reader, from the
published layouts, so that metadata readers are checked against bytes we know
and writers against a reader that is not ours."""
import struct

import _ondalis

# The GUID of PCM data in a WAVE_FORMAT_EXTENSIBLE fmt chunk.
PCM_GUID = bytes.fromhex("0100000000001000800000aa00389b71")


def chunk(tag, body, endian="<"):
    """One chunk: tag, 32-bit size, body, pad byte for odd sizes."""
    pad = b"\0" if len(body) % 2 else b""
    return tag + struct.pack(endian + "I", len(body)) + body + pad


def fmt_pcm16(channels=1, samplerate=8000):
    return chunk(b"fmt ", struct.pack("<HHIIHH", 1, channels, samplerate,
                                      samplerate * 2 * channels, 2 * channels, 16))


def fmt_extensible(channels, mask, samplerate=8000):
    return chunk(b"fmt ", struct.pack("<HHIIHHHHI16s", 0xFFFE, channels, samplerate,
                                      samplerate * 2 * channels, 2 * channels, 16, 22, 16,
                                      mask, PCM_GUID))


def write_wav(path, *chunks, fmt=None, frames=4, channels=1):
    """A 16-bit PCM WAV with the given chunks between fmt and data."""
    fmt = fmt if fmt is not None else fmt_pcm16(channels)
    data = chunk(b"data", b"\0\0" * frames * channels)
    body = b"WAVE" + fmt + b"".join(chunks) + data
    path.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    return path


def write_aiff(path, *chunks, frames=4):
    """A mono 16-bit 8000 Hz AIFF with the given chunks between COMM and SSND."""
    rate = bytes.fromhex("400bfa00000000000000")  # 8000.0 as 80-bit extended
    comm = chunk(b"COMM", struct.pack(">hIh", 1, frames, 16) + rate, ">")
    ssnd = chunk(b"SSND", struct.pack(">II", 0, 0) + b"\0\0" * frames, ">")
    body = b"AIFF" + comm + b"".join(chunks) + ssnd
    path.write_bytes(b"FORM" + struct.pack(">I", len(body)) + body)
    return path


def riff_chunks(path):
    """{tag: body} of the top-level chunks of a RIFF file."""
    data = path.read_bytes()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
    chunks, pos = {}, 12
    while pos + 8 <= len(data):
        tag, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        chunks[tag] = data[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    return chunks


def field(raw):
    """A fixed-width text field of a chunk, up to its first NUL."""
    return raw.split(b"\0", 1)[0]


def new_file(path, major="wav", channels=1):
    """A new file opened for writing with 16-bit PCM at 8000 Hz."""
    fmt = _ondalis.construct_format(major, "pcm16")
    return _ondalis.Ondalis(path, "w", format=fmt, channels=channels, samplerate=8000)


def closed_file(path, major="wav", channels=1):
    """A file that was opened for writing and is closed again."""
    f = new_file(path, major, channels)
    f.close()
    return f


def on_file(path, method, *args):
    """method(*args) on the file at `path`, opened for reading."""
    with _ondalis.Ondalis(path) as f:
        return getattr(f, method)(*args)


def on_new_file(path, method, *args, major="wav", channels=1):
    """method(*args) on a new file at `path`, opened for writing."""
    with new_file(path, major, channels) as f:
        return getattr(f, method)(*args)


def command_id(name):
    return _ondalis.commands_name_to_id[name]


def recording_class():
    """A stand-in record class that remembers the keyword names of every
    record built with it (in `calls`) and keeps the values as attributes."""
    calls = []

    class Record:
        def __init__(self, **kwargs):
            calls.append(list(kwargs))
            self.__dict__.update(kwargs)

    Record.calls = calls
    return Record


def recording_checker(calls):
    """A stand-in for _check_command_retval that records its arguments."""
    def check(ret, command, failure):
        calls.append((ret, command, failure))
        return ret
    return check
