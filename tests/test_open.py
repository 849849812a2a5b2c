"""Opening, closing and lifetime of Ondalis objects; the clipping and
compression settings."""
import copy
import gc
import math
import os
import pathlib
import pickle
import sys
import wave

import pytest

from messages import NO_HANDLE


def open_descriptors_of(path):
    """The descriptors of this process that refer to `path`."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == str(path):
                found.append(int(fd))
        except OSError:
            pass
    return found


@pytest.mark.parametrize("kind", [str, bytes, pathlib.Path, pathlib.PurePosixPath])
def test_open_by_path(m, tmp_path, stereo_wav, kind):
    path = stereo_wav.rename(tmp_path / "stéréo.wav")
    argument = os.fsencode(path) if kind is bytes else kind(path)
    f = m.Ondalis(argument)
    assert f.get_name() == str(path).encode("utf-8")
    assert (f.frames(), f.channels(), f.samplerate()) == (5, 2, 8000)
    assert open_descriptors_of(path)
    f.close()
    assert not open_descriptors_of(path)


def test_path_is_used_up_to_its_first_nul_byte(m, stereo_wav):
    name = os.fsencode(stereo_wav) + b"\0ignored"
    with m.Ondalis(name) as f:
        assert f.get_name() == name and f.channels() == 2


@pytest.mark.parametrize("kind", [str, bytes, pathlib.Path])
def test_home_directory_is_expanded(m, tmp_path, stereo_wav, monkeypatch, kind):
    monkeypatch.setenv("HOME", str(tmp_path))
    tilde = "~/" + stereo_wav.name
    with m.Ondalis(tilde.encode() if kind is bytes else kind(tilde)) as f:
        assert f.get_name() == os.fsencode(stereo_wav)
        assert f.channels() == 2


def test_open_by_descriptor_leaves_it_open(m, stereo_wav):
    fd = os.open(stereo_wav, os.O_RDONLY)
    try:
        f = m.Ondalis(fd, "r")
        assert f.get_name() == b""
        assert (f.frames(), f.channels()) == (5, 2)
        f.close()
        del f
        gc.collect()
        os.fstat(fd)  # still open
        assert open_descriptors_of(stereo_wav) == [fd]
    finally:
        os.close(fd)


def test_negative_descriptor(m, sndfile):
    with pytest.raises(OSError) as excinfo:
        m.Ondalis(-1)
    reason = sndfile.sf_strerror(None)
    assert str(excinfo.value) == f"Ondalis::error while opening b''\n\t->{reason!r}"


def test_missing_file_message_shows_both_byte_strings(m, tmp_path, sndfile):
    path = tmp_path / "nowhere" / "ä.wav"
    with pytest.raises(IOError) as excinfo:
        m.Ondalis(str(path))
    reason = sndfile.sf_strerror(None)
    assert b"No such file" in reason
    assert excinfo.type is OSError
    assert str(excinfo.value) == (
        f"Ondalis::error while opening {str(path).encode()!r}\n\t->{reason!r}")


def test_raw_file_needs_format_channels_and_samplerate(m, tmp_path):
    raw = tmp_path / "a.raw"
    raw.write_bytes(bytes(range(24)))
    with pytest.raises(OSError):
        m.Ondalis(raw)
    fmt = m.construct_format("raw", "pcm16")
    with m.Ondalis(raw, "r", fmt, 3, 22050) as f:
        assert (f.frames(), f.channels(), f.samplerate(), f.format()) == (4, 3, 22050, fmt)


@pytest.mark.parametrize("mode", ["w", "rw"])
def test_open_for_writing(m, tmp_path, mode, stereo_wav):
    path = stereo_wav if mode == "rw" else tmp_path / "new.wav"
    fmt = m.construct_format("wav", "pcm16")
    with m.Ondalis(str(path), mode=mode, format=fmt, channels=2, samplerate=8000):
        pass
    with wave.open(str(path)) as w:  # a reader that is not ours
        assert (w.getnchannels(), w.getframerate(), w.getsampwidth()) == (2, 8000, 2)


@pytest.mark.parametrize("args, kwargs, message", [
    (("x",), {}, "Ondalis::mode x not recognized"),
    ((b"r",), {}, "Ondalis::mode b'r' not recognized"),
    (("R",), {}, "Ondalis::mode R not recognized"),
    ((None,), {}, "Ondalis::mode None not recognized"),
    (("w",), {}, "Ondalis::opening for writing requires a format argument !"),
    (("rw",), {"channels": 2}, "Ondalis::opening for writing requires a format argument !"),
    # the channel limit is tested before the mode, in every mode
    (("w",), {"channels": 2000}, "Ondalis:: max number of channels exceeded 2000 > 1024!"),
    (("x",), {"channels": 1025}, "Ondalis:: max number of channels exceeded 1025 > 1024!"),
    (("r",), {"channels": 1025}, "Ondalis:: max number of channels exceeded 1025 > 1024!"),
])
def test_bad_arguments(m, stereo_wav, args, kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        m.Ondalis(stereo_wav, *args, **kwargs)
    assert str(excinfo.value) == message


def test_channel_limit(m, stereo_wav, monkeypatch):
    with m.Ondalis(stereo_wav, channels=1024) as f:  # passes the check
        assert f.channels() == 2
    monkeypatch.setattr(m, "SF_MAX_CHANNELS", 1)  # looked up at each call
    with pytest.raises(ValueError) as excinfo:
        m.Ondalis(stereo_wav, channels=2)
    assert str(excinfo.value) == "Ondalis:: max number of channels exceeded 2 > 1!"
    monkeypatch.delattr(m, "SF_MAX_CHANNELS")
    with pytest.raises(NameError):
        m.Ondalis(stereo_wav)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, "__cinit__() takes at least 1 positional argument (0 given)"),
    ((), {"mode": "r"}, TypeError, "__cinit__() takes at least 1 positional argument (0 given)"),
    (("p", "r"), {"mode": "r"}, TypeError,
     "__cinit__() got multiple values for keyword argument 'mode'"),
    (("p",), {"filename": "p"}, TypeError,
     "__cinit__() got multiple values for keyword argument 'filename'"),
    (("p", "r", 2**31), {}, OverflowError, "value too large to convert to int"),
    (("p",), {"samplerate": "fast"}, TypeError, "an integer is required"),
    ((None,), {}, TypeError, "expected str, bytes or os.PathLike object, not NoneType"),
    # a str path is encoded as os.fsencode does: a lone surrogate outside the
    # escapes of undecodable bytes (U+DC80..U+DCFF) cannot be encoded
    (("\ud800.wav",), {}, UnicodeEncodeError, None),
])
def test_constructor_argument_errors(m, args, kwargs, error, message):
    with pytest.raises(error) as excinfo:
        m.Ondalis(*args, **kwargs)
    if message is not None:
        assert str(excinfo.value) == message


def test_surplus_arguments_are_ignored(m, stereo_wav):
    with m.Ondalis(stereo_wav, "r", 0, 0, 0, "sixth", 7, colour="red") as f:
        assert f.channels() == 2
    with m.Ondalis(samplerate=0, channels=0, format=0, mode="r", filename=stereo_wav) as f:
        assert f.get_name() == os.fsencode(stereo_wav)


def test_close_and_closed_object(m, stereo_wav):
    f = m.Ondalis(stereo_wav)
    assert f.close() is None
    assert f.close() is None
    with pytest.raises(RuntimeError) as excinfo:
        f.frames()
    assert str(excinfo.value) == NO_HANDLE
    assert str(f) == "invalid sndfile"
    assert f.get_name() == os.fsencode(stereo_wav)
    assert f.__enter__() is f
    assert f.__exit__(1, 2, 3, 4) is None


def test_context_manager(m, stereo_wav):
    with m.Ondalis(stereo_wav) as f:
        assert type(f) is m.Ondalis and open_descriptors_of(stereo_wav)
    assert str(f) == "invalid sndfile" and not open_descriptors_of(stereo_wav)
    with pytest.raises(ZeroDivisionError):
        with m.Ondalis(stereo_wav) as g:
            1 / 0
    assert str(g) == "invalid sndfile" and not open_descriptors_of(stereo_wav)


@pytest.mark.parametrize("call, message", [
    (lambda f: f.close(1), "close() takes exactly 0 positional arguments (1 given)"),
    (lambda f: f.close(x=1), "close() takes no keyword arguments"),
    (lambda f: f.__enter__(None), "__enter__() takes exactly 0 positional arguments (1 given)"),
    (lambda f: f.get_name(x=1), "get_name() takes no keyword arguments"),
    (lambda f: f.__exit__(exc=None), "__exit__() takes no keyword arguments"),
    (lambda f: f.set_auto_clipping(True, 1),
     "set_auto_clipping() takes at most 1 positional argument (2 given)"),
    (lambda f: f.set_auto_clipping(on=True),
     "set_auto_clipping() got an unexpected keyword argument 'on'"),
    (lambda f: f.set_compression_level(),
     "set_compression_level() takes exactly 1 positional argument (0 given)"),
    (lambda f: f.set_compression_level(0.5, level=0.5),
     "set_compression_level() got multiple values for keyword argument 'level'"),
])
def test_method_argument_errors(m, stereo_wav, call, message):
    with m.Ondalis(stereo_wav) as f:
        with pytest.raises(TypeError) as excinfo:
            call(f)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("refuse", [
    pickle.dumps, copy.copy, copy.deepcopy,
    lambda f: f.__reduce__(), lambda f: f.__reduce_ex__(2), lambda f: f.__setstate__({}),
])
def test_pickling_is_refused(m, stereo_wav, refuse):
    with m.Ondalis(stereo_wav) as f:
        with pytest.raises(TypeError) as excinfo:
            refuse(f)
    assert str(excinfo.value) == "no default __reduce__ due to non-trivial __cinit__"


def test_object_shape(m, stereo_wav):
    f = m.Ondalis(stereo_wav)
    assert m.Ondalis.__dictoffset__ == 0 and m.Ondalis.__weakrefoffset__ == 0
    assert not gc.is_tracked(f)
    with pytest.raises(AttributeError):
        f.extra = 1
    f.close()


def subclass(m, calls):
    class Recording(m.Ondalis):
        def __init__(self, filename, *args, label=None, **kwargs):
            self.label = label

        def set_auto_clipping(self, arg=True):
            calls.append(("set_auto_clipping", arg))
            return super().set_auto_clipping(arg)

        def close(self):
            calls.append("close")
            return super().close()
    return Recording


def test_subclass_overrides_are_used(m, stereo_wav):
    calls = []
    Recording = subclass(m, calls)
    f = Recording(stereo_wav, label="extra keyword")
    assert f.label == "extra keyword"
    assert calls == [("set_auto_clipping", True)]
    with f:
        pass
    assert calls[1:] == ["close"] and str(f) == "invalid sndfile"
    g = Recording(stereo_wav, "r", 0, 0, 0, "sixth")
    del g
    gc.collect()
    assert calls[2:] == [("set_auto_clipping", True), "close"]


def test_failing_set_auto_clipping_fails_construction_and_closes(m, stereo_wav):
    calls = []

    class Refusing(subclass(m, calls)):
        def set_auto_clipping(self, arg=True):
            raise LookupError("refused")

    with pytest.raises(LookupError, match="refused"):
        Refusing(stereo_wav)
    gc.collect()
    assert calls == ["close"]  # the half-built object is destroyed through close()
    assert not open_descriptors_of(stereo_wav)


@pytest.mark.parametrize("args, kwargs, error, created", [
    ((), {}, TypeError, False),  # bad arguments: no object is made
    (("p",), {"format": "x"}, TypeError, False),
    (("p", "r", 2**31), {}, OverflowError, False),
    (("p", "x"), {}, ValueError, True),  # later checks destroy the made object
    (("p",), {"channels": 5000}, ValueError, True),
    (("/nonexistent/p.wav",), {}, OSError, True),
])
def test_failed_construction_closes_only_a_made_object(m, args, kwargs, error, created):
    calls = []
    with pytest.raises(error):
        subclass(m, calls)(*args, **kwargs)
    gc.collect()
    assert calls == (["close"] if created else [])


def test_failing_close_on_destruction_is_unraisable(m, stereo_wav, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)

    class Failing(m.Ondalis):
        def close(self):
            super().close()
            raise ArithmeticError("close failed")

    f = Failing(stereo_wav)
    try:
        raise KeyError("pending")
    except KeyError:
        del f  # destroyed while an exception is being handled
        assert sys.exc_info()[0] is KeyError
    gc.collect()
    assert [type(r.exc_value) for r in reports] == [ArithmeticError]
    assert not open_descriptors_of(stereo_wav)


def test_auto_clipping(m, stereo_wav):
    with m.Ondalis(stereo_wav) as f:
        # libsndfile answers with the clipping state it now has
        assert f.set_auto_clipping() == 1
        assert f.set_auto_clipping(False) == 0
        assert f.set_auto_clipping(arg=7) == 1
        with pytest.raises(OverflowError):
            f.set_auto_clipping(2**31)
        for not_integer in ("yes", 0.9):  # a float is no integer
            with pytest.raises(TypeError) as excinfo:
                f.set_auto_clipping(not_integer)
            assert str(excinfo.value) == "an integer is required"


@pytest.mark.parametrize("major, encoding, answer", [
    ("flac", "pcm16", 1), ("ogg", "vorbis", 1), ("wav", "pcm16", 0)])
@pytest.mark.parametrize("level", [0.5, -0.0, 1.0, 0, 1, math.nan])
def test_compression_level(m, tmp_path, major, encoding, answer, level):
    fmt = m.construct_format(major, encoding)
    with m.Ondalis(tmp_path / "c", "w", format=fmt, channels=1, samplerate=44100) as f:
        result = f.set_compression_level(level)
    # NaN passes the range test and reaches libsndfile, which takes it.
    assert type(result) is int and result == answer


@pytest.mark.parametrize("level", [1.0000001, -1e-300, -1, math.inf])
def test_compression_level_out_of_range(m, stereo_wav, level):
    with m.Ondalis(stereo_wav) as f:
        with pytest.raises(ValueError) as excinfo:
            f.set_compression_level(level=level)
    assert str(excinfo.value) == "Ondalis::error::compression level should be between 0 and 1"


def test_settings_on_a_closed_object(m, stereo_wav):
    f = m.Ondalis(stereo_wav)
    f.close()
    for call in (f.set_auto_clipping, lambda: f.set_auto_clipping("not converted"),
                 lambda: f.set_compression_level(5)):
        with pytest.raises(RuntimeError) as excinfo:
            call()
        assert str(excinfo.value) == NO_HANDLE
    with pytest.raises(TypeError):  # converted before the handle is tested
        f.set_compression_level("x")


@pytest.mark.parametrize("as_type", [str, bytes])
def test_a_rebound_expanduser_sees_every_path(m, tmp_path, monkeypatch, as_type):
    # Paths without a tilde skip the call only while os.path.expanduser
    # is the interpreter's own; a replacement is called for every path.
    import os
    target = tmp_path / "real.wav"
    with m.Ondalis(str(target), "w", format=0x10002, channels=1, samplerate=8000):
        pass
    seen = []

    def expanduser(path):
        seen.append(path)
        return os.fsencode(target) if isinstance(path, bytes) else str(target)

    monkeypatch.setattr(os.path, "expanduser", expanduser)
    asked = as_type(os.fsencode(tmp_path / "elsewhere.wav")) if as_type is bytes \
        else str(tmp_path / "elsewhere.wav")
    with m.Ondalis(asked) as f:
        assert f.get_name() == os.fsencode(target)
    assert seen == [asked]
