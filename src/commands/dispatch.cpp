// Ondalis.command: one entry point for every libsndfile command. A name is
// translated through commands_name_to_id; the id then selects a handler
// method (looked up on the object, so subclasses may override handlers) or a
// short action carried out here.
#include <sndfile.h>

#include <algorithm>
#include <iterator>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../module/constants.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"

namespace ondalis {
namespace {

constexpr const char* kUnknownCommand = "Ondalis::error::unknow command {0}";

// One command as the dispatcher holds it: `command` is the id object as the
// caller gave it (or as commands_name_to_id gave it).
struct Call {
  SoundFile* self;
  PyObject* command;
  PyObject* arg;
  bool null_handle;

  // self.<name>(args...)
  template <class... Args>
  Ref handler(PyObject* name, Args... args) const {
    return module_ns::call_method(reinterpret_cast<PyObject*>(self), name, args...);
  }
  // sf_command(file, command, NULL, datasize) for the actions done here; the
  // file is taken after the id's conversion, which may close the object.
  int send(int datasize) const {
    const int32_t id = commands::command_id(command);
    return sf_command(open_file(self), id, nullptr, datasize);
  }
};

using Action = Ref (*)(const Call&);

// A flag passed on to a handler, as a bool object.
PyObject* flag(bool value) { return value ? Py_True : Py_False; }

// An interned method name for a name given as a template argument.
template <const char* Name>
PyObject* method_name() {
  static PyObject* interned = PyUnicode_InternFromString(Name);
  if (interned == nullptr) fail();
  return interned;
}

// Handler rows, by the arguments they pass on.
template <const char* Name>
Ref pass_command(const Call& c) {
  return c.handler(method_name<Name>(), c.command);
}

template <const char* Name>
Ref pass_command_arg(const Call& c) {
  return c.handler(method_name<Name>(), c.command, c.arg);
}

// (command, flag) and (command, arg, flag), the flag fixed by the row.
template <const char* Name, bool Flag>
Ref pass_command_flag(const Call& c) {
  return c.handler(method_name<Name>(), c.command, flag(Flag));
}

template <const char* Name, bool Flag>
Ref pass_command_arg_flag(const Call& c) {
  return c.handler(method_name<Name>(), c.command, c.arg, flag(Flag));
}

// (command, null_handle)
template <const char* Name>
Ref pass_command_null_handle(const Call& c) {
  return c.handler(method_name<Name>(), c.command, flag(c.null_handle));
}

constexpr char kStringOut[] = "_string_out_command";
constexpr char kCurrentInfo[] = "_get_current_sf_info";
constexpr char kBoolSet[] = "_bool_set_command";
constexpr char kIntGet[] = "_int_get_command";
constexpr char kFormatGet[] = "_format_get_command";
constexpr char kDoubleGet[] = "_double_get_command";
constexpr char kDoubleChannelGet[] = "_double_channel_get_command";
constexpr char kCountSet[] = "_sf_count_set_command";
constexpr char kEmbedGet[] = "_embed_get_command";
constexpr char kUint32Get[] = "_uint32_get_command";
constexpr char kCueGet[] = "_cue_get_command";
constexpr char kCueSet[] = "_cue_set_command";
constexpr char kInstrumentGet[] = "_instrument_get_command";
constexpr char kInstrumentSet[] = "_instrument_set_command";
constexpr char kLoopGet[] = "_loop_get_command";
constexpr char kBroadcastGet[] = "_broadcast_get_command";
constexpr char kBroadcastSet[] = "_broadcast_set_command";
constexpr char kChannelMapGet[] = "_channel_map_get_command";
constexpr char kChannelMapSet[] = "_channel_map_set_command";
constexpr char kDoubleSet[] = "_double_set_command";
constexpr char kInt32Get[] = "_int32_get_command";
constexpr char kBitrateSet[] = "_bitrate_set_command";
constexpr char kCartSet[] = "_cart_set_command";
constexpr char kCartGet[] = "_cart_get_command";
constexpr char kIntSet[] = "_int_set_command";
constexpr char kDitherSet[] = "_dither_set_command";
constexpr char kDitherGet[] = "_dither_get_command";

Ref current_info(const Call& c) { return c.handler(method_name<kCurrentInfo>()); }

// _bool_set_command(command, arg, compare_return, check_retcode)
template <bool CompareReturn, bool CheckRetcode>
Ref bool_set(const Call& c) {
  return c.handler(method_name<kBoolSet>(), c.command, c.arg, flag(CompareReturn),
                   flag(CheckRetcode));
}

// _int_get_command(command, null_handle, return_is_hybrid)
template <bool ReturnIsHybrid>
Ref int_get(const Call& c) {
  return c.handler(method_name<kIntGet>(), c.command, flag(c.null_handle),
                   flag(ReturnIsHybrid));
}

// _double_set_command(command, arg, [low, high], return_is_hybrid), with a
// new list for the range on every call.
template <int Low, int High, bool ReturnIsHybrid>
Ref double_set(const Call& c) {
  Ref low = py_float(Low);
  Ref high = py_float(High);
  Ref range = check(PyList_New(2));
  PyList_SET_ITEM(range.get(), 0, low.release());
  PyList_SET_ITEM(range.get(), 1, high.release());
  return c.handler(method_name<kDoubleSet>(), c.command, c.arg, range.get(),
                   flag(ReturnIsHybrid));
}

// The answer of a query that takes no data, as an int.
Ref get_setting(const Call& c) { return py_int(c.send(0)); }

Ref update_header(const Call& c) {
  c.send(0);
  return py_none();
}

Ref add_dither(const Call& c) {
  commands::check_retcode(c.send(0), c.command);
  return py_none();
}

Ref ambisonic_set(const Call& c) {
  Ref table = ONDALIS_LOOKUP("ambisonic_name_to_id");
  Ref mode = module_ns::getitem(table.get(), c.arg);
  // The mode travels in the size argument.
  int ret = c.send(to_int32(mode.get()));
  commands::check_retval(ret, c.command, 0);
  return py_none();
}

// table[_check_command_retval(ret, command, failure)] for a mode query.
Ref mode_name(const Call& c, PyObject* table_name, int failure) {
  int ret = c.send(0);
  Ref table = module_ns::lookup(table_name);
  Ref mode = commands::check_retval(ret, c.command, failure);
  return module_ns::getitem(table.get(), mode.get());
}

Ref ambisonic_get(const Call& c) {
  return mode_name(c, ONDALIS_NAME("ambisonic_id_to_name"), 0);
}

Ref bitrate_get(const Call& c) {
  return mode_name(c, ONDALIS_NAME("bitrate_mode_id_to_name"), -1);
}

struct Row {
  int id;
  bool null_handle;  // libsndfile answers without a file
  Action action;
};

// Every command of commands_name_to_id, sorted by id for the lookup.
constexpr Row kRows[] = {
    {SFC_GET_LIB_VERSION, true, pass_command_null_handle<kStringOut>},
    {SFC_GET_LOG_INFO, false, pass_command_null_handle<kStringOut>},
    {SFC_GET_CURRENT_SF_INFO, false, current_info},
    {SFC_GET_NORM_DOUBLE, false, get_setting},
    {SFC_GET_NORM_FLOAT, false, get_setting},
    {SFC_SET_NORM_DOUBLE, false, bool_set<false, false>},
    {SFC_SET_NORM_FLOAT, false, bool_set<false, false>},
    {SFC_SET_SCALE_FLOAT_INT_READ, false, bool_set<false, false>},
    {SFC_SET_SCALE_INT_FLOAT_WRITE, false, bool_set<false, false>},
    {SFC_GET_SIMPLE_FORMAT_COUNT, true, int_get<false>},
    {SFC_GET_SIMPLE_FORMAT, true, pass_command_arg<kFormatGet>},
    {SFC_GET_FORMAT_INFO, true, pass_command_arg<kFormatGet>},
    {SFC_GET_FORMAT_MAJOR_COUNT, true, int_get<false>},
    {SFC_GET_FORMAT_MAJOR, true, pass_command_arg<kFormatGet>},
    {SFC_GET_FORMAT_SUBTYPE_COUNT, true, int_get<false>},
    {SFC_GET_FORMAT_SUBTYPE, true, pass_command_arg<kFormatGet>},
    {SFC_CALC_SIGNAL_MAX, false, pass_command_flag<kDoubleGet, false>},
    {SFC_CALC_NORM_SIGNAL_MAX, false, pass_command_flag<kDoubleGet, false>},
    {SFC_CALC_MAX_ALL_CHANNELS, false, pass_command_flag<kDoubleChannelGet, false>},
    {SFC_CALC_NORM_MAX_ALL_CHANNELS, false, pass_command_flag<kDoubleChannelGet, false>},
    {SFC_GET_SIGNAL_MAX, false, pass_command_flag<kDoubleGet, true>},
    {SFC_GET_MAX_ALL_CHANNELS, false, pass_command_flag<kDoubleChannelGet, true>},
    {SFC_SET_ADD_PEAK_CHUNK, false, bool_set<true, false>},
    {SFC_SET_ADD_HEADER_PAD_CHUNK, false, bool_set<true, false>},
    {SFC_UPDATE_HEADER_NOW, false, update_header},
    {SFC_SET_UPDATE_HEADER_AUTO, false, bool_set<true, false>},
    {SFC_SET_ADD_DITHER_ON_WRITE, false, add_dither},
    {SFC_SET_ADD_DITHER_ON_READ, false, add_dither},
    {SFC_FILE_TRUNCATE, false, pass_command_arg_flag<kCountSet, false>},
    {SFC_SET_RAW_START_OFFSET, false, pass_command_arg_flag<kCountSet, true>},
    {SFC_SET_DITHER_ON_WRITE, false, pass_command_arg<kDitherSet>},
    {SFC_SET_DITHER_ON_READ, false, pass_command_arg<kDitherSet>},
    {SFC_GET_DITHER_INFO_COUNT, false, int_get<false>},
    {SFC_GET_DITHER_INFO, false, pass_command<kDitherGet>},
    {SFC_GET_EMBED_FILE_INFO, false, pass_command<kEmbedGet>},
    {SFC_SET_CLIPPING, false, bool_set<true, false>},
    {SFC_GET_CLIPPING, false, get_setting},
    {SFC_GET_CUE_COUNT, false, pass_command<kUint32Get>},
    {SFC_GET_CUE, false, pass_command<kCueGet>},
    {SFC_SET_CUE, false, pass_command_arg<kCueSet>},
    {SFC_GET_INSTRUMENT, false, pass_command<kInstrumentGet>},
    {SFC_SET_INSTRUMENT, false, pass_command_arg<kInstrumentSet>},
    {SFC_GET_LOOP_INFO, false, pass_command<kLoopGet>},
    {SFC_GET_BROADCAST_INFO, false, pass_command<kBroadcastGet>},
    {SFC_SET_BROADCAST_INFO, false, pass_command_arg<kBroadcastSet>},
    {SFC_GET_CHANNEL_MAP_INFO, false, pass_command<kChannelMapGet>},
    {SFC_SET_CHANNEL_MAP_INFO, false, pass_command_arg<kChannelMapSet>},
    {SFC_RAW_DATA_NEEDS_ENDSWAP, false, get_setting},
    {SFC_WAVEX_SET_AMBISONIC, false, ambisonic_set},
    {SFC_WAVEX_GET_AMBISONIC, false, ambisonic_get},
    {SFC_RF64_AUTO_DOWNGRADE, false, bool_set<true, false>},
    {SFC_SET_VBR_ENCODING_QUALITY, false, double_set<0, 1, true>},
    {SFC_SET_COMPRESSION_LEVEL, false, double_set<0, 1, true>},
    {codes::C_SFC_SET_OGG_PAGE_LATENCY_MS, false, double_set<50, 1600, false>},
    {codes::C_SFC_SET_OGG_PAGE_LATENCY, false, double_set<50, 1600, false>},
    {codes::C_SFC_GET_BITRATE_MODE, false, bitrate_get},
    {codes::C_SFC_SET_BITRATE_MODE, false, pass_command_arg<kBitrateSet>},
    {codes::C_SFC_GET_OGG_STREAM_SERIALNO, false, pass_command<kInt32Get>},
    {SFC_SET_CART_INFO, false, pass_command_arg<kCartSet>},
    {SFC_GET_CART_INFO, false, pass_command<kCartGet>},
    {codes::C_SFC_SET_ORIGINAL_SAMPLERATE, false, pass_command_arg<kIntSet>},
    {codes::C_SFC_GET_ORIGINAL_SAMPLERATE, false, int_get<true>},
    {SFC_TEST_IEEE_FLOAT_REPLACE, false, bool_set<false, true>},
};

constexpr bool by_id(const Row& a, const Row& b) { return a.id < b.id; }
static_assert(std::size(kRows) == 63);
static_assert(std::is_sorted(std::begin(kRows), std::end(kRows), by_id));
static_assert(std::adjacent_find(std::begin(kRows), std::end(kRows), [](const Row& a, const Row& b) {
                return a.id == b.id;
              }) == std::end(kRows));

// The row whose id equals `command`, or null. An int is looked up by value;
// any other object is compared with each id by its own equality.
const Row* find_row(PyObject* command) {
  if (PyLong_Check(command)) {
    int overflow = 0;
    long long id = PyLong_AsLongLongAndOverflow(command, &overflow);
    if (id == -1 && PyErr_Occurred()) fail();
    const Row* row = std::lower_bound(std::begin(kRows), std::end(kRows), Row{0, false, nullptr},
                                      [id](const Row& r, const Row&) { return r.id < id; });
    return overflow == 0 && row != std::end(kRows) && row->id == id ? row : nullptr;
  }
  for (const Row& row : kRows) {
    Ref id = py_int(row.id);
    if (equal(command, id.get())) return &row;
  }
  return nullptr;
}

Ref command(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("command", 1, "command", "arg");
  auto [command, given_arg] = params.parse(args, nargs, kwnames);
  Ref arg = given_arg != nullptr ? Ref::borrow(given_arg) : py_int(0);
  if (PyUnicode_Check(command)) {
    Ref table = ONDALIS_LOOKUP("commands_name_to_id");
    Ref id = module_ns::getitem(table.get(), command);
    return module_ns::call_method(reinterpret_cast<PyObject*>(self), ONDALIS_NAME("command"),
                                  id.get(), arg.get());
  }
  const Row* row = find_row(command);
  bool null_handle = row != nullptr && row->null_handle;
  // A closed object refuses every command that needs a file, known or not.
  if (!null_handle && self->handle == nullptr) raise_no_handle();
  if (row == nullptr) raise_format(PyExc_RuntimeError, kUnknownCommand, command);
  return row->action(Call{self, command, arg.get(), null_handle});
}

}  // namespace

PyMethodDef command_methods[] = {
    ONDALIS_SF_METHOD("command", command,
                      "command($self, command, arg=0)\n--\n\n"
                      "Sends a libsndfile command and returns its result, converted to Python:\n"
                      "an int, float, str, numpy array, record (SfFormatInfo, SfInstrument,\n"
                      "SfBroadcastInfo, ...), list of records or names, or None. command: a\n"
                      "name, a key of commands_name_to_id such as 'SFC_SET_CLIPPING', or its\n"
                      "id. arg: the command's argument, converted to libsndfile's types (a\n"
                      "record for the structure commands, a list for cue points and channel\n"
                      "maps).\n"
                      "\n"
                      "Get commands return None (or []) when the file lacks what they ask for.\n"
                      "Raises KeyError for an unknown name; RuntimeError when libsndfile fails\n"
                      "the command, for an argument out of range, for an unknown id and, for\n"
                      "every command but the format queries and SFC_GET_LIB_VERSION, on a\n"
                      "closed object; TypeError, OverflowError or AttributeError for arguments\n"
                      "that do not convert."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
