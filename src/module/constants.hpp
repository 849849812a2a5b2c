// libsndfile codes that only newer libsndfile versions define, fixed here so
// that the module builds against headers that lack them.
#pragma once

namespace ondalis::codes {

inline constexpr int C_SF_FORMAT_MPEG = 0x230000;
inline constexpr int C_SF_FORMAT_NMS_ADPCM_16 = 0x22;
inline constexpr int C_SF_FORMAT_NMS_ADPCM_24 = 0x23;
inline constexpr int C_SF_FORMAT_NMS_ADPCM_32 = 0x24;
inline constexpr int C_SF_FORMAT_OPUS = 0x64;
inline constexpr int C_SF_FORMAT_MPEG_LAYER_I = 0x80;
inline constexpr int C_SF_FORMAT_MPEG_LAYER_II = 0x81;
inline constexpr int C_SF_FORMAT_MPEG_LAYER_III = 0x82;
inline constexpr int C_SFC_SET_OGG_PAGE_LATENCY_MS = 0x1302;
inline constexpr int C_SFC_SET_OGG_PAGE_LATENCY = 0x1303;
inline constexpr int C_SFC_GET_BITRATE_MODE = 0x1304;
inline constexpr int C_SFC_SET_BITRATE_MODE = 0x1305;
inline constexpr int C_SFC_GET_OGG_STREAM_SERIALNO = 0x1306;
inline constexpr int C_SFC_SET_ORIGINAL_SAMPLERATE = 0x1500;
inline constexpr int C_SFC_GET_ORIGINAL_SAMPLERATE = 0x1501;
inline constexpr int C_SF_STR_ALBUM = 7;
inline constexpr int C_SF_STR_LICENSE = 8;
inline constexpr int C_SF_STR_TRACKNUMBER = 9;
inline constexpr int C_SF_STR_GENRE = 0x10;
inline constexpr int C_SF_BITRATE_MODE_CONSTANT = 0;
inline constexpr int C_SF_BITRATE_MODE_AVERAGE = 1;
inline constexpr int C_SF_BITRATE_MODE_VARIABLE = 2;

}  // namespace ondalis::codes
