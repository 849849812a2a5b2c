// Clipping and compression settings, sent straight to libsndfile; both return
// libsndfile's raw answer.
#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

constexpr const char* kLevelRange = "Ondalis::error::compression level should be between 0 and 1";

Ref set_auto_clipping(SoundFile* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static Params<1> params("set_auto_clipping", 0, "arg");
  auto [arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  int value = arg != nullptr ? index_int32(arg) : 1;
  // The conversion may have run Python code that closed the object.
  return py_int(sf_command(open_file(self), SFC_SET_CLIPPING, nullptr, value));
}

Ref set_compression_level(SoundFile* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static Params<1> params("set_compression_level", 1, "level");
  auto [arg] = params.parse(args, nargs, kwnames);
  double level = to_double(arg);
  SNDFILE* file = open_file(self);
  if (level < 0 || level > 1) raise(PyExc_ValueError, kLevelRange);
  return py_int(sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level));
}

}  // namespace

PyMethodDef settings_methods[] = {
    ONDALIS_SF_METHOD("set_auto_clipping", set_auto_clipping,
                      "set_auto_clipping($self, arg=True)\n--\n\n"
                      "Switches libsndfile's clipping of float data written to or read from\n"
                      "integer encodings on (arg true, the default, and the state of every new\n"
                      "object) or off (arg false), and returns libsndfile's answer, the new\n"
                      "state as an int. Raises RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("set_compression_level", set_compression_level,
                      "set_compression_level($self, level)\n--\n\n"
                      "Sets the compression level of compressed formats (FLAC, Ogg, MPEG):\n"
                      "level from 0 (fastest, largest) to 1 (smallest). Returns libsndfile's\n"
                      "answer, 1 for success and 0 when the format takes no level. Raises\n"
                      "ValueError for a level outside [0, 1], TypeError for a level that is not\n"
                      "a number and RuntimeError on a closed object."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
