"""Shared fixtures: files are made in tmp_path, by the module or by other writers."""
import ctypes
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

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
def sndfile():
    """The very libsndfile the module uses, called directly through ctypes, as
    an independent view of what the library offers."""
    lib = ctypes.CDLL(loaded_libsndfile_path())
    lib.sf_command.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    lib.sf_strerror.argtypes = [ctypes.c_void_p]
    lib.sf_strerror.restype = ctypes.c_char_p
    lib.sf_version_string.restype = ctypes.c_char_p
    return lib
