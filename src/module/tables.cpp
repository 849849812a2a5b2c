// The name/id lookup tables: for each kind a source tuple of (name, id) rows
// and the two dicts built from it, in row order.
#include <sndfile.h>

#include <span>

#include "../capi/error.hpp"
#include "../capi/convert.hpp"
#include "../commands/command_list.hpp"
#include "constants.hpp"
#include "tables.hpp"

namespace ondalis {
namespace {

using namespace codes;

// A (name, id) row; the commands' rows come from src/commands/command_list.hpp.
using Row = commands::NamedCommand;

constexpr Row kMaxStringLength[] = {{"wav", 2040}, {"wavex", 2040}, {"aiff", 8190}, {"caf", 16370}};

constexpr Row kEncodings[] = {
    {"pcms8", SF_FORMAT_PCM_S8},
    {"pcm16", SF_FORMAT_PCM_16},
    {"pcm24", SF_FORMAT_PCM_24},
    {"pcm32", SF_FORMAT_PCM_32},
    {"pcmu8", SF_FORMAT_PCM_U8},
    {"float32", SF_FORMAT_FLOAT},
    {"float64", SF_FORMAT_DOUBLE},
    {"ulaw", SF_FORMAT_ULAW},
    {"alaw", SF_FORMAT_ALAW},
    {"ima_adpcm", SF_FORMAT_IMA_ADPCM},
    {"ms_adpcm", SF_FORMAT_MS_ADPCM},
    {"gsm610", SF_FORMAT_GSM610},
    {"vox_adpcm", SF_FORMAT_VOX_ADPCM},
    {"nms_adpcm_16", C_SF_FORMAT_NMS_ADPCM_16},
    {"nms_adpcm_24", C_SF_FORMAT_NMS_ADPCM_24},
    {"nms_adpcm_32", C_SF_FORMAT_NMS_ADPCM_32},
    {"g721_32", SF_FORMAT_G721_32},
    {"g723_24", SF_FORMAT_G723_24},
    {"g723_40", SF_FORMAT_G723_40},
    {"dww12", SF_FORMAT_DWVW_12},
    {"dww16", SF_FORMAT_DWVW_16},
    {"dww24", SF_FORMAT_DWVW_24},
    {"dwwN", SF_FORMAT_DWVW_N},
    {"dpcm8", SF_FORMAT_DPCM_8},
    {"dpcm16", SF_FORMAT_DPCM_16},
    {"vorbis", SF_FORMAT_VORBIS},
    {"opus", C_SF_FORMAT_OPUS},
    {"alac16", SF_FORMAT_ALAC_16},
    {"alac20", SF_FORMAT_ALAC_20},
    {"alac24", SF_FORMAT_ALAC_24},
    {"alac32", SF_FORMAT_ALAC_32},
    {"mpeg1", C_SF_FORMAT_MPEG_LAYER_I},
    {"mpeg2", C_SF_FORMAT_MPEG_LAYER_II},
    {"mp3", C_SF_FORMAT_MPEG_LAYER_III},
};

constexpr Row kFileFormats[] = {
    {"wav", SF_FORMAT_WAV},     {"aiff", SF_FORMAT_AIFF},   {"au", SF_FORMAT_AU},
    {"raw", SF_FORMAT_RAW},     {"paf", SF_FORMAT_PAF},     {"svx", SF_FORMAT_SVX},
    {"nist", SF_FORMAT_NIST},   {"voc", SF_FORMAT_VOC},     {"ircam", SF_FORMAT_IRCAM},
    {"wav64", SF_FORMAT_W64},   {"mat4", SF_FORMAT_MAT4},   {"mat5", SF_FORMAT_MAT5},
    {"pvf", SF_FORMAT_PVF},     {"xi", SF_FORMAT_XI},       {"htk", SF_FORMAT_HTK},
    {"sds", SF_FORMAT_SDS},     {"avr", SF_FORMAT_AVR},     {"wavex", SF_FORMAT_WAVEX},
    {"sd2", SF_FORMAT_SD2},     {"flac", SF_FORMAT_FLAC},   {"caf", SF_FORMAT_CAF},
    {"wve", SF_FORMAT_WVE},     {"ogg", SF_FORMAT_OGG},     {"mpck", SF_FORMAT_MPC2K},
    {"rf64", SF_FORMAT_RF64},   {"mpeg", C_SF_FORMAT_MPEG},
};

constexpr Row kEndian[] = {
    {"file", SF_ENDIAN_FILE}, {"little", SF_ENDIAN_LITTLE}, {"big", SF_ENDIAN_BIG},
    {"cpu", SF_ENDIAN_CPU}};

#define ROW(c) {#c, c}

constexpr Row kStringTypes[] = {
    ROW(SF_STR_TITLE),
    ROW(SF_STR_COPYRIGHT),
    ROW(SF_STR_SOFTWARE),
    ROW(SF_STR_ARTIST),
    ROW(SF_STR_COMMENT),
    ROW(SF_STR_DATE),
    {"SF_STR_ALBUM", C_SF_STR_ALBUM},
    {"SF_STR_LICENSE", C_SF_STR_LICENSE},
    {"SF_STR_TRACKNUMBER", C_SF_STR_TRACKNUMBER},
    {"SF_STR_GENRE", C_SF_STR_GENRE},
};

constexpr Row kLoopModes[] = {ROW(SF_LOOP_NONE), ROW(SF_LOOP_FORWARD), ROW(SF_LOOP_BACKWARD),
                              ROW(SF_LOOP_ALTERNATING)};

constexpr Row kChannelMap[] = {
    ROW(SF_CHANNEL_MAP_INVALID),
    ROW(SF_CHANNEL_MAP_MONO),
    ROW(SF_CHANNEL_MAP_LEFT),
    ROW(SF_CHANNEL_MAP_RIGHT),
    ROW(SF_CHANNEL_MAP_CENTER),
    ROW(SF_CHANNEL_MAP_FRONT_LEFT),
    ROW(SF_CHANNEL_MAP_FRONT_RIGHT),
    ROW(SF_CHANNEL_MAP_FRONT_CENTER),
    ROW(SF_CHANNEL_MAP_REAR_CENTER),
    ROW(SF_CHANNEL_MAP_REAR_LEFT),
    ROW(SF_CHANNEL_MAP_REAR_RIGHT),
    ROW(SF_CHANNEL_MAP_LFE),
    ROW(SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER),
    ROW(SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER),
    ROW(SF_CHANNEL_MAP_SIDE_LEFT),
    ROW(SF_CHANNEL_MAP_SIDE_RIGHT),
    ROW(SF_CHANNEL_MAP_TOP_CENTER),
    ROW(SF_CHANNEL_MAP_TOP_FRONT_LEFT),
    ROW(SF_CHANNEL_MAP_TOP_FRONT_RIGHT),
    ROW(SF_CHANNEL_MAP_TOP_FRONT_CENTER),
    ROW(SF_CHANNEL_MAP_TOP_REAR_LEFT),
    ROW(SF_CHANNEL_MAP_TOP_REAR_RIGHT),
    ROW(SF_CHANNEL_MAP_TOP_REAR_CENTER),
    ROW(SF_CHANNEL_MAP_AMBISONIC_B_W),
    ROW(SF_CHANNEL_MAP_AMBISONIC_B_X),
    ROW(SF_CHANNEL_MAP_AMBISONIC_B_Y),
    ROW(SF_CHANNEL_MAP_AMBISONIC_B_Z),
};

constexpr Row kAmbisonic[] = {ROW(SF_AMBISONIC_NONE), ROW(SF_AMBISONIC_B_FORMAT)};

constexpr Row kBitrateModes[] = {
    {"SF_BITRATE_MODE_CONSTANT", C_SF_BITRATE_MODE_CONSTANT},
    {"SF_BITRATE_MODE_AVERAGE", C_SF_BITRATE_MODE_AVERAGE},
    {"SF_BITRATE_MODE_VARIABLE", C_SF_BITRATE_MODE_VARIABLE},
};
#undef ROW

static_assert(std::size(kEncodings) == 34 && std::size(kFileFormats) == 26 &&
              std::size(kStringTypes) == 10 &&
              std::size(kChannelMap) == 27);

struct Table {
  const char* tuple_name;
  const char* name_to_id;
  const char* id_to_name;
  std::span<const Row> rows;
};

constexpr Table kTables[] = {
    {"_encoding_id_tuple", "encoding_name_to_id", "encoding_id_to_name", kEncodings},
    {"_fileformat_id_tuple", "fileformat_name_to_id", "fileformat_id_to_name", kFileFormats},
    {"_endian_to_id_tuple", "endian_name_to_id", "endian_id_to_name", kEndian},
    {"_commands_to_id_tuple", "commands_name_to_id", "commands_id_to_name",
     commands::kCommandNames},
    {"_stringtype_to_id_tuple", "stringtype_name_to_id", "stringtype_id_to_name", kStringTypes},
    {"_loop_to_id_tuple", "loop_name_to_id", "loop_id_to_name", kLoopModes},
    {"_channel_map_to_id_tuple", "channel_map_name_to_id", "channel_map_id_to_name", kChannelMap},
    {"_ambisonic_to_id_tuple", "ambisonic_name_to_id", "ambisonic_id_to_name", kAmbisonic},
    {"_bitrate_mode_to_id_tuple", "bitrate_mode_name_to_id", "bitrate_mode_id_to_name",
     kBitrateModes},
};

void bind(PyObject* module, const char* name, Ref value) {
  check_status(PyModule_AddObjectRef(module, name, value.get()));
}

Ref source_tuple(std::span<const Row> rows) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(rows.size())));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* row = Py_BuildValue("(si)", rows[i].name, rows[i].id);
    if (row == nullptr) fail();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), row);
  }
  return tuple;
}

// dict(tuple), or with `swap` the dict of the (id, name) pairs, in row order.
Ref dict_of(PyObject* tuple, bool swap) {
  Ref dict = check(PyDict_New());
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    PyObject* row = PyTuple_GET_ITEM(tuple, i);
    PyObject* name = PyTuple_GET_ITEM(row, 0);
    PyObject* id = PyTuple_GET_ITEM(row, 1);
    check_status(swap ? PyDict_SetItem(dict.get(), id, name) : PyDict_SetItem(dict.get(), name, id));
  }
  return dict;
}

}  // namespace

void bind_string_length_table(PyObject* module) {
  Ref tuple = source_tuple(kMaxStringLength);
  Ref dict = dict_of(tuple.get(), false);
  bind(module, "_max_supported_string_length_tuple", std::move(tuple));
  bind(module, "max_supported_string_length", std::move(dict));
}

void bind_masks(PyObject* module) {
  bind(module, "SF_FORMAT_SUBMASK", py_int(SF_FORMAT_SUBMASK));
  bind(module, "SF_FORMAT_TYPEMASK", py_int(SF_FORMAT_TYPEMASK));
  bind(module, "SF_FORMAT_ENDMASK", py_int(SF_FORMAT_ENDMASK));
}

void bind_tables(PyObject* module) {
  for (const Table& t : kTables) {
    Ref tuple = source_tuple(t.rows);
    bind(module, t.tuple_name, Ref::borrow(tuple.get()));
    bind(module, t.name_to_id, dict_of(tuple.get(), false));
    bind(module, t.id_to_name, dict_of(tuple.get(), true));
  }
}

}  // namespace ondalis
