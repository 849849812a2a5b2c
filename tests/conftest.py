"""Shared fixtures: files are made in tmp_path, by the module or by other writers."""
import ctypes
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

# Test modules import their helper modules (riff, conftest) from this folder;
# the importlib import mode does not put it on the path by itself.
sys.path.insert(0, str(pathlib.Path(__file__).parent))

import _ondalis


@pytest.fixture
def m():
    """The extension module."""
    return _ondalis


@pytest.fixture(autouse=True)
def _module_namespace_kept():
    """Tests rebind module attributes and edit the tables; afterwards the
    namespace and every table dict get back their entries in their original
    order (monkeypatch restores values, but a deleted key comes back last)."""
    namespace = vars(_ondalis)
    saved = list(namespace.items())
    tables = [(value, list(value.items())) for name, value in saved
              if type(value) is dict and not name.startswith("__")]
    yield
    for table, items in tables:
        if list(table.items()) != items:
            table.clear()
            table.update(items)
    if list(namespace.items()) != saved:
        namespace.clear()
        namespace.update(saved)


def mounted_tmpfs(mount, size):
    """A real tmpfs of `size` ("64k") at the new folder `mount`, unmounted
    when the generator ends (root only: skips otherwise)."""
    mount.mkdir()
    if os.geteuid() != 0 or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount)],
            capture_output=True).returncode != 0:
        pytest.skip("needs root to mount a small tmpfs")
    yield mount
    subprocess.run(["umount", str(mount)], check=True)


@pytest.fixture
def small_disk(tmp_path):
    """A real tmpfs of 256 KiB (root only)."""
    yield from mounted_tmpfs(tmp_path / "disk", "256k")


@pytest.fixture
def wav_path(tmp_path):
    """A path for a new file in the test's own folder."""
    return tmp_path / "out.wav"


def pcm16_wav(path, frames, channels=1, samplerate=44100):
    """A 16-bit PCM WAV written by the standard library's wave module."""
    import wave
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(samplerate)
        w.writeframes(np.asarray(frames, dtype="<i2").tobytes())
    return path


def read_wav_ints(path):
    """(frames, channels) and the int16 samples of a 16-bit WAV, by the wave module."""
    import wave
    with wave.open(str(path), "rb") as w:
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return data.reshape(-1, w.getnchannels())


def sox_convert(source, target, *options):
    """`target` made by sox from `source` (format from the target's extension)."""
    import shutil
    import subprocess
    if shutil.which("sox") is None:
        pytest.skip("sox is not installed")
    subprocess.run(["sox", str(source), *options, str(target)], check=True)
    return target


def riff_chunk(tag, payload):
    """A RIFF chunk: tag, little-endian size, payload, pad byte to an even size."""
    import struct
    return tag + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) % 2)


def wav_bytes(samples, channels=1, samplerate=8000, extra_chunks=b""):
    """A 16-bit PCM WAV file with `extra_chunks` placed before the data chunk."""
    import struct
    data = np.asarray(samples, dtype="<i2").tobytes()
    fmt = struct.pack("<HHIIHH", 1, channels, samplerate, samplerate * channels * 2,
                      channels * 2, 16)
    body = b"WAVE" + riff_chunk(b"fmt ", fmt) + extra_chunks + riff_chunk(b"data", data)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def wav_cue_chunk(offsets):
    """A WAV 'cue ' chunk with one point per sample offset (ids 1, 2, ...)."""
    import struct
    points = b"".join(struct.pack("<II4sIII", i + 1, off, b"data", 0, 0, off)
                      for i, off in enumerate(offsets))
    return riff_chunk(b"cue ", struct.pack("<I", len(offsets)) + points)


def aiff_bytes(samples, channels=1, samplerate=8000, markers=()):
    """A 16-bit AIFF file; `markers` are (position, name bytes) in a MARK chunk."""
    import struct

    def chunk(tag, payload):
        return tag + struct.pack(">I", len(payload)) + payload + b"\0" * (len(payload) % 2)

    data = np.asarray(samples, dtype=">i2").tobytes()
    exponent = samplerate.bit_length() - 1
    rate = struct.pack(">HQ", 16383 + exponent, samplerate << (63 - exponent))
    comm = struct.pack(">hIh", channels, len(data) // (2 * channels), 16) + rate
    body = b"AIFF" + chunk(b"COMM", comm)
    if markers:
        mark = struct.pack(">H", len(markers))
        for ident, (position, name) in enumerate(markers, 1):
            text = bytes([len(name)]) + name
            mark += struct.pack(">HI", ident, position) + text + b"\0" * (len(text) % 2)
        body += chunk(b"MARK", mark)
    body += chunk(b"SSND", struct.pack(">II", 0, 0) + data)
    return b"FORM" + struct.pack(">I", len(body)) + body


@pytest.fixture
def build():
    """The file builders above, for test modules (conftest is not importable)."""
    import types
    return types.SimpleNamespace(pcm16_wav=pcm16_wav, read_wav_ints=read_wav_ints,
                                 sox_convert=sox_convert, riff_chunk=riff_chunk,
                                 wav_bytes=wav_bytes, wav_cue_chunk=wav_cue_chunk,
                                 aiff_bytes=aiff_bytes)


@pytest.fixture
def make_pcm16_wav():
    """pcm16_wav for test modules, which cannot import this file by name."""
    return pcm16_wav

@pytest.fixture
def stereo_wav(tmp_path):
    """A 2-channel 8 kHz 16-bit WAV of 5 frames, written by the wave module."""
    return pcm16_wav(tmp_path / "stereo.wav", np.arange(10).reshape(5, 2), 2, 8000)


def _run_python(code, env=None):
    """Run `code` in a fresh interpreter that does not see the source tree and
    return the completed process (stdout and stderr as text)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], env=full_env,
                          cwd=os.path.dirname(os.path.abspath(__file__)),
                          capture_output=True, text=True, timeout=300)


@pytest.fixture
def run_python():
    """Runs Python code in a new process: run_python(code, env=None)."""
    return _run_python


def loaded_libsndfile_path():
    """The libsndfile shared object this process has loaded for the module."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "libsndfile" in os.path.basename(path) and "_soundfile_data" not in path:
                return path
    raise RuntimeError("libsndfile is not loaded")


@pytest.fixture(scope="session")
def sndfile_path():
    """The file, links resolved, of the libsndfile the module uses."""
    return os.path.realpath(loaded_libsndfile_path())


@pytest.fixture(scope="session")
def sndfile():
    """The very libsndfile the module uses, called directly through ctypes, as
    an independent view of what the library offers."""
    lib = ctypes.CDLL(loaded_libsndfile_path())
    lib.sf_command.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    lib.sf_strerror.argtypes = [ctypes.c_void_p]
    lib.sf_strerror.restype = ctypes.c_char_p
    lib.sf_version_string.restype = ctypes.c_char_p
    return lib
