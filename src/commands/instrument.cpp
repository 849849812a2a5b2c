// Instrument and loop commands: SF_INSTRUMENT (gain, six one-byte members and
// up to 16 loops) to and from SfInstrument / SfInstrumentLoop records, and
// SF_LOOP_INFO to SfLoopInfo. Loop modes travel by name through the loop
// tables.
#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "handlers.hpp"

namespace ondalis {
namespace {

static_assert(sizeof(SF_INSTRUMENT) == 272);
static_assert(offsetof(SF_INSTRUMENT, basenote) == 4);
static_assert(offsetof(SF_INSTRUMENT, loop_count) == 12);
static_assert(offsetof(SF_INSTRUMENT, loops) == 16);
static_assert(sizeof(SF_INSTRUMENT::loops[0]) == 16);
static_assert(sizeof(SF_LOOP_INFO) == 44);
static_assert(offsetof(SF_LOOP_INFO, loop_mode) == 4);
static_assert(offsetof(SF_LOOP_INFO, bpm) == 12);
static_assert(offsetof(SF_LOOP_INFO, future) == 20);

constexpr int kMaxLoops = sizeof(SF_INSTRUMENT::loops) / sizeof(SF_INSTRUMENT::loops[0]);
static_assert(kMaxLoops == 16);

using InstrumentLoop = commands::RecordKind<records::kInstrumentLoop>;
using Instrument = commands::RecordKind<records::kInstrument>;
using LoopInfo = commands::RecordKind<records::kLoopInfo>;

constexpr const char* kTooManyLoops = "Ondalis::error:: too many loops ({0}) in {1}, maximum is 16";
constexpr const char* kUnknownLoopMode = "Ondalis::error:: unknow loop mode ({0}) in {1}";

// The one-byte members of SF_INSTRUMENT, in structure order, with the names
// their attributes carry.
struct ByteMember {
  const char* name;
  char SF_INSTRUMENT::* member;
};
constexpr ByteMember kByteMembers[] = {
    {"basenote", &SF_INSTRUMENT::basenote},       {"detune", &SF_INSTRUMENT::detune},
    {"velocity_lo", &SF_INSTRUMENT::velocity_lo}, {"velocity_hi", &SF_INSTRUMENT::velocity_hi},
    {"key_lo", &SF_INSTRUMENT::key_lo},           {"key_hi", &SF_INSTRUMENT::key_hi},
};
static_assert(commands::all_fields<records::kInstrument>(kByteMembers));

// A one-byte member as the signed value it holds (char may be unsigned).
Ref signed_byte(char value) { return py_int(static_cast<int8_t>(value)); }

// loop_id_to_name[id]
Ref loop_mode_name(int id) {
  Ref table = ONDALIS_LOOKUP("loop_id_to_name");
  Ref key = py_int(id);
  return getitem(table.get(), key.get());
}

Ref instrument_loop_record(const SF_INSTRUMENT& instrument, int i) {
  const auto& loop = instrument.loops[i];
  return InstrumentLoop::build(
      {loop_mode_name(loop.mode), py_uint(loop.start), py_uint(loop.end), py_uint(loop.count)});
}

Ref instrument_record(const SF_INSTRUMENT& instrument) {
  return Instrument::build({py_int(instrument.gain), signed_byte(instrument.basenote),
                     signed_byte(instrument.detune), signed_byte(instrument.velocity_lo),
                     signed_byte(instrument.velocity_hi), signed_byte(instrument.key_lo),
                     signed_byte(instrument.key_hi), check(PyList_New(0))});
}

Ref instrument_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_instrument_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  open_file(self);
  SF_INSTRUMENT instrument;
  if (!commands::fetch_structure(self, command, instrument)) return py_none();
  Ref record = instrument_record(instrument);
  // Never more loops than the structure holds, whatever the count says.
  int n = instrument.loop_count < kMaxLoops ? instrument.loop_count : kMaxLoops;
  for (int i = 0; i < n; ++i) {
    Ref loop = instrument_loop_record(instrument, i);
    commands::append_to(record.get(), ONDALIS_FIELD(Instrument, "loops"), loop.get());
  }
  return record;
}

// Loop i of the record's loops: the mode by name, start, end and count.
void fill_loop(SF_INSTRUMENT& instrument, PyObject* arg, Py_ssize_t i, PyObject* command) {
  auto loop_attribute = [&](PyObject* name) {
    return commands::member_item_attribute(arg, ONDALIS_FIELD(Instrument, "loops"), i, name);
  };
  auto& loop = instrument.loops[i];
  Ref mode = loop_attribute(ONDALIS_FIELD(InstrumentLoop, "mode"));
  Ref table = ONDALIS_LOOKUP("loop_name_to_id");
  if (!contains(table.get(), mode.get()))
    raise_format(PyExc_RuntimeError, kUnknownLoopMode, mode, command);
  loop.mode = to_int32(getitem(table.get(), mode.get()).get(), "int");
  loop.start = to_uint32(loop_attribute(ONDALIS_FIELD(InstrumentLoop, "start")).get(), "uint32_t");
  loop.end = to_uint32(loop_attribute(ONDALIS_FIELD(InstrumentLoop, "end")).get(), "uint32_t");
  loop.count = to_uint32(loop_attribute(ONDALIS_FIELD(InstrumentLoop, "count")).get(), "uint32_t");
}

Ref instrument_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_instrument_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  Py_ssize_t n = length(attr(arg, ONDALIS_FIELD(Instrument, "loops")).get());
  if (n > kMaxLoops) raise_format(PyExc_RuntimeError, kTooManyLoops, n, command);
  SF_INSTRUMENT instrument;
  std::memset(&instrument, 0, sizeof instrument);
  instrument.loop_count = static_cast<int>(n);
  instrument.gain = to_int32(attr(arg, ONDALIS_FIELD(Instrument, "gain")).get(), "int");
  for (const ByteMember& byte : kByteMembers) {
    Ref value = attr(arg, byte.name);
    Ref checked = commands::check_char_range(value.get(), command, byte.name);
    instrument.*byte.member = static_cast<char>(to_int8(checked.get(), "char"));
  }
  for (Py_ssize_t i = 0; i < n; ++i) fill_loop(instrument, arg, i, command);
  commands::send_checked(self, command, &instrument, sizeof instrument);
  return py_none();
}

Ref loop_record(const SF_LOOP_INFO& info) {
  return LoopInfo::build({py_int(info.time_sig_num), py_int(info.time_sig_den),
                     loop_mode_name(info.loop_mode), py_int(info.num_beats),
                     py_float(static_cast<double>(info.bpm)), py_int(info.root_key),
                     check(PyList_New(0))});
}

Ref loop_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_loop_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  open_file(self);
  SF_LOOP_INFO info;
  if (!commands::fetch_structure(self, command, info)) return py_none();
  Ref record = loop_record(info);
  for (int value : info.future) {
    Ref item = py_int(value);
    commands::append_to(record.get(), ONDALIS_FIELD(LoopInfo, "future"), item.get());
  }
  return record;
}

}  // namespace

PyMethodDef instrument_methods[] = {
    ONDALIS_SF_METHOD("_instrument_get_command", instrument_get,
                      "_instrument_get_command($self, command)\n--\n\n"
                      "Returns the file's instrument data (the command id command,\n"
                      "SFC_GET_INSTRUMENT) as an SfInstrument record with its loops, or None\n"
                      "when the file has none. Raises KeyError for a loop mode the tables lack\n"
                      "and RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("_instrument_set_command", instrument_set,
                      "_instrument_set_command($self, command, arg)\n--\n\n"
                      "Stores the instrument data of arg (the attributes of SfInstrument, with\n"
                      "at most 16 loops whose modes are keys of loop_name_to_id) with the\n"
                      "command id command (SFC_SET_INSTRUMENT); returns None.\n"
                      "\n"
                      "Raises RuntimeError for more than 16 loops, an unknown loop mode, a one-\n"
                      "byte member outside -128..127, when libsndfile refuses and on a closed\n"
                      "object; AttributeError, TypeError or OverflowError for members that do\n"
                      "not convert."),
    ONDALIS_SF_METHOD("_loop_get_command", loop_get,
                      "_loop_get_command($self, command)\n--\n\n"
                      "Returns the file's loop information (the command id command,\n"
                      "SFC_GET_LOOP_INFO) as an SfLoopInfo record, or None when the file has\n"
                      "none. Raises KeyError for a loop mode the tables lack and RuntimeError\n"
                      "on a closed object."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
