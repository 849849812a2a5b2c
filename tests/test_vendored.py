"""The repaired wheel: the libsndfile in use is the copy the wheel carries,
with every codec library it loads, whatever the system has; README's table
and the licence texts describe what was installed; every major format writes
and reads back. The wheel's checks run where ONDALIS_VENDORED=1 (the
Makefile's wheel targets set it); a build from source uses the system's
libsndfile, and there only the round trip through every format runs."""
import importlib.metadata
import json
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
import soundfile

import ondalis
from ondalis import cli

ROOT = pathlib.Path(__file__).resolve().parent.parent
VENDORED = os.environ.get("ONDALIS_VENDORED") == "1"
vendored_only = pytest.mark.skipif(
    not VENDORED, reason="not a repaired wheel (ONDALIS_VENDORED=1 says it is)")
# The libraries the wheel carries, under the names auditwheel gives them
# (libFLAC-356a0a7f.so.12.0.0) or the system's (libFLAC.so.12.0.0).
LIBRARY = re.compile(r"^(?P<stem>lib(sndfile|FLAC|ogg|vorbis|vorbisenc|opus|mpg123|mp3lame))"
                     r"(-[0-9a-f]{8})?(?P<suffix>\.so[.\d]*)$")


def original_name(path):
    """libFLAC.so.12.0.0 for .../libFLAC-356a0a7f.so.12.0.0; None for others."""
    match = LIBRARY.match(os.path.basename(path))
    return match and match["stem"] + match["suffix"]


def mapped_files():
    """The files this process has mapped, links resolved."""
    with open("/proc/self/maps") as maps:
        fields = [line.split(maxsplit=5) for line in maps]
    return {os.path.realpath(parts[5].rstrip("\n")) for parts in fields
            if len(parts) == 6 and parts[5].startswith("/")}


def readme_table():
    """{library: (version, [file names], licence)} from README's table."""
    text = (ROOT / "README.md").read_text()
    rows = re.findall(r"^\| (\S+) \| (\d[\w.]*) \| ([^|]+) \| ([^|]+) \|$", text, re.M)
    return {name: (version, files.split(", "), licence.strip())
            for name, version, files, licence in rows}


@pytest.fixture(scope="module")
def libs_dir():
    folder = pathlib.Path(ondalis.__file__).resolve().parent.parent / "ondalis.libs"
    assert folder.is_dir(), f"{folder} is missing: this is not a repaired wheel"
    return folder


@vendored_only
def test_every_library_in_use_is_the_wheels_own(libs_dir, sndfile_path):
    carried = {str(path) for path in libs_dir.iterdir()}
    in_use = {path for path in mapped_files() if original_name(path)}
    # soundfile, the oracle, brings a libsndfile of its own (named otherwise).
    assert in_use - {path for path in in_use if "/_soundfile_data/" in path} == carried
    assert sndfile_path in carried and original_name(sndfile_path).startswith("libsndfile.so")
    assert cli.sndfile_location() == sndfile_path


@vendored_only
def test_another_libsndfile_loaded_first_is_not_taken_for_ours(libs_dir, run_python):
    # A library called libsndfile.so.1 already in the process would satisfy
    # a plain build's need for libsndfile.so.1; the wheel's has its own name.
    result = run_python("""
        import soundfile
        import ondalis
        from ondalis import cli
        print(cli.sndfile_location())
        print(".".join(map(str, ondalis.get_sndfile_version()[:3])))
    """)
    assert result.returncode == 0, result.stderr
    location, version = result.stdout.split()
    assert pathlib.Path(location).parent == libs_dir
    assert version == readme_table()["libsndfile"][0]


@vendored_only
def test_readme_table_lists_what_the_wheel_carries(libs_dir):
    table = readme_table()
    listed = sorted(name for _, files, _ in table.values() for name in files)
    assert listed == sorted(original_name(path) for path in libs_dir.iterdir())
    assert table["libsndfile"][0] == ".".join(map(str, ondalis.get_sndfile_version()[:3]))


@vendored_only
def test_the_wheel_holds_every_licence_it_names():
    dist = importlib.metadata.distribution("ondalis")
    installed = {pathlib.PurePosixPath(str(f)).name: f for f in dist.files or []
                 if "licenses" in pathlib.PurePosixPath(str(f)).parts}
    expected = sorted(path.name for path in (ROOT / "licenses").iterdir()) + ["LICENSE"]
    assert sorted(installed) == sorted(expected)
    for name in expected:
        source = ROOT / "LICENSE" if name == "LICENSE" else ROOT / "licenses" / name
        assert dist.locate_file(installed[name]).read_text() == source.read_text(), name
    named = set(dist.metadata["License-Expression"].split(" AND "))
    for library, (_, _, licence) in readme_table().items():
        assert set(licence.split(" AND ")) <= named, library


def first_writable_encoding(path, data, major, encodings):
    """The first of the format's encodings that libsndfile writes (some, such
    as MPEG layers I and II, it only reads)."""
    for encoding in encodings:
        try:
            ondalis.write(path, data, 48000, major=major, encoding=encoding)
            return encoding
        except OSError:
            continue
    pytest.fail(f"{major}: no encoding of {encodings} writes")


def test_every_listed_format_writes_and_reads_back(tmp_path):
    listed = subprocess.run([sys.executable, "-m", "ondalis", "formats", "--json"], cwd=tmp_path,
                            capture_output=True, text=True, check=True, timeout=60)
    tone = 0.5 * np.sin(2 * np.pi * 440 * np.arange(4800) / 48000)
    for major, known in json.loads(listed.stdout).items():
        path = tmp_path / f"tone.{major}"
        encoding = first_writable_encoding(path, tone, major, known["encodings"])
        if major == "raw":  # no header: the reader is told the format
            with ondalis.Ondalis(path, "r", ondalis.construct_format(major, encoding),
                                 1, 48000) as f:
                back = f.read_frames()
        else:
            back, _ = ondalis.read(path)
            # What an independent libsndfile reads from the file.
            assert np.allclose(back, soundfile.read(path)[0], atol=1e-4), (major, encoding)
        # Within the encoding's resolution (8-bit PCM, A-law, Vorbis, MP3).
        assert back.shape == tone.shape, (major, encoding)
        assert np.abs(back - tone).max() < 0.02, (major, encoding)
