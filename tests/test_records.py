"""The metadata record classes: plain dataclasses with required fields."""
import ast
import dataclasses
import pathlib

import pytest

FIELDS = {
    "SfInfo": "frames:int samplerate:int channels:int format:int sections:int seekable:int",
    "SfFormatInfo": "format:int name:str extension:str",
    "SfDitherInfo": "type:int level:float name:str",
    "SfEmbedFileInfo": "offset:int length:int",
    "SfCuePoint": "indx:int position:int fcc_chunk:int chunk_start:int block_start:int "
                  "sample_offset:int name:str",
    "SfInstrumentLoop": "mode:str start:int end:int count:int",
    "SfInstrument": "gain:int basenote:int detune:int velocity_lo:int velocity_hi:int "
                    "key_lo:int key_hi:int loops:List[SfInstrumentLoop]",
    "SfLoopInfo": "time_sig_num:int time_sig_den:int loop_mode:str num_beats:int bpm:float "
                  "root_key:int future:List[int]",
    "SfBroadcastInfo": "description:str originator:str originator_reference:str "
                       "origination_date:str origination_time:str time_reference:int "
                       "version:int umid:bytes loudness_value:int loudness_range:int "
                       "max_true_peak_level:int max_momentary_loudness:int "
                       "max_shortterm_loudness:int coding_history:str",
    "SfCartTimer": "usage:str value:int",
    "SfCartInfo": "version:str title:str artist:str cut_id:str client_id:str category:str "
                  "classification:str out_cue:str start_date:str start_time:str end_date:str "
                  "end_time:str producer_app_id:str producer_app_version:str user_def:str "
                  "level_reference:int post_timers:List[SfCartTimer] url:str tag_text:str",
}


@pytest.mark.parametrize("name", FIELDS)
def test_record_class_shape(m, name):
    cls = getattr(m, name)
    expected = [tuple(item.split(":")) for item in FIELDS[name].split()]
    assert list(cls.__annotations__.items()) == expected
    fields = dataclasses.fields(cls)
    assert [(f.name, f.type) for f in fields] == expected
    assert all(f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING
               for f in fields)
    assert cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__) == ("_ondalis", name)
    assert cls.__match_args__ == tuple(n for n, _ in expected)
    assert cls.__hash__ is None
    assert not cls.__dataclass_params__.frozen and not cls.__dataclass_params__.order
    # Our own description, not the signature dataclass() writes when there is none.
    assert cls.__doc__ and not cls.__doc__.startswith(name + "(")
    # Every field is required, positionally or by keyword.
    values = list(range(len(expected)))
    assert cls(*values) == cls(**dict(zip(cls.__match_args__, values)))
    with pytest.raises(TypeError):
        cls(*values[:-1])


def stub_records(m):
    """{class name: [(field, annotation), ...]} of the dataclasses in the installed stub."""
    tree = ast.parse(pathlib.Path(m.__file__).with_name("_ondalis.pyi").read_text())
    return {node.name: [(item.target.id, ast.unparse(item.annotation))
                        for item in node.body if isinstance(item, ast.AnnAssign)]
            for node in tree.body
            if isinstance(node, ast.ClassDef)
            and any(ast.unparse(d) == "dataclass" for d in node.decorator_list)}


def test_stub_records_match_the_classes(m):
    runtime = {name: [(f.name, f.type) for f in dataclasses.fields(cls)]
               for name, cls in vars(m).items()
               if isinstance(cls, type) and dataclasses.is_dataclass(cls)}
    assert stub_records(m) == runtime
    assert list(runtime) == list(FIELDS)


def test_repr_and_missing_arguments(m):
    assert repr(m.SfInfo(0, 44100, 2, 0x10002, 1, 1)) == (
        "SfInfo(frames=0, samplerate=44100, channels=2, format=65538, sections=1, seekable=1)")
    with pytest.raises(TypeError) as excinfo:
        m.SfInfo()
    assert "missing 6 required positional arguments" in str(excinfo.value)
    assert all(f"'{f}'" in str(excinfo.value) for f in m.SfInfo.__match_args__)


def test_keywords(m):
    loop = m.SfLoopInfo(time_sig_num=4, time_sig_den=4, loop_mode="SF_LOOP_NONE", num_beats=8,
                        bpm=120.0, root_key=60, future=[0, 0, 0, 0, 0, 0])
    assert (loop.loop_mode, loop.bpm, loop.future) == ("SF_LOOP_NONE", 120.0, [0] * 6)
    with pytest.raises(TypeError) as excinfo:
        m.SfCartTimer(usage="OUT ", value=1, colour=2)
    assert "unexpected keyword argument 'colour'" in str(excinfo.value)


def test_equality_and_hashing(m):
    a = m.SfCuePoint(1, 10, 0x61746164, 0, 0, 10, "one")
    b = m.SfCuePoint(1, 10, 0x61746164, 0, 0, 10, "one")
    assert a == b and a is not b
    assert a != m.SfCuePoint(1, 10, 0x61746164, 0, 0, 11, "one")
    assert a != (1, 10, 0x61746164, 0, 0, 10, "one")
    assert a.__eq__((1, 10, 0x61746164, 0, 0, 10, "one")) is NotImplemented
    assert m.SfEmbedFileInfo(1, 2) != m.SfCartTimer(1, 2)
    with pytest.raises(TypeError):
        {a}
    with pytest.raises(TypeError):
        a < b


def test_records_hold_whatever_they_are_given(m):
    info = m.SfInfo("many", None, 2.5, b"x", [], {})
    assert info.frames == "many" and info.channels == 2.5
    info.frames = object
    assert info.frames is object
    match m.SfCartTimer("OUT ", 3):
        case m.SfCartTimer(usage, value):
            assert (usage, value) == ("OUT ", 3)
