"""Coverage-guided fuzzing of the file entry points with atheris.

Each input is one byte that chooses how the file is opened (by path or by
descriptor, with a header or as raw data of one of several encodings)
followed by the file's bytes; the file is then exercised exactly as the
corruption sweep does (tests/sweep.py: all frames in the four element types,
seeks, every get-command through `command`), and the package's read, info
and blocks take the same bytes by path, from an io.BytesIO and a bytearray,
and through a buffered reader and a pipe. A crash, a sanitizer report, an
exception the module does not document or a source judged otherwise than
the path is a finding.

`make fuzz` builds the module with clang's coverage instrumentation and
AddressSanitizer and runs this file; the corpus starts from valid files of
every format libsndfile writes. Run by hand:

    LD_PRELOAD=$(python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \\
        python tests/fuzz_files.py -max_total_time=300 fuzz-corpus
"""
import os
import sys
import tempfile

import atheris

import _ondalis as m  # after atheris: its coverage counters register with libFuzzer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sweep  # noqa: E402

RAW_ENCODINGS = ("pcm16", "pcm24", "float32", "ulaw", "gsm610", "vox_adpcm", "dww12",
                 "nms_adpcm_16")
RAW_FIRST = 256 - 2 * len(RAW_ENCODINGS)  # mode bytes from here on open raw data
SCRATCH = os.path.join(tempfile.mkdtemp(prefix="ondalis-fuzz-"), "input")


def open_args(mode):
    if mode < RAW_FIRST:
        return ["r"]
    encoding = RAW_ENCODINGS[(mode - RAW_FIRST) // 2]
    return ["r", m.construct_format("raw", encoding), 1 + mode % 2, 8000]


def test_one_input(data):
    if not data:
        return
    with open(SCRATCH, "wb") as handle:
        handle.write(data[1:])
    args = open_args(data[0])
    sweep.check_one(SCRATCH, args, by_descriptor=data[0] % 2 == 1)
    sweep.check_sources(SCRATCH, args)


def seed_corpus(folder):
    """The corpus starts from a valid file of every format and encoding."""
    os.makedirs(folder, exist_ok=True)
    if os.listdir(folder):
        return
    for seed in sweep.make_seeds(tempfile.mkdtemp(prefix="ondalis-seeds-")):
        mode = 0
        if seed.name.startswith("raw-"):
            encoding = seed.name.split("-")[1]
            if encoding not in RAW_ENCODINGS:
                continue
            mode = RAW_FIRST + 2 * RAW_ENCODINGS.index(encoding) + (seed.open_args[2] == 2)
        with open(seed.path, "rb") as source, open(os.path.join(folder, seed.name), "wb") as out:
            out.write(bytes([mode]) + source.read())


def main():
    corpora = [arg for arg in sys.argv[1:] if not arg.startswith("-")]
    for folder in corpora[:1]:
        seed_corpus(folder)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
