// The eleven metadata record classes, each described once: its name, its
// docstring and its fields (name and annotation) in order. The classes are
// made from these descriptions (src/module/records.cpp), the command handlers
// build and read records through them (RecordKind in
// src/commands/handlers.hpp, which checks every field name it is given at
// compile time), and a test compares them with ondalis/_ondalis.pyi.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace ondalis::records {

struct Field {
  const char* name;
  const char* type;  // the annotation, as the class statement writes it
};

struct RecordClass {
  const char* name;
  const char* doc;  // the docstring, continuation lines indented as in a class body
  std::span<const Field> fields;
};

// The index of the field called `field`, or the field count when there is none.
constexpr std::size_t find_field(const RecordClass& record, std::string_view field) {
  for (std::size_t i = 0; i < record.fields.size(); ++i)
    if (std::string_view(record.fields[i].name) == field) return i;
  return record.fields.size();
}

inline constexpr Field kInfoFields[] = {
    {"frames", "int"},
    {"samplerate", "int"},
    {"channels", "int"},
    {"format", "int"},
    {"sections", "int"},
    {"seekable", "int"},
};

inline constexpr RecordClass kInfo{
    "SfInfo",
    "Description of an open file's format (SF_INFO); returned by the command\n"
    "    SFC_GET_CURRENT_SF_INFO.",
    kInfoFields};

inline constexpr Field kFormatInfoFields[] = {
    {"format", "int"},
    {"name", "str"},
    {"extension", "str"},
};

inline constexpr RecordClass kFormatInfo{
    "SfFormatInfo",
    "A format libsndfile supports (SF_FORMAT_INFO); returned by the commands\n"
    "    SFC_GET_SIMPLE_FORMAT, SFC_GET_FORMAT_MAJOR, SFC_GET_FORMAT_SUBTYPE and\n"
    "    SFC_GET_FORMAT_INFO.",
    kFormatInfoFields};

inline constexpr Field kDitherInfoFields[] = {
    {"type", "int"},
    {"level", "float"},
    {"name", "str"},
};

inline constexpr RecordClass kDitherInfo{
    "SfDitherInfo",
    "Dither settings (SF_DITHER_INFO); passed to SFC_SET_DITHER_ON_WRITE and\n"
    "    SFC_SET_DITHER_ON_READ, returned by SFC_GET_DITHER_INFO.",
    kDitherInfoFields};

inline constexpr Field kEmbedFileInfoFields[] = {
    {"offset", "int"},
    {"length", "int"},
};

inline constexpr RecordClass kEmbedFileInfo{
    "SfEmbedFileInfo",
    "Position of an audio file embedded in a larger file (SF_EMBED_FILE_INFO);\n"
    "    returned by SFC_GET_EMBED_FILE_INFO.",
    kEmbedFileInfoFields};

inline constexpr Field kCuePointFields[] = {
    {"indx", "int"},
    {"position", "int"},
    {"fcc_chunk", "int"},
    {"chunk_start", "int"},
    {"block_start", "int"},
    {"sample_offset", "int"},
    {"name", "str"},
};

inline constexpr RecordClass kCuePoint{
    "SfCuePoint",
    "One cue marker (SF_CUE_POINT); lists of them are passed to SFC_SET_CUE\n"
    "    and returned by SFC_GET_CUE.",
    kCuePointFields};

inline constexpr Field kInstrumentLoopFields[] = {
    {"mode", "str"},
    {"start", "int"},
    {"end", "int"},
    {"count", "int"},
};

inline constexpr RecordClass kInstrumentLoop{
    "SfInstrumentLoop",
    "One loop of an instrument (a loop entry of SF_INSTRUMENT); mode is a\n"
    "    key of loop_name_to_id.",
    kInstrumentLoopFields};

inline constexpr Field kInstrumentFields[] = {
    {"gain", "int"},
    {"basenote", "int"},
    {"detune", "int"},
    {"velocity_lo", "int"},
    {"velocity_hi", "int"},
    {"key_lo", "int"},
    {"key_hi", "int"},
    {"loops", "List[SfInstrumentLoop]"},
};

inline constexpr RecordClass kInstrument{
    "SfInstrument",
    "Instrument data (SF_INSTRUMENT) with up to 16 loops; passed to\n"
    "    SFC_SET_INSTRUMENT and returned by SFC_GET_INSTRUMENT.",
    kInstrumentFields};

inline constexpr Field kLoopInfoFields[] = {
    {"time_sig_num", "int"},
    {"time_sig_den", "int"},
    {"loop_mode", "str"},
    {"num_beats", "int"},
    {"bpm", "float"},
    {"root_key", "int"},
    {"future", "List[int]"},
};

inline constexpr RecordClass kLoopInfo{
    "SfLoopInfo",
    "Loop information (SF_LOOP_INFO); returned by SFC_GET_LOOP_INFO.",
    kLoopInfoFields};

inline constexpr Field kBroadcastInfoFields[] = {
    {"description", "str"},
    {"originator", "str"},
    {"originator_reference", "str"},
    {"origination_date", "str"},
    {"origination_time", "str"},
    {"time_reference", "int"},
    {"version", "int"},
    {"umid", "bytes"},
    {"loudness_value", "int"},
    {"loudness_range", "int"},
    {"max_true_peak_level", "int"},
    {"max_momentary_loudness", "int"},
    {"max_shortterm_loudness", "int"},
    {"coding_history", "str"},
};

inline constexpr RecordClass kBroadcastInfo{
    "SfBroadcastInfo",
    "Broadcast extension (EBU bext) data (SF_BROADCAST_INFO); passed to\n"
    "    SFC_SET_BROADCAST_INFO and returned by SFC_GET_BROADCAST_INFO.",
    kBroadcastInfoFields};

inline constexpr Field kCartTimerFields[] = {
    {"usage", "str"},
    {"value", "int"},
};

inline constexpr RecordClass kCartTimer{
    "SfCartTimer",
    "One post timer of a cart chunk (SF_CART_TIMER).",
    kCartTimerFields};

inline constexpr Field kCartInfoFields[] = {
    {"version", "str"},
    {"title", "str"},
    {"artist", "str"},
    {"cut_id", "str"},
    {"client_id", "str"},
    {"category", "str"},
    {"classification", "str"},
    {"out_cue", "str"},
    {"start_date", "str"},
    {"start_time", "str"},
    {"end_date", "str"},
    {"end_time", "str"},
    {"producer_app_id", "str"},
    {"producer_app_version", "str"},
    {"user_def", "str"},
    {"level_reference", "int"},
    {"post_timers", "List[SfCartTimer]"},
    {"url", "str"},
    {"tag_text", "str"},
};

inline constexpr RecordClass kCartInfo{
    "SfCartInfo",
    "Cart chunk data (SF_CART_INFO) with up to 8 post timers; passed to\n"
    "    SFC_SET_CART_INFO and returned by SFC_GET_CART_INFO.",
    kCartInfoFields};

// In the order the module defines them.
inline constexpr const RecordClass* kAll[] = {
    &kInfo,
    &kFormatInfo,
    &kDitherInfo,
    &kEmbedFileInfo,
    &kCuePoint,
    &kInstrumentLoop,
    &kInstrument,
    &kLoopInfo,
    &kBroadcastInfo,
    &kCartTimer,
    &kCartInfo,
};

}  // namespace ondalis::records
