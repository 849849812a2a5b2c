"""Corrupted files: the sweep of tests/sweep.py over mutated files of every
format libsndfile writes. A child that dies by a signal, exits early, hangs
or meets a SystemError while reading and querying a file fails the sweep,
naming the file (saved for reproduction); so does a file that the package's
read, info or blocks judge otherwise from memory or through a file object
than by path."""
import collections
import struct

import numpy as np
import pytest

import _ondalis as m
import ondalis
import sweep
from api_calls import SCALE

# Mutations per seed file: with a seed for every writable format and
# encoding this makes well over 5000 files in a full run; smaller runs
# (ONDALIS_TEST_SCALE) take every n-th of the same files.
PER_SEED = 100
STRIDE = max(1, round(1 / SCALE))


@pytest.fixture(scope="module")
def seeds(tmp_path_factory):
    return sweep.make_seeds(str(tmp_path_factory.mktemp("seeds")))


def test_seeds_cover_every_format_and_kind_of_metadata(seeds):
    majors = {seed.name.split("-")[0] for seed in seeds}
    assert majors == set(m.get_sndfile_formats())
    held = collections.defaultdict(set)
    for seed in seeds:
        for kind in seed.metadata:
            held[kind].add(seed.name.split("-")[0])
    assert set(held) == set(sweep.METADATA_QUERIES)
    assert {"cue", "instrument", "broadcast", "cart", "strings"} <= {
        kind for kind, majors in held.items() if "wav" in majors}


def test_mutations_are_deterministic_and_change_the_file(seeds):
    seed = next(s for s in seeds if s.name.startswith("wav-pcm16"))
    data = open(seed.path, "rb").read()
    first = [sweep.mutated(data, seed.name, i) for i in range(50)]
    assert first == [sweep.mutated(data, seed.name, i) for i in range(50)]
    assert all(mutated != data for mutated, _ in first)
    kinds = {kind for _, description in first for kind in description.split("+")}
    assert {"bit flips", "chunk size", "byte stomps", "truncation"} <= kinds


def test_chunk_sizes_are_found_in_iff_files(seeds):
    by_major = {s.name.split("-")[0]: s for s in seeds}
    for major in ("wav", "aiff", "wav64", "caf", "rf64"):
        data = open(by_major[major].path, "rb").read()
        assert len(sweep.chunks(data)) >= 3, major


def test_a_crash_an_exit_a_hang_and_a_systemerror_are_caught(seeds, tmp_path, monkeypatch):
    monkeypatch.setenv("ONDALIS_SWEEP_FAULTS", "crash:2,exit:5,hang:7,systemerror:9")
    subset = seeds[:2]
    _, count, failures, _ = sweep.run_campaign(str(tmp_path), 6, workers=1, timeout=3,
                                            seeds=subset)
    assert count == 12
    found = {(f.seed, f.index): f.kind for f in failures}
    assert set(found) == {(subset[0].name, 2), (subset[0].name, 5), (subset[1].name, 1),
                          (subset[1].name, 3)}
    assert found[subset[0].name, 2] == "killed by signal 6"
    assert found[subset[0].name, 5] == "exit status 3"
    assert found[subset[1].name, 1].startswith("hang")
    assert "SystemError('planted')" in found[subset[1].name, 3]
    assert all(open(f.saved, "rb").read() for f in failures)


def test_corruption_sweep(seeds, tmp_path):
    _, count, failures, opened = sweep.run_campaign(str(tmp_path), PER_SEED, STRIDE, workers=2,
                                                    timeout=120, seeds=seeds)
    if STRIDE == 1:
        assert count >= 5000
    # Most mutations leave a file libsndfile still opens, and reads through.
    assert opened > count // 3
    report = "\n".join(f"{f.seed} #{f.index} ({f.mutation}): {f.kind}, saved as {f.saved}"
                       for f in failures)
    assert not failures, report


# Wave64's chunk GUIDs: a tag and the same twelve bytes for the chunks inside.
W64_RIFF = b"riff\x2e\x91\xcf\x11\xa5\xd6\x28\xdb\x04\xc1\x00\x00"
W64_SUFFIX = b"\xf3\xac\xd3\x11\x8c\xd1\x00\xc0\x4f\x8e\xdb\x8a"


def w64_bytes(samples, data_size=None):
    """A 16-bit mono Wave64 file; `data_size` overrides its data chunk's size
    (which counts the 24-byte chunk header, as every Wave64 size does)."""
    data = np.asarray(samples, dtype="<i2").tobytes()
    fmt = struct.pack("<HHIIHH", 1, 1, 8000, 16000, 2, 16)
    body = (b"wave" + W64_SUFFIX + b"fmt " + W64_SUFFIX + struct.pack("<Q", 24 + len(fmt)) + fmt
            + b"data" + W64_SUFFIX + struct.pack("<Q", data_size or 24 + len(data)) + data)
    return W64_RIFF + struct.pack("<Q", 24 + len(body)) + body


def test_a_chunk_size_beyond_what_the_file_system_holds_reads_through_a_file_object(tmp_path):
    """libsndfile seeks past a data chunk that claims 2**48 bytes; a file
    object's seek() there raises OSError (EINVAL, as lseek fails for a path),
    which is a failed seek, and the frames read as they do by path."""
    samples = np.arange(-50, 50, dtype=np.int16) * 300
    path = tmp_path / "huge-data-chunk.w64"
    path.write_bytes(w64_bytes(samples, data_size=1 << 48))
    with open(path, "rb") as probe:
        try:
            probe.seek(1 << 48)
            pytest.skip("this file system holds files of 2**48 bytes")
        except OSError:
            pass
    expected, _ = ondalis.read(path, dtype="int16")
    np.testing.assert_array_equal(expected, samples)
    with open(path, "rb") as reader:
        data, rate = ondalis.read(reader, dtype="int16")
    np.testing.assert_array_equal(data, samples)
    assert rate == 8000
