"""Import the installed ondalis and read a file it did not write.

A build check: a module compiled against numpy headers other than those of
the numpy it runs with fails at import ("_ARRAY_API not found"). The file is
written with the standard library's wave module and read back through both
the package and the contract object.
"""
import os
import struct
import sys
import tempfile
import wave

import numpy

import ondalis
from ondalis import _ondalis

SAMPLES = [0, 1, -2, 32767, -32768]


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "probe.wav")
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(struct.pack(f"<{len(SAMPLES)}h", *SAMPLES))
        data, rate = ondalis.read(path, dtype="int16")
        with _ondalis.Ondalis(path) as f:
            direct = f.read_frames(dtype=numpy.int16)
    if rate != 8000 or data.tolist() != SAMPLES or direct.tolist() != SAMPLES:
        sys.exit(f"read back {rate} Hz {data.tolist()} and {direct.tolist()}, not {SAMPLES}")
    print(f"ondalis {ondalis.__version__} with numpy {numpy.__version__} "
          f"(headers of {numpy.get_include()}): read {len(SAMPLES)} frames")


if __name__ == "__main__":
    main()
