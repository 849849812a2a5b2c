// Every libsndfile command the module knows, written once, in the order of
// commands_name_to_id. Each row names the command, says whether libsndfile
// answers it without a file (null_handle) and gives the dispatcher's action
// (src/commands/dispatch.cpp); the lookup tables (src/module/tables.cpp) take
// the names and ids from the same rows and ignore the rest.
//
// ONDALIS_COMMANDS(SF, LATE) expands SF(name, null_handle, action...) for a
// command that sndfile.h defines and LATE(name, null_handle, action...) for
// one that only newer libsndfile versions define, whose id is then
// codes::C_<name> (src/module/constants.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "../module/constants.hpp"

// clang-format off
#define ONDALIS_COMMANDS(SF, LATE)                                              \
  SF(SFC_GET_LIB_VERSION, true, pass_command_null_handle<kStringOut>)           \
  SF(SFC_GET_LOG_INFO, false, pass_command_null_handle<kStringOut>)             \
  SF(SFC_GET_CURRENT_SF_INFO, false, current_info)                              \
  SF(SFC_GET_NORM_DOUBLE, false, get_setting)                                   \
  SF(SFC_GET_NORM_FLOAT, false, get_setting)                                    \
  SF(SFC_SET_NORM_DOUBLE, false, bool_set<false, false>)                        \
  SF(SFC_SET_NORM_FLOAT, false, bool_set<false, false>)                         \
  SF(SFC_SET_SCALE_FLOAT_INT_READ, false, bool_set<false, false>)               \
  SF(SFC_SET_SCALE_INT_FLOAT_WRITE, false, bool_set<false, false>)              \
  SF(SFC_GET_SIMPLE_FORMAT_COUNT, true, int_get<false>)                         \
  SF(SFC_GET_SIMPLE_FORMAT, true, pass_command_arg<kFormatGet>)                 \
  SF(SFC_GET_FORMAT_INFO, true, pass_command_arg<kFormatGet>)                   \
  SF(SFC_GET_FORMAT_MAJOR_COUNT, true, int_get<false>)                          \
  SF(SFC_GET_FORMAT_MAJOR, true, pass_command_arg<kFormatGet>)                  \
  SF(SFC_GET_FORMAT_SUBTYPE_COUNT, true, int_get<false>)                        \
  SF(SFC_GET_FORMAT_SUBTYPE, true, pass_command_arg<kFormatGet>)                \
  SF(SFC_CALC_SIGNAL_MAX, false, pass_command_flag<kDoubleGet, false>)          \
  SF(SFC_CALC_NORM_SIGNAL_MAX, false, pass_command_flag<kDoubleGet, false>)     \
  SF(SFC_CALC_MAX_ALL_CHANNELS, false, pass_command_flag<kDoubleChannelGet, false>) \
  SF(SFC_CALC_NORM_MAX_ALL_CHANNELS, false, pass_command_flag<kDoubleChannelGet, false>) \
  SF(SFC_GET_SIGNAL_MAX, false, pass_command_flag<kDoubleGet, true>)            \
  SF(SFC_GET_MAX_ALL_CHANNELS, false, pass_command_flag<kDoubleChannelGet, true>) \
  SF(SFC_SET_ADD_PEAK_CHUNK, false, bool_set<true, false>)                      \
  SF(SFC_SET_ADD_HEADER_PAD_CHUNK, false, bool_set<true, false>)                \
  SF(SFC_UPDATE_HEADER_NOW, false, update_header)                               \
  SF(SFC_SET_UPDATE_HEADER_AUTO, false, bool_set<true, false>)                  \
  SF(SFC_FILE_TRUNCATE, false, pass_command_arg_flag<kCountSet, false>)         \
  SF(SFC_SET_RAW_START_OFFSET, false, pass_command_arg_flag<kCountSet, true>)   \
  SF(SFC_SET_DITHER_ON_WRITE, false, pass_command_arg<kDitherSet>)              \
  SF(SFC_SET_DITHER_ON_READ, false, pass_command_arg<kDitherSet>)               \
  SF(SFC_GET_DITHER_INFO_COUNT, false, int_get<false>)                          \
  SF(SFC_GET_DITHER_INFO, false, pass_command<kDitherGet>)                      \
  SF(SFC_GET_EMBED_FILE_INFO, false, pass_command<kEmbedGet>)                   \
  SF(SFC_SET_CLIPPING, false, bool_set<true, false>)                            \
  SF(SFC_GET_CLIPPING, false, get_setting)                                      \
  SF(SFC_GET_CUE_COUNT, false, pass_command<kUint32Get>)                        \
  SF(SFC_GET_CUE, false, pass_command<kCueGet>)                                 \
  SF(SFC_SET_CUE, false, pass_command_arg<kCueSet>)                             \
  SF(SFC_GET_INSTRUMENT, false, pass_command<kInstrumentGet>)                   \
  SF(SFC_SET_INSTRUMENT, false, pass_command_arg<kInstrumentSet>)               \
  SF(SFC_GET_LOOP_INFO, false, pass_command<kLoopGet>)                          \
  SF(SFC_GET_BROADCAST_INFO, false, pass_command<kBroadcastGet>)                \
  SF(SFC_SET_BROADCAST_INFO, false, pass_command_arg<kBroadcastSet>)            \
  SF(SFC_GET_CHANNEL_MAP_INFO, false, pass_command<kChannelMapGet>)             \
  SF(SFC_SET_CHANNEL_MAP_INFO, false, pass_command_arg<kChannelMapSet>)         \
  SF(SFC_RAW_DATA_NEEDS_ENDSWAP, false, get_setting)                            \
  SF(SFC_WAVEX_SET_AMBISONIC, false, ambisonic_set)                             \
  SF(SFC_WAVEX_GET_AMBISONIC, false, ambisonic_get)                             \
  SF(SFC_RF64_AUTO_DOWNGRADE, false, bool_set<true, false>)                     \
  SF(SFC_SET_VBR_ENCODING_QUALITY, false, double_set<0, 1, true>)               \
  SF(SFC_SET_COMPRESSION_LEVEL, false, double_set<0, 1, true>)                  \
  SF(SFC_SET_CART_INFO, false, pass_command_arg<kCartSet>)                      \
  SF(SFC_GET_CART_INFO, false, pass_command<kCartGet>)                          \
  LATE(SFC_SET_OGG_PAGE_LATENCY_MS, false, double_set<50, 1600, false>)         \
  LATE(SFC_SET_OGG_PAGE_LATENCY, false, double_set<50, 1600, false>)            \
  LATE(SFC_GET_OGG_STREAM_SERIALNO, false, pass_command<kInt32Get>)             \
  LATE(SFC_GET_BITRATE_MODE, false, bitrate_get)                                \
  LATE(SFC_SET_BITRATE_MODE, false, pass_command_arg<kBitrateSet>)              \
  LATE(SFC_SET_ORIGINAL_SAMPLERATE, false, pass_command_arg<kIntSet>)           \
  LATE(SFC_GET_ORIGINAL_SAMPLERATE, false, int_get<true>)                       \
  SF(SFC_TEST_IEEE_FLOAT_REPLACE, false, bool_set<false, true>)                 \
  SF(SFC_SET_ADD_DITHER_ON_WRITE, false, add_dither)                            \
  SF(SFC_SET_ADD_DITHER_ON_READ, false, add_dither)
// clang-format on

// The name and id of each command, in list order: the view both the lookup
// tables and the dispatcher's checks are built from.
#define ONDALIS_COMMAND_NAME_ID(name, ...) {#name, name},
#define ONDALIS_LATE_COMMAND_NAME_ID(name, ...) {#name, ::ondalis::codes::C_##name},

namespace ondalis::commands {

struct NamedCommand {
  const char* name;
  int id;
};

// Whether no two rows share a name or an id (the list is small: every pair).
template <std::size_t N>
constexpr bool names_and_ids_unique(const std::array<NamedCommand, N>& rows) {
  for (std::size_t i = 0; i < N; ++i)
    for (std::size_t j = i + 1; j < N; ++j)
      if (rows[i].id == rows[j].id ||
          std::string_view(rows[i].name) == std::string_view(rows[j].name))
        return false;
  return true;
}

inline constexpr auto kCommandNames = std::to_array<NamedCommand>(
    {ONDALIS_COMMANDS(ONDALIS_COMMAND_NAME_ID, ONDALIS_LATE_COMMAND_NAME_ID)});
static_assert(kCommandNames.size() == 63);
static_assert(names_and_ids_unique(kCommandNames));

}  // namespace ondalis::commands
