"""Module initialisation: the namespace, one module per process, its guards."""
import sys

import numpy as np
import pytest

import ondalis

TABLE_KINDS = [
    ("_encoding_id_tuple", "encoding"), ("_fileformat_id_tuple", "fileformat"),
    ("_endian_to_id_tuple", "endian"), ("_commands_to_id_tuple", "commands"),
    ("_stringtype_to_id_tuple", "stringtype"), ("_loop_to_id_tuple", "loop"),
    ("_channel_map_to_id_tuple", "channel_map"), ("_ambisonic_to_id_tuple", "ambisonic"),
    ("_bitrate_mode_to_id_tuple", "bitrate_mode"),
]
CHECKERS = ["_raise_command_retcode_error", "_check_command_retcode", "_check_command_retval",
            "_check_command_hybrid_retval", "_check_char_range", "_check_int16_range",
            "_check_int32_range"]
NAMESPACE = (
    ["Ondalis", "np", "warnings", "os", "dataclass", "List", "_ondalis_version",
     "get_ondalis_version", "_max_supported_string_length_tuple",
     "max_supported_string_length", "SF_MAX_CHANNELS", "SF_FORMAT_SUBMASK",
     "SF_FORMAT_TYPEMASK", "SF_FORMAT_ENDMASK"]
    + [n for t, k in TABLE_KINDS for n in (t, k + "_name_to_id", k + "_id_to_name")]
    + ["SfInfo", "SfFormatInfo", "SfDitherInfo", "SfEmbedFileInfo", "SfCuePoint",
       "SfInstrumentLoop", "SfInstrument", "SfLoopInfo", "SfBroadcastInfo", "SfCartTimer",
       "SfCartInfo"]
    + CHECKERS
    + ["get_sndfile_version", "get_sndfile_encodings", "get_sf_log", "get_sndfile_formats",
       "construct_format"])


def test_namespace_holds_the_public_names_in_creation_order(m):
    assert len(NAMESPACE) == 64
    names = [n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))]
    # The result checkers come with the command interface; until it is built
    # they are absent as a group, and everything else keeps its place.
    checkers_present = [n for n in CHECKERS if n in names]
    assert checkers_present in ([], CHECKERS)
    expected = NAMESPACE if checkers_present else [n for n in NAMESPACE if n not in CHECKERS]
    assert names == expected


def test_namespace_values(m):
    import dataclasses
    import os
    import typing
    import warnings
    assert m.Ondalis.__name__ == "Ondalis" and m.Ondalis.__module__ == "_ondalis"
    assert (m.np, m.warnings, m.os) == (np, warnings, os)
    assert m.dataclass is dataclasses.dataclass and m.List is typing.List
    assert m.__doc__ is None
    assert m is ondalis._ondalis is sys.modules["_ondalis"] is sys.modules["ondalis._ondalis"]


@pytest.mark.parametrize("name, value", [
    ("SF_FORMAT_SUBMASK", 65535), ("SF_FORMAT_TYPEMASK", 268369920),
    ("SF_FORMAT_ENDMASK", 805306368), ("SF_MAX_CHANNELS", 1024),
])
def test_constants(m, name, value):
    got = getattr(m, name)
    assert type(got) is int and got == value


def test_version_is_read_from_the_module_at_each_call(m, monkeypatch):
    assert m.get_ondalis_version() == (1, 5, 3) == m._ondalis_version
    assert ondalis.__version__ == "1.5.3"
    monkeypatch.setattr(m, "_ondalis_version", (9,))
    assert m.get_ondalis_version() == (9,)
    monkeypatch.delattr(m, "_ondalis_version")
    with pytest.raises(NameError) as excinfo:
        m.get_ondalis_version()
    assert str(excinfo.value) == "name '_ondalis_version' is not defined"


def test_importing_again_gives_the_same_module_and_tables(run_python):
    result = run_python("""
        import _imp, sys
        import ondalis
        first = ondalis._ondalis
        # Importing the package alone registers the short name too.
        assert sys.modules["_ondalis"] is first
        table = first.fileformat_id_to_name
        table[0x7F0000] = "changed"
        for name in ["_ondalis", "ondalis._ondalis", "ondalis"]:
            del sys.modules[name]
        import _ondalis
        assert _ondalis is first
        assert _ondalis.fileformat_id_to_name is table and table[0x7F0000] == "changed"
        # Running the initialisation again for the same module does nothing.
        _imp.exec_dynamic(_ondalis)
        assert _ondalis.fileformat_id_to_name is table and table[0x7F0000] == "changed"
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_initialising_a_second_module_object_is_refused(run_python):
    result = run_python("""
        import glob, importlib.machinery, importlib.util, os
        package = importlib.util.find_spec("ondalis")  # located, not imported
        path, = glob.glob(os.path.join(package.submodule_search_locations[0], "_ondalis.*.so"))
        loader = importlib.machinery.ExtensionFileLoader("ondalis._ondalis", path)
        spec = importlib.util.spec_from_file_location("ondalis._ondalis", path, loader=loader)
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)  # created before any execution
        assert first is not second
        loader.exec_module(first)
        try:
            loader.exec_module(second)
        except RuntimeError as error:
            print(error)
        loader.exec_module(first)  # the module itself again: nothing happens
        print(first.construct_format("wav", "pcm16"), "Ondalis" in vars(second))
    """)
    assert result.stdout.splitlines() == [
        "Module '_ondalis' has already been imported. Re-initialisation is not supported.",
        "65538 False"], result.stderr


def test_without_numpy_the_import_fails_and_a_later_one_succeeds(run_python):
    result = run_python("""
        import sys
        sys.modules["numpy"] = None  # numpy cannot be imported
        try:
            import _ondalis
        except ImportError:
            pass
        else:
            raise SystemExit("imported without numpy")
        assert not [n for n in sys.modules if "ondalis" in n], sys.modules
        del sys.modules["numpy"]
        import _ondalis
        assert _ondalis.SF_MAX_CHANNELS == 1024
        assert "wav" in _ondalis.get_sndfile_formats()
        assert repr(_ondalis.SfEmbedFileInfo(1, 2)) == "SfEmbedFileInfo(offset=1, length=2)"
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_interpreter_version_mismatch_warns_and_a_failed_import_can_be_retried(run_python):
    result = run_python("""
        import sys, warnings
        import numpy
        real = sys.version_info
        sys.version_info = (3, 99, 0, "final", 0)
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            try:
                import _ondalis
            except RuntimeWarning as warning:
                print(warning)
            else:
                raise SystemExit("no warning")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import _ondalis
        print(len(caught), caught[0].category.__name__)
        sys.version_info = real
        assert _ondalis.get_ondalis_version() == (1, 5, 3)
        print(_ondalis.Ondalis.__name__)
    """)
    compiled = f"{sys.version_info.major}.{sys.version_info.minor}"
    assert result.stdout.splitlines() == [
        f"compile time Python version {compiled} of module '_ondalis' does not match "
        "runtime version 3.99", "1 RuntimeWarning", "Ondalis"], result.stderr


def test_no_version_warning_when_the_interpreter_matches(run_python):
    result = run_python("""
        import warnings
        warnings.simplefilter("error", RuntimeWarning)
        import _ondalis
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_a_second_interpreter_is_refused(run_python):
    pytest.importorskip("_xxsubinterpreters")
    result = run_python("""
        import _xxsubinterpreters as interpreters
        import _ondalis
        other = interpreters.create()
        for statement in ["import _ondalis", "import ondalis._ondalis"]:
            try:
                interpreters.run_string(other, statement)
            except Exception as error:
                print(error)
        print(_ondalis.construct_format("wav", "pcm16"))
    """)
    message = ("<class 'ImportError'>: Interpreter change detected - this module can only be "
               "loaded into one interpreter per process.")
    assert result.stdout.splitlines() == [message, message, "65538"], result.stderr
