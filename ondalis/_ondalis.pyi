"""Type stubs for the extension module ondalis._ondalis (also importable as _ondalis)."""
import os as _os
import types
import warnings as warnings
from dataclasses import dataclass as dataclass
from typing import (Any, Dict, List as List, Mapping, Optional, Sequence, Tuple, Type, TypeVar,
                    Union, overload)

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

os: types.ModuleType

_PathLike = Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]
_Array = npt.NDArray[Any]
# The element types read_frames reads into besides the default float64.
_Sample = TypeVar("_Sample", np.float32, np.int32, np.int16)

_ondalis_version: Tuple[int, ...]
_max_supported_string_length_tuple: Tuple[Tuple[str, int], ...]
max_supported_string_length: Dict[str, int]
SF_MAX_CHANNELS: int
SF_FORMAT_SUBMASK: int
SF_FORMAT_TYPEMASK: int
SF_FORMAT_ENDMASK: int

_encoding_id_tuple: Tuple[Tuple[str, int], ...]
encoding_name_to_id: Dict[str, int]
encoding_id_to_name: Dict[int, str]
_fileformat_id_tuple: Tuple[Tuple[str, int], ...]
fileformat_name_to_id: Dict[str, int]
fileformat_id_to_name: Dict[int, str]
_endian_to_id_tuple: Tuple[Tuple[str, int], ...]
endian_name_to_id: Dict[str, int]
endian_id_to_name: Dict[int, str]
_commands_to_id_tuple: Tuple[Tuple[str, int], ...]
commands_name_to_id: Dict[str, int]
commands_id_to_name: Dict[int, str]
_stringtype_to_id_tuple: Tuple[Tuple[str, int], ...]
stringtype_name_to_id: Dict[str, int]
stringtype_id_to_name: Dict[int, str]
_loop_to_id_tuple: Tuple[Tuple[str, int], ...]
loop_name_to_id: Dict[str, int]
loop_id_to_name: Dict[int, str]
_channel_map_to_id_tuple: Tuple[Tuple[str, int], ...]
channel_map_name_to_id: Dict[str, int]
channel_map_id_to_name: Dict[int, str]
_ambisonic_to_id_tuple: Tuple[Tuple[str, int], ...]
ambisonic_name_to_id: Dict[str, int]
ambisonic_id_to_name: Dict[int, str]
_bitrate_mode_to_id_tuple: Tuple[Tuple[str, int], ...]
bitrate_mode_name_to_id: Dict[str, int]
bitrate_mode_id_to_name: Dict[int, str]

@dataclass
class SfInfo:
    frames: int
    samplerate: int
    channels: int
    format: int
    sections: int
    seekable: int

@dataclass
class SfFormatInfo:
    format: int
    name: str
    extension: str

@dataclass
class SfDitherInfo:
    type: int
    level: float
    name: str

@dataclass
class SfEmbedFileInfo:
    offset: int
    length: int

@dataclass
class SfCuePoint:
    indx: int
    position: int
    fcc_chunk: int
    chunk_start: int
    block_start: int
    sample_offset: int
    name: str

@dataclass
class SfInstrumentLoop:
    mode: str
    start: int
    end: int
    count: int

@dataclass
class SfInstrument:
    gain: int
    basenote: int
    detune: int
    velocity_lo: int
    velocity_hi: int
    key_lo: int
    key_hi: int
    loops: List[SfInstrumentLoop]

@dataclass
class SfLoopInfo:
    time_sig_num: int
    time_sig_den: int
    loop_mode: str
    num_beats: int
    bpm: float
    root_key: int
    future: List[int]

@dataclass
class SfBroadcastInfo:
    description: str
    originator: str
    originator_reference: str
    origination_date: str
    origination_time: str
    time_reference: int
    version: int
    umid: bytes
    loudness_value: int
    loudness_range: int
    max_true_peak_level: int
    max_momentary_loudness: int
    max_shortterm_loudness: int
    coding_history: str

@dataclass
class SfCartTimer:
    usage: str
    value: int

@dataclass
class SfCartInfo:
    version: str
    title: str
    artist: str
    cut_id: str
    client_id: str
    category: str
    classification: str
    out_cue: str
    start_date: str
    start_time: str
    end_date: str
    end_time: str
    producer_app_id: str
    producer_app_version: str
    user_def: str
    level_reference: int
    post_timers: List[SfCartTimer]
    url: str
    tag_text: str

def _raise_command_retcode_error(ret: Any, command: Any) -> None: ...
def _check_command_retcode(ret: Any, command: Any) -> None: ...
def _check_command_retval(ret: Any, command: Any, failure: Any) -> Any: ...
def _check_command_hybrid_retval(ret: Any, command: Any) -> None: ...
def _check_char_range(value: Any, command: Any, field: Any) -> Any: ...
def _check_int16_range(value: Any, command: Any, field: Any) -> Any: ...
def _check_int32_range(value: Any, command: Any, field: Any) -> Any: ...
def get_ondalis_version() -> Tuple[int, ...]: ...
def get_sndfile_version() -> Tuple[int, int, int, int]: ...
def get_sndfile_encodings(major: Union[str, int]) -> List[str]: ...
def get_sf_log() -> str: ...
def get_sndfile_formats() -> List[str]: ...
def construct_format(major: str, encoding: str) -> int: ...

@disjoint_base
class Ondalis:
    def __new__(cls, filename: Union[_PathLike, int], mode: str = "r", format: int = 0,
                channels: int = 0, samplerate: int = 0, *args: Any, **kwargs: Any) -> "Ondalis": ...
    def close(self) -> None: ...
    def __enter__(self) -> "Ondalis": ...
    def __exit__(self, *args: Any) -> None: ...
    def get_name(self) -> bytes: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any) -> None: ...
    def frames(self) -> int: ...
    def format(self) -> int: ...
    def channels(self) -> int: ...
    def samplerate(self) -> int: ...
    def seekable(self) -> int: ...
    def error(self) -> int: ...
    def strError(self) -> bytes: ...
    def major_format_str(self) -> str: ...
    def encoding_str(self) -> str: ...
    # numpy's scalar types are not final, so a checker takes float64 and the
    # others to overlap (a class might derive from both); they do not.
    @overload
    def read_frames(  # type: ignore[overload-overlap]
                    self, nframes: int = -1, dtype: Type[np.float64] = ...,
                    force_2d: bool = False, fill_value: Any = None,
                    min_read: Any = 0) -> npt.NDArray[np.float64]: ...
    @overload
    def read_frames(self, nframes: int, dtype: Type[_Sample], force_2d: bool = False,
                    fill_value: Any = None, min_read: Any = 0) -> npt.NDArray[_Sample]: ...
    @overload
    def read_frames(self, nframes: int = -1, *, dtype: Type[_Sample], force_2d: bool = False,
                    fill_value: Any = None, min_read: Any = 0) -> npt.NDArray[_Sample]: ...
    @overload
    def read_frames(self, nframes: int = -1, dtype: np.dtype[Any] = ..., force_2d: bool = False,
                    fill_value: Any = None, min_read: Any = 0) -> _Array: ...
    def write_frames(self, input: _Array) -> int: ...
    def seek(self, offset: int, whence: int = 0, mode: str = "rw") -> int: ...
    def rewind(self, mode: str = "rw") -> int: ...
    def writeSync(self) -> None: ...
    def get_strings(self) -> Dict[str, bytes]: ...
    def set_string(self, stringtype_name: str, string: Union[bytes, bytearray]) -> None: ...
    def set_strings(self, sf_strings_dict: Mapping[str, Union[bytes, bytearray]]) -> None: ...
    def set_chunk(self, id: Union[str, bytes], data: Union[bytes, bytearray, memoryview]) -> None: ...
    def get_cue_count(self) -> int: ...
    def get_cue_mrks(self) -> List[Tuple[int, str]]: ...
    def set_auto_clipping(self, arg: Any = True) -> int: ...
    def set_compression_level(self, level: float) -> int: ...
    def command(self, command: Union[str, int], arg: Any = 0) -> Any: ...
    def _string_out_command(self, command: int, null_handle: Any) -> str: ...
    def _int_get_command(self, command: int, null_handle: Any, return_is_hybrid: Any) -> int: ...
    def _int32_get_command(self, command: int) -> int: ...
    def _uint32_get_command(self, command: int) -> int: ...
    def _int_set_command(self, command: int, arg: Any) -> None: ...
    def _bool_set_command(self, command: int, arg: Any, compare_return: Any,
                          check_retcode: Any) -> Optional[int]: ...
    def _double_get_command(self, command: int, is_optional: Any) -> Optional[float]: ...
    def _double_channel_get_command(self, command: int, is_optional: Any) -> Optional[_Array]: ...
    def _double_set_command(self, command: int, arg: Any, valid_range: Sequence[float],
                            return_is_hybrid: Any) -> None: ...
    def _sf_count_set_command(self, command: int, arg: Any, is_retcode: Any) -> None: ...
    def _bitrate_set_command(self, command: int, arg: str) -> None: ...
    def _format_get_command(self, command: int, arg: Any) -> SfFormatInfo: ...
    def _get_current_sf_info(self) -> SfInfo: ...
    def _dither_get_command(self, command: int) -> SfDitherInfo: ...
    def _dither_set_command(self, command: int, arg: SfDitherInfo) -> None: ...
    def _embed_get_command(self, command: int) -> SfEmbedFileInfo: ...
    def _cue_get_command(self, command: int) -> List[SfCuePoint]: ...
    def _cue_set_command(self, command: int, arg: Sequence[SfCuePoint]) -> None: ...
    def _instrument_get_command(self, command: int) -> Optional[SfInstrument]: ...
    def _instrument_set_command(self, command: int, arg: SfInstrument) -> None: ...
    def _loop_get_command(self, command: int) -> Optional[SfLoopInfo]: ...
    def _broadcast_get_command(self, command: int) -> Optional[SfBroadcastInfo]: ...
    def _broadcast_set_command(self, command: int, arg: SfBroadcastInfo) -> None: ...
    def _cart_get_command(self, command: int) -> Optional[SfCartInfo]: ...
    def _cart_set_command(self, command: int, arg: SfCartInfo) -> None: ...
    def _channel_map_get_command(self, command: int) -> Optional[List[str]]: ...
    def _channel_map_set_command(self, command: int, arg: Sequence[str]) -> None: ...
