// Channel map commands: libsndfile's array of one SF_CHANNEL_MAP_* id per
// channel to and from a list of position names, through the channel map
// tables.
#include <sndfile.h>

#include <cstdint>
#include <vector>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "handlers.hpp"

namespace ondalis {
namespace {

constexpr const char* kWrongCount =
    "Ondalis::error:: wrong number of channels ({0}) in {1}, should be {2}";

// The datasize of a map of `map.size()` channels.
int datasize(const std::vector<int32_t>& map) {
  return static_cast<int>(map.size() * sizeof(int32_t));
}

Ref channel_map_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  static Params<1> params("_channel_map_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  std::vector<int32_t> map(open_handle(self).channels(), 0);
  int id = commands::command_id(command);  // may run Python code that closes the object
  if (sf_command(open_file(self), id, map.data(), datasize(map)) != 1) return py_none();
  Ref names = check(PyList_New(0));
  for (int32_t position : map) {
    Ref table = ONDALIS_LOOKUP("channel_map_id_to_name");
    Ref key = py_int(position);
    Ref name = getitem(table.get(), key.get());
    check_status(PyList_Append(names.get(), name.get()));
  }
  return names;
}

Ref channel_map_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  static Params<2> params("_channel_map_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  int channels = open_handle(self).channels();
  Py_ssize_t n = length(arg);
  if (n != channels) {
    Ref name = commands::command_name(command);
    raise_format(PyExc_RuntimeError, kWrongCount, n, name, channels);
  }
  std::vector<int32_t> map(channels, 0);
  for (int i = 0; i < channels; ++i) {
    Ref table = ONDALIS_LOOKUP("channel_map_name_to_id");
    Ref position = item(arg, i);
    map[i] = to_int32(getitem(table.get(), position.get()).get(), "int");
  }
  commands::send_checked(self, command, map.data(), datasize(map));
  return py_none();
}

}  // namespace

PyMethodDef channel_map_methods[] = {
    ONDALIS_SF_METHOD("_channel_map_get_command", channel_map_get,
                      "_channel_map_get_command($self, command)\n--\n\n"
                      "Returns the file's channel map (the command id command,\n"
                      "SFC_GET_CHANNEL_MAP_INFO) as a list of position names (keys of\n"
                      "channel_map_name_to_id), one per channel, or None when the file has\n"
                      "none. Raises KeyError for a position the tables lack and RuntimeError on\n"
                      "a closed object."),
    ONDALIS_SF_METHOD("_channel_map_set_command", channel_map_set,
                      "_channel_map_set_command($self, command, arg)\n--\n\n"
                      "Stores the channel map arg, a sequence of position names (keys of\n"
                      "channel_map_name_to_id), one per channel, with the command id command\n"
                      "(SFC_SET_CHANNEL_MAP_INFO); returns None. Raises RuntimeError for a\n"
                      "sequence of another length, when libsndfile refuses and on a closed\n"
                      "object; KeyError for an unknown name."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
