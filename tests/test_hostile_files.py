"""Corrupted files: the sweep of tests/sweep.py over mutated files of every
format libsndfile writes. A child that dies by a signal, exits early, hangs
or meets a SystemError while reading and querying a file fails the sweep,
naming the file (saved for reproduction)."""
import collections

import pytest

import _ondalis as m
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
