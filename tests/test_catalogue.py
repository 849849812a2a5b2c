"""Format catalogue, format codes, versions and libsndfile's log."""
import ast
import os
import ctypes
import re
import shutil
import subprocess
import warnings

import pytest

SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_FORMAT_MAJOR = 0x1030, 0x1031
SFC_GET_FORMAT_SUBTYPE_COUNT, SFC_GET_FORMAT_SUBTYPE = 0x1032, 0x1033


class SfFormatInfo(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("name", ctypes.c_char_p),
                ("extension", ctypes.c_char_p)]


def enumerate_formats(sndfile, count_command, item_command):
    count = ctypes.c_int(0)
    sndfile.sf_command(None, count_command, ctypes.byref(count), ctypes.sizeof(count))
    ids = []
    for index in range(count.value):
        info = SfFormatInfo(index, None, None)
        sndfile.sf_command(None, item_command, ctypes.byref(info), ctypes.sizeof(info))
        ids.append(info.format)
    return ids


@pytest.fixture
def no_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


def test_formats_are_libsndfile_majors_in_its_order(m, sndfile, no_warnings):
    majors = enumerate_formats(sndfile, SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_FORMAT_MAJOR)
    formats = m.get_sndfile_formats()
    assert formats == [m.fileformat_id_to_name[i] for i in majors]
    assert {"wav", "aiff", "flac"} <= set(formats) and len(set(formats)) == len(formats)


def test_encodings_by_name_and_by_id(m, no_warnings):
    by_name = m.get_sndfile_encodings("wav")
    assert m.get_sndfile_encodings(0x10000) == by_name == m.get_sndfile_encodings(major="wav")
    assert {"pcm16", "float32", "ulaw"} <= set(by_name)
    assert not {"vorbis", "opus", "alac16", "dww12"} & set(by_name)
    flac = m.get_sndfile_encodings("flac")
    assert "pcm16" in flac and "float32" not in flac


def test_encodings_are_the_ones_libsndfile_accepts_for_44100_hz_mono(m, sndfile, no_warnings):
    class SfInfo(ctypes.Structure):
        _fields_ = [("frames", ctypes.c_int64)] + [
            (n, ctypes.c_int) for n in ("samplerate", "channels", "format", "sections",
                                        "seekable")]
    subtypes = enumerate_formats(sndfile, SFC_GET_FORMAT_SUBTYPE_COUNT, SFC_GET_FORMAT_SUBTYPE)
    for major in ("aiff", "caf", "ogg"):
        accepted = []
        for sub in subtypes:
            info = SfInfo(0, 44100, 1, m.fileformat_name_to_id[major] | sub, 0, 0)
            if sndfile.sf_format_check(ctypes.byref(info)):
                accepted.append(m.encoding_id_to_name[sub])
        assert m.get_sndfile_encodings(major) == accepted


def test_deleted_encoding_is_warned_about_and_left_out(m, monkeypatch):
    full = m.get_sndfile_encodings("wav")
    monkeypatch.delitem(m.encoding_id_to_name, 2)
    with pytest.warns(UserWarning) as caught:
        encodings = m.get_sndfile_encodings("wav")
    assert encodings == [e for e in full if e != "pcm16"]
    assert [str(w.message) for w in caught] == [
        "Encoding 2 supported by libsndfile but not by Ondalis"]
    assert caught[0].filename == __file__  # reported at the caller's line
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            m.get_sndfile_encodings("wav")


@pytest.mark.parametrize("major, error, message", [
    ("zzz", ValueError, "Ondalis::File format zzz not known by Ondalis"),
    (0x10002, ValueError, "Ondalis::File format 65538 not known by Ondalis"),
    (b"wav", ValueError, "Ondalis::File format b'wav' not known by Ondalis"),
    ("fake", ValueError, "Ondalis::File format fake:7f0000 not supported by libsndfile"),
    (0x7F0000, ValueError, "Ondalis::File format fake:7f0000 not supported by libsndfile"),
    ([], TypeError, "unhashable type: 'list'"),
])
def test_encodings_refused(m, monkeypatch, major, error, message):
    # A format the tables know but libsndfile does not offer.
    monkeypatch.setitem(m.fileformat_id_to_name, 0x7F0000, "fake")
    monkeypatch.setitem(m.fileformat_name_to_id, "fake", 0x7F0000)
    with pytest.raises(error) as excinfo:
        m.get_sndfile_encodings(major)
    assert str(excinfo.value) == message


def test_mpeg_encodings_follow_libsndfile(m):
    if 0x230000 in [m.fileformat_name_to_id[f] for f in m.get_sndfile_formats()]:
        assert m.get_sndfile_encodings("mpeg") == ["mpeg1", "mpeg2", "mp3"]
    else:
        with pytest.raises(ValueError) as excinfo:
            m.get_sndfile_encodings("mpeg")
        assert str(excinfo.value) == (
            "Ondalis::File format mpeg:230000 not supported by libsndfile")


@pytest.mark.parametrize("args, kwargs, result", [
    (("wav", "pcm16"), {}, 0x10002),
    (("aiff", "float32"), {}, 0x20006),
    ((), {"encoding": "vorbis", "major": "ogg"}, 0x200060),
    (("wav", "nope"), {}, KeyError("nope")),
    ((0x10000, "pcm16"), {}, KeyError(65536)),
    (("bad", "worse"), {}, KeyError("bad")),
])
def test_construct_format(m, args, kwargs, result):
    if isinstance(result, KeyError):
        with pytest.raises(KeyError) as excinfo:
            m.construct_format(*args, **kwargs)
        assert excinfo.value.args == result.args
    else:
        assert m.construct_format(*args, **kwargs) == result


def test_construct_format_converts_table_values_to_int32(m, monkeypatch):
    monkeypatch.setitem(m.encoding_name_to_id, "huge", 2**31)
    with pytest.raises(OverflowError):
        m.construct_format("wav", "huge")


@pytest.mark.parametrize("function, deleted", [
    ("get_sndfile_formats", "fileformat_id_to_name"),
    ("get_ondalis_version", "_ondalis_version"),
])
def test_deleted_module_attribute_is_a_name_error(m, monkeypatch, function, deleted):
    monkeypatch.delattr(m, deleted)
    with pytest.raises(NameError) as excinfo:
        getattr(m, function)()
    assert str(excinfo.value) == f"name '{deleted}' is not defined"


@pytest.mark.parametrize("deleted, call", [
    ("fileformat_name_to_id", lambda m: m.construct_format("wav", "pcm16")),
    ("encoding_name_to_id", lambda m: m.construct_format("wav", "pcm16")),
    ("fileformat_name_to_id", lambda m: m.get_sndfile_encodings("wav")),
    ("warnings", lambda m: m.get_sndfile_encodings("wav")),
])
def test_deleted_attribute_used_by_an_argument_call(m, monkeypatch, deleted, call):
    if deleted == "warnings":  # warnings is only needed for an unknown encoding
        monkeypatch.delitem(m.encoding_id_to_name, 2)
    monkeypatch.delattr(m, deleted)
    with pytest.raises(NameError) as excinfo:
        call(m)
    assert str(excinfo.value) == f"name '{deleted}' is not defined"


@pytest.mark.parametrize("call, message", [
    (lambda m: m.get_sndfile_formats(1),
     "get_sndfile_formats() takes exactly 0 positional arguments (1 given)"),
    (lambda m: m.get_sndfile_version(x=1), "get_sndfile_version() takes no keyword arguments"),
    (lambda m: m.get_sf_log(None), "get_sf_log() takes exactly 0 positional arguments (1 given)"),
    (lambda m: m.get_sndfile_encodings(),
     "get_sndfile_encodings() takes exactly 1 positional argument (0 given)"),
    (lambda m: m.get_sndfile_encodings("wav", "aiff"),
     "get_sndfile_encodings() takes exactly 1 positional argument (2 given)"),
    (lambda m: m.get_sndfile_encodings(format="wav"),
     "get_sndfile_encodings() got an unexpected keyword argument 'format'"),
    (lambda m: m.construct_format("wav"),
     "construct_format() takes exactly 2 positional arguments (1 given)"),
    (lambda m: m.construct_format("wav", "pcm16", major="wav"),
     "construct_format() got multiple values for keyword argument 'major'"),
])
def test_argument_errors(m, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(m)
    assert str(excinfo.value) == message


def parse_version_text(text):
    """What get_sndfile_version must give for a well-formed libsndfile text."""
    major, minor, micro, pre = re.fullmatch(r"libsndfile-(\d+)\.(\d+)\.(\d+)(?:pre(\d+))?",
                                            text).groups()
    return (int(major), int(minor), int(micro), int(pre or 0))


def test_sndfile_version_of_the_library_in_use(m, sndfile):
    version = m.get_sndfile_version()
    assert version == parse_version_text(sndfile.sf_version_string().decode())
    assert all(type(part) is int for part in version)


# libsndfile's version text cannot be changed from Python, so a preloaded
# stand-in for sf_command answers SFC_GET_LIB_VERSION with the text in a file.
FAKE_VERSION_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

int sf_command(void* file, int command, void* data, int size) {
    static int (*real)(void*, int, void*, int);
    const char* path = getenv("FAKE_SNDFILE_VERSION");
    if (command == 0x1000 && path != NULL) {
        FILE* text = fopen(path, "rb");
        if (text != NULL) {
            size_t n = fread(data, 1, (size_t)size - 1, text);
            fclose(text);
            ((char*)data)[n] = 0;
            return (int)n;
        }
    }
    if (real == NULL)
        real = (int (*)(void*, int, void*, int))dlsym(
            dlopen("libsndfile.so.1", RTLD_NOW | RTLD_NOLOAD), "sf_command");
    return real(file, command, data, size);
}
"""

VERSION_TEXTS = [
    ("libsndfile-1.2.2", "(1, 2, 2, 0)"),
    ("libsndfile-1.0.29pre2", "(1, 0, 29, 2)"),
    ("libsndfile-1.2.3-exp", "(1, 2, 3, 0)"),
    ("libsndfile-1.2", "ValueError"),
    ("libsndfile-1.2.2.1", "ValueError"),
    ("libsndfile-1.0.29pre2pre3", "ValueError"),
    ("libsndfile-1.0.29beta", "ValueError"),
    ("libsndfile-1.x.2", "ValueError"),
    ("libsndfile", "IndexError"),
]


def test_sndfile_version_texts(tmp_path, run_python):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the stand-in library")
    (tmp_path / "fake.c").write_text(FAKE_VERSION_SOURCE)
    shim = tmp_path / "libfakeversion.so"
    plain_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "fake.c"),
                    "-ldl"], check=True, env=plain_env)
    text_file = tmp_path / "version.txt"
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    result = run_python(f"""
        import _ondalis
        for text in {[t for t, _ in VERSION_TEXTS]!r}:
            with open({str(text_file)!r}, "w") as out:
                out.write(text)
            try:
                print(_ondalis.get_sndfile_version())
            except Exception as error:
                print(type(error).__name__)
    """, env={"LD_PRELOAD": preload, "FAKE_SNDFILE_VERSION": str(text_file)})
    assert result.stdout.splitlines() == [r for _, r in VERSION_TEXTS], result.stderr


def test_sf_log_after_a_failed_open(m, tmp_path):
    broken = tmp_path / "broken.wav"
    broken.write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunkjunkjunk")
    with pytest.raises(OSError):
        m.Ondalis(broken)
    log = m.get_sf_log()
    assert type(log) is str and log[:2] in ("b'", 'b"') and log[-1] == log[1]
    assert "\n" not in log  # newlines are shown escaped
    text = ast.literal_eval(log).decode()
    assert str(broken) in text and "\n" in text
