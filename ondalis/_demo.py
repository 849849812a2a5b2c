"""Demo: write a short multichannel test tone through Ondalis and describe it."""
import os
import tempfile

import numpy as np

from ondalis import Ondalis, construct_format, get_sndfile_version

SAMPLERATE = 44100
CHANNELS = 4
SECONDS = 0.5


def test_tone():
    """One sine per channel at 220 Hz times the channel number, at -6 dBFS."""
    t = np.arange(int(SAMPLERATE * SECONDS)) / SAMPLERATE
    freqs = 220.0 * np.arange(1, CHANNELS + 1)
    return 0.5 * np.sin(2 * np.pi * t[:, None] * freqs[None, :])


def main():
    print("libsndfile %d.%d.%d" % get_sndfile_version()[:3])
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "tone.wav")
        fmt = construct_format("wav", "pcm16")
        with Ondalis(path, "w", format=fmt, channels=CHANNELS, samplerate=SAMPLERATE) as out:
            written = out.write_frames(test_tone()) if hasattr(out, "write_frames") else 0
        print(f"wrote {written} frames of {CHANNELS} channels")
        with Ondalis(path) as back:
            print(back, end="")


if __name__ == "__main__":
    main()
