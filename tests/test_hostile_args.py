"""Every public function and method called with arbitrary Python objects.

Each call must return a result of the documented kind or raise an ordinary
exception; SystemError (a result returned with an exception set, or NULL
without one) and a crash are faults. The arguments include objects whose
protocol methods raise, return the wrong type, or close the object under
test before answering (the module runs such Python code between checking
its handle and calling libsndfile).
"""
import builtins
import dataclasses
import io
import operator
import os
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _ondalis as m
import ondalis
from api_calls import (CLOSED, MODULE, MODULES, READ, STREAM_MODULE, STREAM_TARGETS, WRITE,
                       Targets, function_calls, invoke, method_calls, public_functions,
                       public_methods, public_stream_methods, records, scaled,
                       stream_function_calls, stream_method_calls, subset)
from messages import NO_HANDLE
from ondalis import _stream

SETTINGS = settings(max_examples=scaled(30, least=5), deadline=None, derandomize=True,
                    database=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow, HealthCheck.data_too_large])


# Reprs of long generated values are large; hypothesis warns about them.
pytestmark = [pytest.mark.filterwarnings("ignore::hypothesis.errors.HypothesisWarning"),
              pytest.mark.filterwarnings("ignore::UserWarning")]


class Boom(Exception):
    """Raised by a misbehaving protocol method."""


# The object the 'close' misbehaviour closes: the one under test.
victim = types.SimpleNamespace(obj=None)


class Misbehaving:
    """Answers every protocol in one way: 'raise' raises Boom, 'wrong' returns
    an object of the wrong type, 'close' closes the object under test and then
    answers as `value` would."""

    def __init__(self, how, value=0):
        self._how = how
        self._value = value

    def _act(self, protocol, wrong, delegate):
        if self._how == "raise":
            raise Boom(protocol)
        if self._how == "wrong":
            return wrong
        if victim.obj is not None and not isinstance(victim.obj, types.ModuleType):
            victim.obj.close()
        return delegate()

    def _wrap(self, value):
        return Misbehaving(self._how, value)

    def __index__(self):
        return self._act("__index__", "x", lambda: operator.index(self._value))

    def __int__(self):
        return self._act("__int__", 1.5, lambda: int(self._value))

    def __float__(self):
        return self._act("__float__", "x", lambda: float(self._value))

    def __bool__(self):
        return self._act("__bool__", 2, lambda: bool(self._value))

    def __len__(self):
        return self._act("__len__", 2**40, lambda: len(self._value))

    def __getitem__(self, key):
        return self._act("__getitem__", self, lambda: self._wrap(self._value[key]))

    def __iter__(self):
        return self._act("__iter__", 5, lambda: (self._wrap(v) for v in self._value))

    def __contains__(self, key):
        return self._act("__contains__", Misbehaving("raise"), lambda: key in self._value)

    def __hash__(self):
        return self._act("__hash__", 2**80, lambda: hash(self._value))

    def __str__(self):
        return self._act("__str__", 5, lambda: str(self._value))

    __repr__ = __str__

    def __fspath__(self):
        return self._act("__fspath__", 5, lambda: os.fspath(self._value))

    def encode(self, *args):
        return self._act("encode", 42, lambda: self._value.encode(*args))

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self._act(name, Misbehaving("wrong"), lambda: self._wrap(getattr(self._value, name)))


def _compare(op):
    def method(self, other):
        return self._act(op.__name__, Misbehaving("raise"), lambda: op(self._value, other))
    return method


for _op in (operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge):
    setattr(Misbehaving, f"__{_op.__name__}__", _compare(_op))


def partial_record(record):
    """Strategy: `record` as a plain object with some of its attributes missing."""
    names = [f.name for f in dataclasses.fields(record)]
    return st.sets(st.sampled_from(names), min_size=1).map(
        lambda dropped: types.SimpleNamespace(
            **{n: getattr(record, n) for n in names if n not in dropped}))


R = records()
NAMES = sorted(m.commands_name_to_id) + sorted(m.stringtype_name_to_id) + [
    "wav", "flac", "pcm16", "vorbis", "r", "w", "rw", "SF_LOOP_FORWARD",
    "SF_CHANNEL_MAP_LEFT", "SF_BITRATE_MODE_CONSTANT", "UTF-8"]
ARRAYS = [np.zeros((4, 2)), np.ones((4, 2), dtype=np.float32) * 2, np.zeros((4, 2), np.int32),
          np.zeros((4, 2), np.int16), np.zeros(4, complex), np.zeros((0, 2)),
          np.zeros((2, 2, 2)), np.zeros((4, 4))[:, ::2], np.array(["a", "b"]),
          np.zeros((4, 0)), np.array([np.nan, np.inf, -np.inf]), np.zeros((3, 2), ">f8"),
          np.frombuffer(b"\0" * 33, np.float64, 4, 1).reshape(2, 2)]
EXTREME_INTS = [2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32, 2**63 - 1, 2**63, -2**63,
                -2**63 - 1, 2**64, 10**30, -10**30, 2**40]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-10**4, 10**4), st.sampled_from(EXTREME_INTS),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=300),
    st.binary(max_size=300), st.sampled_from(["x" * 5000, b"y" * 70000, "\udcff", "é" * 200]),
    st.sampled_from(NAMES), st.sampled_from(ARRAYS),
    st.sampled_from([np.float64, np.float32, np.int32, np.int16, np.int8, object, "float64"]),
    st.sampled_from([bytearray(b"abc"), memoryview(b"abc"), object(), m.Ondalis, Boom()]),
    st.sampled_from([R.dither, R.cue, R.instrument, R.broadcast, R.cart, R.channel_map]),
    partial_record(R.dither), partial_record(R.cue), partial_record(R.instrument),
    partial_record(R.broadcast), partial_record(R.cart),
)
misbehaving = st.builds(Misbehaving, st.sampled_from(["raise", "wrong", "close"]), scalars)
values = st.recursive(
    st.one_of(scalars, misbehaving),
    lambda inner: st.one_of(st.lists(inner, max_size=5), st.tuples(inner, inner),
                            st.dictionaries(st.sampled_from(NAMES) | st.text(max_size=8), inner,
                                            max_size=3),
                            st.builds(Misbehaving, st.sampled_from(["raise", "wrong", "close"]),
                                      st.lists(inner, max_size=3))),
    max_leaves=8)

# What a successful call documents it returns.
RESULT_TYPES = {
    **dict.fromkeys(["frames", "format", "channels", "samplerate", "seekable", "error",
                     "get_cue_count", "write_frames", "seek", "rewind"], int),
    **dict.fromkeys(["strError", "get_name"], bytes),
    **dict.fromkeys(["encoding_str", "major_format_str"], str),
    **dict.fromkeys(["close", "writeSync", "set_string", "set_strings", "__exit__"], type(None)),
    "get_strings": dict, "get_cue_mrks": list, "read_frames": np.ndarray,
    "__enter__": m.Ondalis,
}
STREAM_RESULT_TYPES = {
    **dict.fromkeys(["write", "seek", "tell"], int),
    **dict.fromkeys(["set_record", "set_string"], bool),
    **dict.fromkeys(["close", "copy_metadata", "set_chunk", "__exit__"], type(None)),
    **dict.fromkeys(["strings", "metadata"], dict), **dict.fromkeys(["chunks", "chunk_data"], list),
    **dict.fromkeys(["read", "__next__"], np.ndarray), "__enter__": _stream.Stream,
}
STREAM_FUNCTION_RESULT_TYPES = {"read": tuple, "blocks": _stream.Blocks}


def result_types(target):
    """The result types of the calls on a target."""
    if target == STREAM_MODULE:
        return STREAM_FUNCTION_RESULT_TYPES
    return STREAM_RESULT_TYPES if target in STREAM_TARGETS else RESULT_TYPES


def assert_sound_outcome(name, outcome, types_of=RESULT_TYPES):
    kind, value = outcome
    if kind == "raised":
        assert not isinstance(value, SystemError), repr(value)
    elif name in types_of:
        assert isinstance(value, types_of[name]), (name, value)


# Per kind of object: a call that answers while it is open, what it answers,
# and what it raises once closed.
PROBES = {
    m.Ondalis: ("frames", int, RuntimeError, NO_HANDLE),
    _stream.Stream: ("tell", int, ValueError, "I/O operation on a closed sound file"),
    _stream.Blocks: ("__next__", np.ndarray, StopIteration, ""),
}


def assert_still_consistent(obj):
    """After any call the object either works or is cleanly closed."""
    if isinstance(obj, types.ModuleType):
        return
    name, answer, error, text = PROBES[type(obj)]
    kind, value = invoke(obj, name, (), {})
    if kind == "raised":
        assert isinstance(value, error) and str(value) == text, repr(value)
    else:
        assert isinstance(value, answer)


def huge_fill(name, args, kwargs):
    """A read that would fill a huge array with a value (it touches all of it)."""
    if name != "read_frames":
        return False
    params = dict(zip(["nframes", "dtype", "force_2d", "fill_value", "min_read"], args))
    params.update(kwargs)
    n = params.get("nframes", -1)
    return params.get("fill_value") is not None and not (isinstance(n, int) and n < 10**5)


def call_on(targets, target, name, args, kwargs):
    obj = targets.make(target)
    args, kwargs = targets.resolve(args, kwargs)
    victim.obj = obj
    try:
        outcome = invoke(obj, name, args, kwargs)
    finally:
        victim.obj = None
    assert_sound_outcome(name, outcome, result_types(target))
    assert_still_consistent(obj)
    if target not in MODULES:
        obj.close()
    return outcome


@pytest.fixture
def targets(tmp_path):
    return Targets(tmp_path)


def test_catalogue_covers_every_public_name():
    called = {name for _, name, _, _ in method_calls() + function_calls()}
    missing = (set(public_methods()) | set(public_functions())) - called
    assert not missing
    called = {(target == STREAM_MODULE, name) for target, name, _, _ in STREAM_CALLS}
    public = {(False, name) for _, name in public_stream_methods()}
    public |= {(True, name) for name in public_functions(_stream)}
    assert not public - called


def arbitrary_call(data, keywords):
    """Strategy draws: positional arguments and keyword arguments (named from
    `keywords` and 'x') of any values."""
    args = data.draw(st.lists(values, max_size=5), "args")
    kwargs = data.draw(st.dictionaries(st.sampled_from([*keywords, "x"]), values, max_size=2),
                       "kwargs")
    return args, kwargs


@pytest.mark.parametrize("name", subset(public_methods()))
@SETTINGS
@given(data=st.data())
def test_method_with_arbitrary_arguments(targets, name, data):
    args, kwargs = arbitrary_call(data, [
        "command", "arg", "nframes", "dtype", "fill_value", "mode", "offset", "whence", "input",
        "level", "string", "stringtype_name"])
    assume(not huge_fill(name, args, kwargs))
    call_on(targets, data.draw(st.sampled_from([READ, WRITE, CLOSED])), name, args, kwargs)


PUBLIC_STREAM_METHODS = subset(public_stream_methods())


@pytest.mark.parametrize("kinds, name", PUBLIC_STREAM_METHODS,
                         ids=[f"{kinds[0]}-{name}" for kinds, name in PUBLIC_STREAM_METHODS])
@SETTINGS
@given(data=st.data())
def test_stream_method_with_arbitrary_arguments(targets, kinds, name, data):
    args, kwargs = arbitrary_call(data, ["frames", "dtype", "always_2d", "out"])
    call_on(targets, data.draw(st.sampled_from(kinds)), name, args, kwargs)


def call_ids(calls):
    return [f"{target}-{name}-{i}" for i, (target, name, _, _) in enumerate(calls)]


METHOD_CALLS = method_calls()
FUNCTION_CALLS = function_calls()
STREAM_CALLS = stream_method_calls() + stream_function_calls()


def first_slot(call):
    """The first argument the sweep replaces: the source of a streaming
    module function is drawn from safe sources instead (an int source is a
    descriptor, which may be the terminal's)."""
    return 1 if call[0] == STREAM_MODULE else 0


WITH_ARGUMENTS = subset(c for c in METHOD_CALLS + FUNCTION_CALLS + STREAM_CALLS
                        if len(c[2]) + len(c[3]) > first_slot(c))


@pytest.mark.parametrize("call", WITH_ARGUMENTS, ids=call_ids(WITH_ARGUMENTS))
@SETTINGS
@given(data=st.data())
def test_documented_call_with_one_argument_replaced(targets, call, data):
    target, name, args, kwargs = call
    args, kwargs = list(args), dict(kwargs)
    slot = data.draw(st.integers(first_slot(call), len(args) + len(kwargs) - 1), "slot")
    value = data.draw(values, "value")
    if slot < len(args):
        args[slot] = value
    else:
        kwargs[sorted(kwargs)[slot - len(args)]] = value
    assume(not huge_fill(name, args, kwargs))
    call_on(targets, target, name, args, kwargs)


def closing_variants(calls):
    """Each documented call with one argument made to close the object when used."""
    for target, name, args, kwargs in calls:
        if target not in MODULES:
            for i in range(len(args)):
                wrapped = list(args)
                wrapped[i] = Misbehaving("close", args[i])
                yield target, name, tuple(wrapped), kwargs


CLOSING_CALLS = list(closing_variants(METHOD_CALLS + STREAM_CALLS))


@pytest.mark.parametrize("call", CLOSING_CALLS, ids=call_ids(CLOSING_CALLS))
def test_argument_that_closes_the_object(targets, call):
    target, name, args, kwargs = call
    kind, value = call_on(targets, target, name, args, kwargs)
    if kind == "raised":
        assert isinstance(value, Exception) and not isinstance(value, SystemError)


@pytest.mark.parametrize("name", subset(public_functions()))
@SETTINGS
@given(args=st.lists(values, max_size=4))
def test_function_with_arbitrary_arguments(targets, name, args):
    call_on(targets, MODULE, name, args, {})


def safe_paths(folder, fd):
    """Strategy for file names that stay inside the test's folder."""
    names = st.text(st.characters(blacklist_characters="/~", blacklist_categories=["Cs"]),
                    max_size=40)
    return st.one_of(
        names, names.map(os.fsencode), st.sampled_from([fd, -1, 2**31, 10**20, "", b"", "."]),
        st.sampled_from(["source.wav", b"source.wav", "written.wav"]),
        st.builds(Misbehaving, st.sampled_from(["raise", "wrong"]), st.just("source.wav")),
        st.none(), st.floats(), st.sampled_from([object(), ["source.wav"], np.zeros(2)]))


@pytest.fixture
def folder_with_fd(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Targets(tmp_path)
    fd = os.open(tmp_path / "by_fd.wav", os.O_RDWR | os.O_CREAT, 0o600)
    yield tmp_path, fd
    os.close(fd)


@SETTINGS
@given(data=st.data())
def test_constructor_with_arbitrary_arguments(folder_with_fd, data):
    folder, fd = folder_with_fd
    filename = data.draw(safe_paths(folder, fd), "filename")
    rest = data.draw(st.lists(st.one_of(values, st.sampled_from(
        ["r", "w", "rw", m.construct_format("wav", "pcm16"), 1, 2, 8000])), max_size=5), "rest")
    kind, value = invoke(m, "Ondalis", (filename, *rest), {})
    assert_sound_outcome("Ondalis", (kind, value))
    if kind == "ok":
        assert isinstance(value, m.Ondalis)
        assert_still_consistent(value)
        value.close()


@SETTINGS
@given(data=st.data())
def test_package_helpers_with_arbitrary_arguments(folder_with_fd, data):
    folder, fd = folder_with_fd
    path = data.draw(safe_paths(folder, fd), "path")
    helper = data.draw(st.sampled_from(["read", "write", "info", "blocks"]), "helper")
    rest = data.draw(st.lists(values, max_size=4), "rest")
    if helper == "read":
        assume(all(not isinstance(v, int) or abs(v) < 10**6 for v in rest[:2]))
    kind, value = invoke(ondalis, helper, (path, *rest), {})
    if kind == "ok" and helper == "blocks":
        kind, value = invoke(types.SimpleNamespace(run=lambda: list(value)), "run", (), {})
    assert_sound_outcome(helper, (kind, value))


def safe_sources(folder, fd):
    """Strategy for sources of the streaming module: safe paths, and the
    source file's bytes in memory."""
    data = (folder / "source.wav").read_bytes()
    return safe_paths(folder, fd) | st.sampled_from(["bytes", "bytearray", "memoryview"]).map(
        lambda kind: io.BytesIO(data) if kind == "bytes" else getattr(builtins, kind)(data))


@SETTINGS
@given(data=st.data())
def test_stream_functions_and_constructor_with_arbitrary_arguments(folder_with_fd, data):
    folder, fd = folder_with_fd
    source = data.draw(safe_sources(folder, fd), "source")
    name = data.draw(st.sampled_from(["read", "blocks", "Stream"]), "name")
    rest = data.draw(st.lists(st.one_of(values, st.sampled_from(
        ["r", "w", m.construct_format("wav", "pcm16"), 1, 2, 8000])), max_size=5), "rest")
    kind, value = invoke(_stream, name, (source, *rest), {})
    if kind == "ok" and name == "blocks":
        kind, value = invoke(types.SimpleNamespace(run=lambda: list(value)), "run", (), {})
    assert_sound_outcome(name, (kind, value), STREAM_FUNCTION_RESULT_TYPES)
    if kind == "ok" and name == "Stream":
        assert_still_consistent(value)
        value.close()


MODULE_ATTRIBUTES = subset(sorted(name for name in vars(m) if not name.startswith("__")))
REBINDINGS = {
    "deleted": None,
    "None": lambda: None,
    "raising": lambda: Misbehaving("raise"),
    "wrong": lambda: Misbehaving("wrong"),
}


@pytest.mark.parametrize("rebinding", sorted(REBINDINGS))
@pytest.mark.parametrize("attribute", MODULE_ATTRIBUTES)
def test_documented_calls_with_a_module_attribute_rebound(targets, monkeypatch, attribute,
                                                          rebinding):
    """The module looks its attributes up at each use: whatever they have become,
    every call still returns or raises."""
    objects = {target: targets.make(target) for target in (READ, WRITE, CLOSED)}
    if REBINDINGS[rebinding] is None:
        monkeypatch.delattr(m, attribute)
    else:
        monkeypatch.setattr(m, attribute, REBINDINGS[rebinding]())
    for target, name, args, kwargs in METHOD_CALLS + FUNCTION_CALLS:
        obj = m if target == MODULE else objects[target]
        if name in ("close", "__exit__"):
            continue
        # A rebound table or record class may make any result: only a
        # SystemError (or a crash) is a fault here.
        assert_sound_outcome(None, invoke(obj, name, args, kwargs))
    assert_sound_outcome(None, invoke(m, "Ondalis", (str(targets.source),), {}))
    monkeypatch.undo()
    for obj in objects.values():
        obj.close()
