// The eleven metadata record classes: plain dataclasses whose fields mirror
// libsndfile's metadata structures. They are defined by running class
// statements in the module namespace, which is what dataclass() needs.
#include "../capi/error.hpp"
#include "records.hpp"

namespace ondalis {
namespace {

constexpr const char* kRecordSource = R"PY(
@dataclass
class SfInfo:
    """Description of an open file's format (SF_INFO); returned by the command
    SFC_GET_CURRENT_SF_INFO."""
    __module__ = '_ondalis'
    frames: 'int'
    samplerate: 'int'
    channels: 'int'
    format: 'int'
    sections: 'int'
    seekable: 'int'

@dataclass
class SfFormatInfo:
    """A format libsndfile supports (SF_FORMAT_INFO); returned by the commands
    SFC_GET_SIMPLE_FORMAT, SFC_GET_FORMAT_MAJOR, SFC_GET_FORMAT_SUBTYPE and
    SFC_GET_FORMAT_INFO."""
    __module__ = '_ondalis'
    format: 'int'
    name: 'str'
    extension: 'str'

@dataclass
class SfDitherInfo:
    """Dither settings (SF_DITHER_INFO); passed to SFC_SET_DITHER_ON_WRITE and
    SFC_SET_DITHER_ON_READ, returned by SFC_GET_DITHER_INFO."""
    __module__ = '_ondalis'
    type: 'int'
    level: 'float'
    name: 'str'

@dataclass
class SfEmbedFileInfo:
    """Position of an audio file embedded in a larger file (SF_EMBED_FILE_INFO);
    returned by SFC_GET_EMBED_FILE_INFO."""
    __module__ = '_ondalis'
    offset: 'int'
    length: 'int'

@dataclass
class SfCuePoint:
    """One cue marker (SF_CUE_POINT); lists of them are passed to SFC_SET_CUE
    and returned by SFC_GET_CUE."""
    __module__ = '_ondalis'
    indx: 'int'
    position: 'int'
    fcc_chunk: 'int'
    chunk_start: 'int'
    block_start: 'int'
    sample_offset: 'int'
    name: 'str'

@dataclass
class SfInstrumentLoop:
    """One loop of an instrument (a loop entry of SF_INSTRUMENT); mode is a
    key of loop_name_to_id."""
    __module__ = '_ondalis'
    mode: 'str'
    start: 'int'
    end: 'int'
    count: 'int'

@dataclass
class SfInstrument:
    """Instrument data (SF_INSTRUMENT) with up to 16 loops; passed to
    SFC_SET_INSTRUMENT and returned by SFC_GET_INSTRUMENT."""
    __module__ = '_ondalis'
    gain: 'int'
    basenote: 'int'
    detune: 'int'
    velocity_lo: 'int'
    velocity_hi: 'int'
    key_lo: 'int'
    key_hi: 'int'
    loops: 'List[SfInstrumentLoop]'

@dataclass
class SfLoopInfo:
    """Loop information (SF_LOOP_INFO); returned by SFC_GET_LOOP_INFO."""
    __module__ = '_ondalis'
    time_sig_num: 'int'
    time_sig_den: 'int'
    loop_mode: 'str'
    num_beats: 'int'
    bpm: 'float'
    root_key: 'int'
    future: 'List[int]'

@dataclass
class SfBroadcastInfo:
    """Broadcast extension (EBU bext) data (SF_BROADCAST_INFO); passed to
    SFC_SET_BROADCAST_INFO and returned by SFC_GET_BROADCAST_INFO."""
    __module__ = '_ondalis'
    description: 'str'
    originator: 'str'
    originator_reference: 'str'
    origination_date: 'str'
    origination_time: 'str'
    time_reference: 'int'
    version: 'int'
    umid: 'bytes'
    loudness_value: 'int'
    loudness_range: 'int'
    max_true_peak_level: 'int'
    max_momentary_loudness: 'int'
    max_shortterm_loudness: 'int'
    coding_history: 'str'

@dataclass
class SfCartTimer:
    """One post timer of a cart chunk (SF_CART_TIMER)."""
    __module__ = '_ondalis'
    usage: 'str'
    value: 'int'

@dataclass
class SfCartInfo:
    """Cart chunk data (SF_CART_INFO) with up to 8 post timers; passed to
    SFC_SET_CART_INFO and returned by SFC_GET_CART_INFO."""
    __module__ = '_ondalis'
    version: 'str'
    title: 'str'
    artist: 'str'
    cut_id: 'str'
    client_id: 'str'
    category: 'str'
    classification: 'str'
    out_cue: 'str'
    start_date: 'str'
    start_time: 'str'
    end_date: 'str'
    end_time: 'str'
    producer_app_id: 'str'
    producer_app_version: 'str'
    user_def: 'str'
    level_reference: 'int'
    post_timers: 'List[SfCartTimer]'
    url: 'str'
    tag_text: 'str'
)PY";

}  // namespace

void bind_records(PyObject* module) {
  PyObject* ns = PyModule_GetDict(module);
  Ref result = check(PyRun_String(kRecordSource, Py_file_input, ns, ns));
}

}  // namespace ondalis
