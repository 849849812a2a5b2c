// Ondalis.command: one entry point for every libsndfile command. A name is
// translated through commands_name_to_id; the id then selects a handler
// method (looked up on the object, so subclasses may override handlers) or a
// short action carried out here.
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../module/constants.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "command_list.hpp"

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
    return call_method(reinterpret_cast<PyObject*>(self), name, args...);
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

// Handler rows, by the arguments they pass on.
template <const char* Name>
Ref pass_command(const Call& c) {
  return c.handler(ONDALIS_NAME(Name), c.command);
}

template <const char* Name>
Ref pass_command_arg(const Call& c) {
  return c.handler(ONDALIS_NAME(Name), c.command, c.arg);
}

// (command, flag) and (command, arg, flag), the flag fixed by the row.
template <const char* Name, bool Flag>
Ref pass_command_flag(const Call& c) {
  return c.handler(ONDALIS_NAME(Name), c.command, flag(Flag));
}

template <const char* Name, bool Flag>
Ref pass_command_arg_flag(const Call& c) {
  return c.handler(ONDALIS_NAME(Name), c.command, c.arg, flag(Flag));
}

// (command, null_handle)
template <const char* Name>
Ref pass_command_null_handle(const Call& c) {
  return c.handler(ONDALIS_NAME(Name), c.command, flag(c.null_handle));
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

Ref current_info(const Call& c) { return c.handler(ONDALIS_NAME(kCurrentInfo)); }

// _bool_set_command(command, arg, compare_return, check_retcode)
template <bool CompareReturn, bool CheckRetcode>
Ref bool_set(const Call& c) {
  return c.handler(ONDALIS_NAME(kBoolSet), c.command, c.arg, flag(CompareReturn),
                   flag(CheckRetcode));
}

// _int_get_command(command, null_handle, return_is_hybrid)
template <bool ReturnIsHybrid>
Ref int_get(const Call& c) {
  return c.handler(ONDALIS_NAME(kIntGet), c.command, flag(c.null_handle),
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
  return c.handler(ONDALIS_NAME(kDoubleSet), c.command, c.arg, range.get(),
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
  Ref mode = getitem(table.get(), c.arg);
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
  return getitem(table.get(), mode.get());
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

// Every command of the list, in list order, then sorted by id for the lookup.
#define ONDALIS_DISPATCH_ROW(name, null_handle, ...) Row{name, null_handle, __VA_ARGS__},
#define ONDALIS_LATE_DISPATCH_ROW(name, null_handle, ...) \
  Row{codes::C_##name, null_handle, __VA_ARGS__},
constexpr auto kListed =
    std::to_array<Row>({ONDALIS_COMMANDS(ONDALIS_DISPATCH_ROW, ONDALIS_LATE_DISPATCH_ROW)});
#undef ONDALIS_DISPATCH_ROW
#undef ONDALIS_LATE_DISPATCH_ROW

constexpr bool by_id(const Row& a, const Row& b) { return a.id < b.id; }

constexpr auto kRows = [] {
  auto rows = kListed;
  std::sort(rows.begin(), rows.end(), by_id);
  return rows;
}();

// The rows hold exactly the commands of the lookup tables: the same ids in
// the same list order before sorting, each once.
constexpr bool same_commands_as_tables() {
  if (kListed.size() != commands::kCommandNames.size()) return false;
  for (std::size_t i = 0; i < kListed.size(); ++i)
    if (kListed[i].id != commands::kCommandNames[i].id) return false;
  return std::adjacent_find(kRows.begin(), kRows.end(), [](const Row& a, const Row& b) {
           return a.id == b.id;
         }) == kRows.end();
}
static_assert(same_commands_as_tables());

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
    Ref id = getitem(table.get(), command);
    return call_method(reinterpret_cast<PyObject*>(self), ONDALIS_NAME("command"),
                                  id.get(), arg.get());
  }
  const Row* row = find_row(command);
  bool null_handle = row != nullptr && row->null_handle;
  // A closed object refuses every command that needs a file, known or not.
  if (!null_handle && !is_open(self)) raise_no_handle();
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
