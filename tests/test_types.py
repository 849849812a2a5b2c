"""Type stubs and help: the stubs agree with the module, and every callable of
the extension documents its signature, what it takes, returns and raises."""
import importlib.util
import inspect
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
import soundfile

import ondalis
from ondalis import _ondalis


def callables():
    """(name, object) for every function of the module and method of Ondalis
    defined by the extension (the slot wrappers such as __str__ document
    themselves)."""
    found = [(name, value) for name, value in vars(_ondalis).items()
             if type(value).__name__ == "builtin_function_or_method"]
    found += [(f"Ondalis.{name}", value) for name, value in vars(_ondalis.Ondalis).items()
              if type(value).__name__ in ("method_descriptor", "signed_method_descriptor")]
    return sorted(found) + [("Ondalis", _ondalis.Ondalis)]


def test_the_extension_has_the_callables_the_stubs_describe():
    names = {name for name, _ in callables()}
    assert {"construct_format", "Ondalis.read_frames", "Ondalis.command",
            "Ondalis._cart_set_command", "Ondalis.__exit__", "Ondalis"} <= names


@pytest.mark.parametrize("name, value", callables(), ids=[name for name, _ in callables()])
def test_every_callable_documents_its_signature_arguments_result_and_errors(name, value):
    # The docstring starts with the signature line: CPython then takes it as
    # __text_signature__ and shows only the text after it as __doc__.
    assert value.__text_signature__ is not None, "no signature line"
    body = value.__doc__
    assert body and not body.startswith(name.split(".")[-1] + "("), "signature line not parsed"
    words = set(re.findall(r"\w+", body))
    assert {"Returns", "returns", "Return", "return", "returned"} & words, (
        "says nothing of the result")
    assert {"Raises", "raises", "raise", "raised"} & words, "says nothing of the errors"
    params = re.findall(r"[(,]\s*\**(\w+)", value.__text_signature__)
    for param in params:
        if param not in ("self", "$self", "args", "kwargs"):
            assert param in words, f"parameter {param} is not described"


def test_signatures_are_readable_by_inspect(tmp_path):
    """Every signature parses, read_frames's too, whose default is the
    numpy.float64 object: the signature gives that very object, and binding
    an instance drops `self`."""
    unreadable = []
    for name, value in callables():
        try:
            inspect.signature(value)
        except ValueError:
            unreadable.append(name)
    assert unreadable == []
    read_frames = inspect.signature(ondalis.Ondalis.read_frames)
    assert str(read_frames) == ("(self, /, nframes=-1, dtype=<class 'numpy.float64'>, "
                                "force_2d=False, fill_value=None, min_read=0)")
    assert read_frames.parameters["dtype"].default is np.float64
    path = tmp_path / "a.wav"
    soundfile.write(path, np.zeros(4, dtype=np.int16), 8000)
    with ondalis.Ondalis(str(path)) as f:
        assert list(inspect.signature(f.read_frames).parameters)[0] == "nframes"
        assert f.read_frames(2, np.int16).dtype == np.int16  # the method still runs
        assert ondalis.Ondalis.read_frames(f).shape == (2,)
    assert str(inspect.signature(ondalis.Ondalis.seek)) == "(self, /, offset, whence=0, mode='rw')"
    assert str(inspect.signature(ondalis.Ondalis)) == (
        "(filename, mode='r', format=0, channels=0, samplerate=0, *args, **kwargs)")


def test_the_package_ships_its_stubs_and_marks_itself_typed():
    folder = pathlib.Path(ondalis.__file__).parent
    assert (folder / "py.typed").is_file() and (folder / "_ondalis.pyi").is_file()


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubtest_finds_the_stubs_consistent_with_the_module(tmp_path):
    # Run away from the source tree, so that the installed package is checked.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ondalis._ondalis"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_accepts_typical_use_and_rejects_a_wrong_call(tmp_path):
    good = tmp_path / "good.py"
    good.write_text(
        "import numpy as np\nimport ondalis\n"
        "data, rate = ondalis.read('a.wav', dtype='int16')\n"
        "frames: int = ondalis.write('b.flac', data, rate)\n"
        "info = ondalis.info('b.flac')\n"
        "names: list[str] = [c.name for c in info.cue_points]\n"
        "with ondalis.Ondalis('b.flac') as f:\n"
        "    block: np.ndarray = f.read_frames(10, np.float32)\n"
        "    title: bytes = f.get_strings()['SF_STR_TITLE']\n"
        "    single: npt.NDArray[np.float32] = f.read_frames(dtype=np.float32)\n"
        "    double: npt.NDArray[np.float64] = f.read_frames()\n"
        "default: npt.NDArray[np.float64] = ondalis.read('a.wav')[0]\n"
        "first: npt.NDArray[np.float64] = next(ondalis.blocks('a.wav', 1024))\n"
        "ondalis.write('c.wav', data, rate, **ondalis.metadata('a.wav'))\n")
    good.write_text("import numpy.typing as npt\n" + good.read_text())
    # Each line but the first is a mistake the checker must catch.
    bad = tmp_path / "bad.py"
    bad.write_text("import numpy as np, numpy.typing as npt, ondalis\n"
                   "ondalis.Ondalis('a.wav').seek('start')\n"
                   "ondalis.read('a.wav', dtype='int8')\n"
                   "wrong: npt.NDArray[np.int16] = ondalis.read('a.wav')[0]\n"
                   "short: npt.NDArray[np.float64] = ondalis.Ondalis('a.wav').read_frames(9, np.int16)\n")
    def mypy(path):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                               str(tmp_path / "cache"), str(path)],
                              cwd=tmp_path, capture_output=True, text=True, timeout=600)
    result = mypy(good)
    assert result.returncode == 0, result.stdout
    result = mypy(bad)
    assert result.returncode == 1 and 'Argument 1 to "seek"' in result.stdout
    assert {int(line) for line in re.findall(r"^bad\.py:(\d+): error", result.stdout, re.M)} == \
        {2, 3, 4, 5}, result.stdout


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_the_package_itself_passes_strict_type_checking(tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "-p", "ondalis"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout
