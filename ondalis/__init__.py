"""ondalis: read and write sound files through libsndfile, with numpy arrays.

The extension module's public names (Ondalis, the lookup tables, the record
classes, the catalogue functions) are re-exported here, with helpers for the
common jobs: read, write, info, metadata, blocks, chunk_data, convert and check.
"""
try:
    from . import _ondalis
except ImportError as error:
    from importlib.util import find_spec

    if find_spec(__name__ + "._ondalis") is not None:
        raise  # built, but it cannot load: that error says why
    raise ImportError(
        f"ondalis is imported from {__path__[0]}, where its extension modules are not "
        "built (a source checkout?): install it with `make install` or `pip install .`, "
        "and run Python from outside the source folder") from None
from ._version import __version__
from ._api import SndfileError, SoundInfo, blocks, chunk_data, info, metadata, read, write
from ._check import CheckResult, check
from ._convert import Converted, convert
from ._ondalis import (
    SF_FORMAT_ENDMASK, SF_FORMAT_SUBMASK, SF_FORMAT_TYPEMASK, SF_MAX_CHANNELS, Ondalis,
    SfBroadcastInfo, SfCartInfo, SfCartTimer, SfCuePoint, SfDitherInfo, SfEmbedFileInfo,
    SfFormatInfo, SfInfo, SfInstrument, SfInstrumentLoop, SfLoopInfo, ambisonic_id_to_name,
    ambisonic_name_to_id, bitrate_mode_id_to_name, bitrate_mode_name_to_id,
    channel_map_id_to_name, channel_map_name_to_id, commands_id_to_name, commands_name_to_id,
    construct_format, encoding_id_to_name, encoding_name_to_id, endian_id_to_name,
    endian_name_to_id, fileformat_id_to_name, fileformat_name_to_id, get_ondalis_version,
    get_sf_log, get_sndfile_encodings, get_sndfile_formats, get_sndfile_version,
    loop_id_to_name, loop_name_to_id, max_supported_string_length, stringtype_id_to_name,
    stringtype_name_to_id)

__all__ = [
    "CheckResult", "Converted", "SndfileError", "SoundInfo", "blocks", "check", "chunk_data", "convert",
    "info", "metadata", "read", "write",
    "__version__",
    "SF_FORMAT_ENDMASK", "SF_FORMAT_SUBMASK", "SF_FORMAT_TYPEMASK", "SF_MAX_CHANNELS",
    "Ondalis", "SfBroadcastInfo", "SfCartInfo", "SfCartTimer", "SfCuePoint", "SfDitherInfo",
    "SfEmbedFileInfo", "SfFormatInfo", "SfInfo", "SfInstrument", "SfInstrumentLoop",
    "SfLoopInfo", "ambisonic_id_to_name", "ambisonic_name_to_id", "bitrate_mode_id_to_name",
    "bitrate_mode_name_to_id", "channel_map_id_to_name", "channel_map_name_to_id",
    "commands_id_to_name", "commands_name_to_id", "construct_format", "encoding_id_to_name",
    "encoding_name_to_id", "endian_id_to_name", "endian_name_to_id", "fileformat_id_to_name",
    "fileformat_name_to_id", "get_ondalis_version", "get_sf_log", "get_sndfile_encodings",
    "get_sndfile_formats", "get_sndfile_version", "loop_id_to_name", "loop_name_to_id",
    "max_supported_string_length", "stringtype_id_to_name", "stringtype_name_to_id",
]
