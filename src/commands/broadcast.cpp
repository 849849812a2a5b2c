// Broadcast extension (bext) commands: SF_BROADCAST_INFO to and from the
// SfBroadcastInfo record. The coding history is a trailing text: up to 255
// bytes fit the declared 864-byte structure, longer ones travel in an
// exactly sized structure with the same layout.
#include <sndfile.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "handlers.hpp"
#include "textfields.hpp"

namespace ondalis {
namespace {

static_assert(sizeof(SF_BROADCAST_INFO) == 864);
static_assert(offsetof(SF_BROADCAST_INFO, time_reference_low) == 340);
static_assert(offsetof(SF_BROADCAST_INFO, version) == 348);
static_assert(offsetof(SF_BROADCAST_INFO, umid) == 350);
static_assert(offsetof(SF_BROADCAST_INFO, loudness_value) == 414);
static_assert(offsetof(SF_BROADCAST_INFO, reserved) == 424);
static_assert(offsetof(SF_BROADCAST_INFO, coding_history_size) == 604);
static_assert(offsetof(SF_BROADCAST_INFO, coding_history) == 608);

constexpr text::TrailingLayout kLayout{sizeof(SF_BROADCAST_INFO),
                                       offsetof(SF_BROADCAST_INFO, coding_history_size),
                                       offsetof(SF_BROADCAST_INFO, coding_history)};

using BroadcastInfo = commands::RecordKind<records::kBroadcastInfo>;

constexpr const char* kSecondCall =
    "Ondalis::error:: second call to {0} for extended coding history failed, this should not "
    "happen";
constexpr const char* kUmidTooLong =
    "Ondalis::error:: umid is too long ({0}) in {1}, maximum length is 64";
constexpr const char* kUmidItem =
    "Ondalis::error:: umid item {0} value {1} in {2} is not a byte value (0-255)";

// The text fields before the time reference, in structure order.
constexpr commands::TextMember kTextMembers[] = {
    ONDALIS_TEXT_MEMBER(SF_BROADCAST_INFO, description),
    ONDALIS_TEXT_MEMBER(SF_BROADCAST_INFO, originator),
    ONDALIS_TEXT_MEMBER(SF_BROADCAST_INFO, originator_reference),
    ONDALIS_TEXT_MEMBER(SF_BROADCAST_INFO, origination_date),
    ONDALIS_TEXT_MEMBER(SF_BROADCAST_INFO, origination_time),
};
static_assert(commands::all_fields<records::kBroadcastInfo>(kTextMembers));

// The range-checked int16 loudness members, in structure order.
struct LoudnessMember {
  const char* name;
  int16_t SF_BROADCAST_INFO::* member;
};
constexpr LoudnessMember kLoudnessMembers[] = {
    {"loudness_value", &SF_BROADCAST_INFO::loudness_value},
    {"loudness_range", &SF_BROADCAST_INFO::loudness_range},
    {"max_true_peak_level", &SF_BROADCAST_INFO::max_true_peak_level},
    {"max_momentary_loudness", &SF_BROADCAST_INFO::max_momentary_loudness},
    {"max_shortterm_loudness", &SF_BROADCAST_INFO::max_shortterm_loudness},
};
static_assert(commands::all_fields<records::kBroadcastInfo>(kLoudnessMembers));

// The record of the fixed members; the coding history is set later.
Ref broadcast_record(const SF_BROADCAST_INFO& info) {
  using B = BroadcastInfo;
  uint64_t time_reference = (uint64_t{info.time_reference_high} << 32) | info.time_reference_low;
  B::Values values;
  for (const commands::TextMember& m : kTextMembers)
    values[B::find(m.name)] = commands::read_text_member(&info, m);
  values[B::index("time_reference")] = py_uint(time_reference);
  values[B::index("version")] = py_int(info.version);
  values[B::index("umid")] = py_bytes(info.umid, sizeof info.umid);
  for (const LoudnessMember& m : kLoudnessMembers) values[B::find(m.name)] = py_int(info.*m.member);
  values[B::index("coding_history")] = py_none();
  return B::build(values);
}

Ref broadcast_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_broadcast_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  open_file(self);
  return commands::get_with_trailing_text<SF_BROADCAST_INFO>(
      self, command, kLayout, broadcast_record, ONDALIS_FIELD(BroadcastInfo, "coding_history"),
      kSecondCall);
}

// The umid member from a bytes-like sequence of at most 64 byte values; a
// false umid leaves the member zero.
void fill_umid(SF_BROADCAST_INFO& info, PyObject* umid, PyObject* command) {
  if (!truth(umid)) return;
  Py_ssize_t m = length(umid);
  if (m > static_cast<Py_ssize_t>(sizeof info.umid)) {
    Ref name = commands::command_name(command);
    raise_format(PyExc_RuntimeError, kUmidTooLong, m, name);
  }
  if (PyBytes_Check(umid)) {
    std::memcpy(info.umid, PyBytes_AS_STRING(umid), m);
    return;
  }
  Ref low = py_int(0);
  Ref high = py_int(255);
  for (Py_ssize_t i = 0; i < m; ++i) {
    Ref byte = as_pylong(item(umid, i).get());
    if (less(byte.get(), low.get()) || greater(byte.get(), high.get())) {
      Ref name = commands::command_name(command);
      raise_format(PyExc_ValueError, kUmidItem, i, byte, name);
    }
    info.umid[i] = static_cast<char>(PyLong_AsLong(byte.get()));
  }
}

// The fixed members of the structure, in structure order.
void fill_fixed_members(SF_BROADCAST_INFO& info, PyObject* arg, PyObject* command) {
  commands::assign_text_members(&info, kTextMembers, arg, command);
  using B = BroadcastInfo;
  uint64_t time_reference =
      to_uint64(attr(arg, ONDALIS_FIELD(B, "time_reference")).get(), "uint64_t");
  info.time_reference_low = static_cast<uint32_t>(time_reference);
  info.time_reference_high = static_cast<uint32_t>(time_reference >> 32);
  info.version = to_int16(attr(arg, ONDALIS_FIELD(B, "version")).get(), "short");
  fill_umid(info, attr(arg, ONDALIS_FIELD(B, "umid")).get(), command);
  for (const LoudnessMember& m : kLoudnessMembers) {
    Ref value = attr(arg, m.name);
    Ref checked = commands::check_int16_range(value.get(), command, m.name);
    info.*m.member = to_int16(checked.get(), "short");
  }
}

Ref broadcast_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_broadcast_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  commands::set_with_trailing_text<SF_BROADCAST_INFO>(self, command, arg, kLayout,
                                                      fill_fixed_members,
                                                      BroadcastInfo::text("coding_history"));
  return py_none();
}

}  // namespace

PyMethodDef broadcast_methods[] = {
    ONDALIS_SF_METHOD("_broadcast_get_command", broadcast_get,
                      "_broadcast_get_command($self, command)\n--\n\n"
                      "Returns the file's broadcast extension (bext chunk; the command id\n"
                      "command, SFC_GET_BROADCAST_INFO) as an SfBroadcastInfo record with the\n"
                      "whole coding history, or None when the file has none. Raises\n"
                      "UnicodeDecodeError for a text that is not UTF-8 and RuntimeError on a\n"
                      "closed object."),
    ONDALIS_SF_METHOD("_broadcast_set_command", broadcast_set,
                      "_broadcast_set_command($self, command, arg)\n--\n\n"
                      "Stores the broadcast extension of arg (the attributes of\n"
                      "SfBroadcastInfo; a coding history of any length) with the command id\n"
                      "command (SFC_SET_BROADCAST_INFO); returns None. WAV and RF64 files take\n"
                      "it before the first frame is written.\n"
                      "\n"
                      "Raises RuntimeError for a text longer than its field, a member out of\n"
                      "range, when libsndfile refuses and on a closed object; AttributeError,\n"
                      "TypeError or OverflowError for members that do not convert."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
