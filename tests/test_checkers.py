"""The module's result checkers and range checks."""
import pytest

import _ondalis

CLIPPING = 0x10C0       # SFC_SET_CLIPPING
BITRATE = 0x1304        # SFC_GET_BITRATE_MODE
INSTRUMENT = 0x10D1     # SFC_SET_INSTRUMENT
BROADCAST = 0x10F1      # SFC_SET_BROADCAST_INFO
CART = 0x1400           # SFC_SET_CART_INFO
UNKNOWN = 0x7777        # no command has this id

# libsndfile's texts for its error numbers 1 and 2.
TEXT_1 = "b'Format not recognised.'"
TEXT_2 = "b'System error.'"


@pytest.mark.parametrize("function, args, message", [
    ("_raise_command_retcode_error", (1, CLIPPING),
     f"Ondalis::error:: command SFC_SET_CLIPPING failed with error {TEXT_1}"),
    ("_check_command_retcode", (1, CLIPPING),
     f"Ondalis::error:: command SFC_SET_CLIPPING failed with error {TEXT_1}"),
    ("_check_command_retval", (0, CLIPPING, 0), "Ondalis::error:: command SFC_SET_CLIPPING failed"),
    ("_check_command_retval", (-1, BITRATE, -1), "Ondalis::error:: command SFC_GET_BITRATE_MODE failed"),
    ("_check_command_hybrid_retval", (0, CLIPPING), "Ondalis::error:: command SFC_SET_CLIPPING failed"),
    ("_check_command_hybrid_retval", (2, CLIPPING),
     f"Ondalis::error:: command SFC_SET_CLIPPING failed with error {TEXT_2}"),
    ("_check_int32_range", (2147483648, CART, "level_reference"),
     "Ondalis::error:: command SFC_SET_CART_INFO argument level_reference value 2147483648 "
     "is out of range -2147483648-2147483647"),
    ("_check_int32_range", (-2147483649, CART, "level_reference"),
     "Ondalis::error:: command SFC_SET_CART_INFO argument level_reference value -2147483649 "
     "is out of range -2147483648-2147483647"),
    ("_check_int16_range", (40000, BROADCAST, "loudness_value"),
     "Ondalis::error:: command SFC_SET_BROADCAST_INFO argument loudness_value value 40000 "
     "is out of range -32768-32767"),
    ("_check_int16_range", (-32769, BROADCAST, "loudness_value"),
     "Ondalis::error:: command SFC_SET_BROADCAST_INFO argument loudness_value value -32769 "
     "is out of range -32768-32767"),
    ("_check_char_range", (128, INSTRUMENT, "basenote"),
     "Ondalis::error:: command SFC_SET_INSTRUMENT argument basenote value 128 is out of range"),
    ("_check_char_range", (-129, INSTRUMENT, "basenote"),
     "Ondalis::error:: command SFC_SET_INSTRUMENT argument basenote value -129 is out of range"),
])
def test_failure_messages(function, args, message):
    with pytest.raises(RuntimeError) as excinfo:
        getattr(_ondalis, function)(*args)
    assert str(excinfo.value) == message


class Marker:
    """An object compared by identity, to see that the checker returns its argument."""


@pytest.mark.parametrize("function, args, returns_first", [
    ("_check_command_retcode", (0, CLIPPING), False),
    ("_check_command_hybrid_retval", (1, CLIPPING), False),
    ("_check_command_retval", (5, CLIPPING, 0), True),
    ("_check_command_retval", (0, BITRATE, -1), True),
    ("_check_command_retval", (Marker(), CLIPPING, 0), True),
    ("_check_int32_range", (2147483647, CART, "f"), True),
    ("_check_int32_range", (-2147483648, CART, "f"), True),
    ("_check_int16_range", (32767, BROADCAST, "f"), True),
    ("_check_int16_range", (-32768, BROADCAST, "f"), True),
    ("_check_char_range", (127, INSTRUMENT, "f"), True),
    ("_check_char_range", (-128, INSTRUMENT, "f"), True),
    ("_check_char_range", (1.5, INSTRUMENT, "f"), True),
    # Success never looks the command's name up.
    ("_check_command_retcode", (0, UNKNOWN), False),
    ("_check_command_retval", (5, UNKNOWN, 0), True),
    ("_check_int16_range", (7, UNKNOWN, "f"), True),
])
def test_success_passes_quietly(function, args, returns_first):
    result = getattr(_ondalis, function)(*args)
    assert result is (args[0] if returns_first else None)


@pytest.mark.parametrize("function, args, error", [
    # The name is looked up first, only on the failure path.
    ("_raise_command_retcode_error", ("not a number", UNKNOWN), KeyError),
    ("_check_command_retcode", (1, UNKNOWN), KeyError),
    ("_check_command_retval", (0, UNKNOWN, 0), KeyError),
    ("_check_command_hybrid_retval", (2, UNKNOWN), KeyError),
    ("_check_char_range", (200, UNKNOWN, "f"), KeyError),
    # An object unequal to 0 is a failure, and then fails the conversion of ret.
    ("_check_command_retcode", ("x", CLIPPING), TypeError),
    ("_raise_command_retcode_error", (2**31, CLIPPING), OverflowError),
    ("_check_int32_range", ("x", CART, "f"), TypeError),
])
def test_lookup_and_conversion_errors(function, args, error):
    with pytest.raises(error):
        getattr(_ondalis, function)(*args)


def test_keyword_arguments():
    assert _ondalis._check_command_retval(ret=5, command=CLIPPING, failure=0) == 5
    assert _ondalis._check_int16_range(value=3, command=BROADCAST, field="f") == 3
    with pytest.raises(TypeError):
        _ondalis._check_command_retcode(0)


def test_checkers_reach_each_other_and_the_names_through_the_module(monkeypatch):
    calls = []

    def fake_raise(ret, command):
        calls.append(("raise", ret, command))

    def fake_retval(ret, command, failure):
        calls.append(("retval", ret, command, failure))
        return ret

    monkeypatch.setattr(_ondalis, "_raise_command_retcode_error", fake_raise)
    monkeypatch.setattr(_ondalis, "_check_command_retval", fake_retval)
    _ondalis._check_command_retcode(3, CLIPPING)
    _ondalis._check_command_hybrid_retval(0, CLIPPING)
    assert calls == [("raise", 3, CLIPPING), ("retval", 0, CLIPPING, 0), ("raise", 0, CLIPPING)]

    monkeypatch.setattr(_ondalis, "commands_id_to_name", {CLIPPING: "RENAMED"})
    with pytest.raises(RuntimeError) as excinfo:
        _ondalis._check_int16_range(40000, CLIPPING, "f")
    assert str(excinfo.value).startswith("Ondalis::error:: command RENAMED argument f")
