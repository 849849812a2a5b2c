"""Shared fixtures: files are made in tmp_path, by the module or by other writers."""
import pathlib
import sys

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
