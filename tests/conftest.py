"""Shared fixtures: files are made in tmp_path, by the module or by other writers."""
import numpy as np
import pytest

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


@pytest.fixture
def make_pcm16_wav():
    """pcm16_wav for test modules, which cannot import this file by name."""
    return pcm16_wav
