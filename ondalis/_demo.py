"""Demo: write a test tone with metadata (strings, cue points, a broadcast
extension), then describe it with `ondalis info`.

    python -m ondalis._demo [PATH]

Without PATH the file goes to a temporary folder that is removed afterwards.
"""
import os
import sys
import tempfile
from typing import List, Optional

import numpy as np

import ondalis
from ondalis import cli

SAMPLERATE = 44100
CHANNELS = 2
SECONDS = 1.0

STRINGS = {
    "title": "A test tone",
    "artist": "ondalis",
    "comment": "220 Hz left, 440 Hz right, at -6 dBFS",
    "software": f"ondalis {ondalis.__version__}",
}

# Cue points of a WAV file refer to the 'data' chunk by its four-character code.
_DATA_CHUNK = int.from_bytes(b"data", "little")


def test_tone() -> np.ndarray:
    """One sine per channel at 220 Hz times the channel number, at -6 dBFS."""
    t = np.arange(int(SAMPLERATE * SECONDS)) / SAMPLERATE
    freqs = 220.0 * np.arange(1, CHANNELS + 1)
    return 0.5 * np.sin(2 * np.pi * t[:, None] * freqs[None, :])


def cue(index: int, seconds: float) -> ondalis.SfCuePoint:
    """A cue point; WAV files keep no names with them."""
    position = int(seconds * SAMPLERATE)
    return ondalis.SfCuePoint(indx=index, position=position, fcc_chunk=_DATA_CHUNK,
                              chunk_start=0, block_start=0, sample_offset=position, name="")


def broadcast() -> ondalis.SfBroadcastInfo:
    return ondalis.SfBroadcastInfo(
        description="ondalis demo tone", originator="ondalis",
        originator_reference="ONDALIS-DEMO-0001", origination_date="2024-01-01",
        origination_time="12:00:00", time_reference=0, version=2, umid=bytes(64),
        loudness_value=-600, loudness_range=0, max_true_peak_level=-600,
        max_momentary_loudness=-600, max_shortterm_loudness=-600,
        coding_history="A=PCM,F=44100,W=16,M=stereo,T=ondalis\r\n")


def write_demo(path: str) -> int:
    """Write the demo file at `path`; returns the number of frames written."""
    return ondalis.write(path, test_tone(), SAMPLERATE, major="wav", encoding="pcm16",
                         strings=STRINGS, cue_points=[cue(1, 0.0), cue(2, 0.5)],
                         broadcast=broadcast())


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    with tempfile.TemporaryDirectory() as folder:
        path = argv[0] if argv else os.path.join(folder, "demo.wav")
        frames = write_demo(path)
        print(f"wrote {path}: {frames} frames of {CHANNELS} channels with metadata\n")
        print(f"$ ondalis info {path}")
        return cli.main(["info", path])


if __name__ == "__main__":
    sys.exit(main())
