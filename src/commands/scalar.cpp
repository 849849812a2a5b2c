// Handlers for the commands whose argument or result is one scalar: an
// integer, a truth value, a double, a file offset, a bitrate mode or a text,
// plus the per-channel peaks, which come back as one float64 array.
#include <sndfile.h>

#include <cstdint>
#include <cstring>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/numpy.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"

namespace ondalis {
namespace {

constexpr const char* kNotBool = "Ondalis::error:: command {0} argument {1} should be {2} or {3}";
constexpr const char* kNotSet =
    "Ondalis::error:: command {0} failed with current value {1} while it should be set to {2}";
constexpr const char* kNotInRange = "Ondalis::error:: value {0} not in range {1}-{2} for command {3}";
constexpr const char* kNegative =
    "Ondalis::error:: argument to command {0} must not be negative ({1} provided)";
constexpr const char* kNotZerosArray =
    "np.zeros() must return a writable C-contiguous float64 array of {0} items";
constexpr int kTextSize = 2048;

// The file a command goes to now. Converting the command id or an argument
// runs Python code (__index__, __eq__, a rebound np.zeros) that may close the
// object, so each handler checks on entry and takes the file again once the
// id is converted, right before sf_command.
SNDFILE* file_now(SoundFile* self, bool null_handle) {
  return null_handle ? nullptr : open_file(self);
}

// sf_command with a zeroed T to fill; `ret` receives libsndfile's answer.
template <class T>
T query(SoundFile* self, bool null_handle, PyObject* command, int& ret) {
  T value{};
  const int32_t id = commands::command_id(command);
  ret = sf_command(file_now(self, null_handle), id, &value, sizeof value);
  return value;
}

// sf_command with a pointer to `value`; returns libsndfile's answer.
template <class T>
int send(SoundFile* self, PyObject* command, T value) {
  const int32_t id = commands::command_id(command);
  return sf_command(open_file(self), id, &value, sizeof value);
}

// The entry check: true for the commands that libsndfile answers without a
// file, else RuntimeError when the object is closed.
bool checked_null_handle(SoundFile* self, PyObject* null_handle) {
  const bool without_file = truth(null_handle);
  file_now(self, without_file);
  return without_file;
}

void check_hybrid_or_retcode(PyObject* hybrid, int ret, PyObject* command) {
  if (truth(hybrid)) commands::check_hybrid_retval(ret, command);
  else commands::check_retcode(ret, command);
}

// An optional result is None when libsndfile answers 0 (nothing known); any
// other result is checked as an error code.
Ref optional_or_checked(PyObject* is_optional, int ret, PyObject* command, Ref result) {
  if (truth(is_optional)) return ret != 0 ? std::move(result) : py_none();
  commands::check_retcode(ret, command);
  return result;
}

Ref int_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<3> params("_int_get_command", 3, "command", "null_handle", "return_is_hybrid");
  auto [command, null_handle, return_is_hybrid] = params.parse(args, nargs, kwnames);
  const bool without_file = checked_null_handle(self, null_handle);
  int ret;
  int32_t value = query<int32_t>(self, without_file, command, ret);
  check_hybrid_or_retcode(return_is_hybrid, ret, command);
  return py_int(value);
}

Ref int32_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_int32_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  open_file(self);
  int ret;
  int32_t value = query<int32_t>(self, false, command, ret);
  commands::check_retval(ret, command, 0);
  return py_int(value);
}

Ref uint32_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_uint32_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  open_file(self);
  int ret;
  uint32_t value = query<uint32_t>(self, false, command, ret);
  return py_uint(ret != 0 ? value : 0);
}

Ref int_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_int_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  int32_t value = index_int32(arg);
  commands::check_hybrid_retval(send(self, command, value), command);
  return py_none();
}

Ref bool_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<4> params("_bool_set_command", 4, "command", "arg", "compare_return",
                          "check_retcode");
  auto [command, arg, compare_return, check_retcode] = params.parse(args, nargs, kwnames);
  open_file(self);
  Ref zero = py_int(0);
  Ref one = py_int(1);
  if (not_equal(arg, zero.get()) && not_equal(arg, one.get()))
    raise_format(PyExc_RuntimeError, kNotBool, commands::command_name(command), arg, zero, one);
  int value = index_int32(arg);
  // The truth value travels in the size argument.
  const int32_t id = commands::command_id(command);
  int ret = sf_command(open_file(self), id, nullptr, value);
  if (truth(check_retcode)) {
    commands::check_retcode(ret, command);
    return py_none();
  }
  if (truth(compare_return) && ret != value)
    raise_format(PyExc_RuntimeError, kNotSet, commands::command_name(command), ret, arg);
  return py_int(ret);
}

Ref double_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_double_get_command", 2, "command", "is_optional");
  auto [command, is_optional] = params.parse(args, nargs, kwnames);
  open_file(self);
  int ret;
  double value = query<double>(self, false, command, ret);
  return optional_or_checked(is_optional, ret, command, py_float(value));
}

// np.zeros(channels, dtype=np.float64, order="C"), with numpy looked up now;
// checked to be an array libsndfile can fill with `channels` doubles.
Ref zeros_array(int channels) {
  Ref np = ONDALIS_LOOKUP("np");
  Ref zeros = check(PyObject_GetAttr(np.get(), ONDALIS_NAME("zeros")));
  Ref float64 = check(PyObject_GetAttr(np.get(), ONDALIS_NAME("float64")));
  Ref count = py_int(channels);
  Ref kwnames = check(PyTuple_Pack(2, ONDALIS_NAME("dtype"), ONDALIS_NAME("order")));
  PyObject* vector[] = {nullptr, count.get(), float64.get(), ONDALIS_NAME("C")};
  Ref values = check(PyObject_Vectorcall(zeros.get(), vector + 1,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  auto* array = reinterpret_cast<PyArrayObject*>(values.get());
  if (!PyArray_Check(values.get()) || PyArray_TYPE(array) != NPY_FLOAT64 ||
      !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISWRITEABLE(array) ||
      PyArray_SIZE(array) != channels)
    raise_format(PyExc_TypeError, kNotZerosArray, channels);
  return values;
}

Ref double_channel_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static Params<2> params("_double_channel_get_command", 2, "command", "is_optional");
  auto [command, is_optional] = params.parse(args, nargs, kwnames);
  int channels = open_handle(self).channels();
  Ref values = zeros_array(channels);
  void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get()));
  const int32_t id = commands::command_id(command);
  int ret = sf_command(open_file(self), id, data, channels * static_cast<int>(sizeof(double)));
  return optional_or_checked(is_optional, ret, command, std::move(values));
}

Ref double_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<4> params("_double_set_command", 4, "command", "arg", "valid_range",
                          "return_is_hybrid");
  auto [command, arg, valid_range, return_is_hybrid] = params.parse(args, nargs, kwnames);
  open_file(self);
  double value = to_double(arg);
  Ref converted = py_float(value);
  Ref low = item(valid_range, 0);
  Ref high = item(valid_range, 1);
  // No comparison with NaN holds, so a NaN passes on to libsndfile.
  if (less(converted.get(), low.get()) || greater(converted.get(), high.get()))
    raise_format(PyExc_RuntimeError, kNotInRange, arg, low, high, commands::command_name(command));
  check_hybrid_or_retcode(return_is_hybrid, send(self, command, value), command);
  return py_none();
}

Ref sf_count_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<3> params("_sf_count_set_command", 3, "command", "arg", "is_retcode");
  auto [command, arg, is_retcode] = params.parse(args, nargs, kwnames);
  open_file(self);
  Ref zero = py_int(0);
  if (less(arg, zero.get()))
    raise_format(PyExc_RuntimeError, kNegative, commands::command_name(command), arg);
  sf_count_t value = index_int64(arg);
  int ret = send(self, command, value);
  if (truth(is_retcode)) {
    commands::check_retcode(ret, command);
  } else {
    if (ret != 0)
      raise_format(PyExc_RuntimeError, commands::kCommandFailed, commands::command_name(command));
    // libsndfile may record an error on the file while answering success.
    commands::check_retcode(sf_error(open_file(self)), command);
  }
  return py_none();
}

Ref string_out(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_string_out_command", 2, "command", "null_handle");
  auto [command, null_handle] = params.parse(args, nargs, kwnames);
  const bool without_file = checked_null_handle(self, null_handle);
  char buffer[kTextSize];
  buffer[0] = 0;
  const int32_t id = commands::command_id(command);
  sf_command(file_now(self, without_file), id, buffer, kTextSize);
  const void* end = std::memchr(buffer, 0, kTextSize);
  Py_ssize_t size = end != nullptr ? static_cast<const char*>(end) - buffer : kTextSize;
  return py_str(buffer, size);
}

Ref bitrate_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_bitrate_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  Ref table = ONDALIS_LOOKUP("bitrate_mode_name_to_id");
  Ref mode = getitem(table.get(), arg);
  int32_t value = to_int32(mode.get());
  commands::check_retval(send(self, command, value), command, 0);
  return py_none();
}

}  // namespace

PyMethodDef scalar_methods[] = {
    ONDALIS_SF_METHOD("_int_get_command", int_get,
                      "_int_get_command($self, command, null_handle, return_is_hybrid)\n--\n\n"
                      "Sends the command id command with a 32-bit int to fill and returns that\n"
                      "int; the file is not used when null_handle is true (format counts). The\n"
                      "answer is checked as a hybrid result when return_is_hybrid is true, else\n"
                      "as an error code: a failure raises RuntimeError, as does a closed object\n"
                      "when null_handle is false."),
    ONDALIS_SF_METHOD("_int32_get_command", int32_get,
                      "_int32_get_command($self, command)\n--\n\n"
                      "Sends the command id command with a 32-bit int to fill and returns that\n"
                      "int. Raises RuntimeError when libsndfile answers 0 (a failure) or on a\n"
                      "closed object."),
    ONDALIS_SF_METHOD("_uint32_get_command", uint32_get,
                      "_uint32_get_command($self, command)\n--\n\n"
                      "Sends the command id command with an unsigned 32-bit int to fill and\n"
                      "returns that int, 0 when libsndfile answers 0. libsndfile's answer never\n"
                      "raises; a closed object raises RuntimeError."),
    ONDALIS_SF_METHOD("_int_set_command", int_set,
                      "_int_set_command($self, command, arg)\n--\n\n"
                      "Sends arg as a 32-bit int with the command id command and returns None.\n"
                      "Raises RuntimeError when libsndfile fails (a hybrid result) or on a\n"
                      "closed object, and TypeError or OverflowError for an arg that is not a\n"
                      "32-bit integer."),
    ONDALIS_SF_METHOD("_bool_set_command", bool_set,
                      "_bool_set_command($self, command, arg, compare_return, check_retcode)\n"
                      "--\n\n"
                      "Sends arg, 0 or 1, in the size argument of the command id command. With\n"
                      "check_retcode the answer is an error code and None is returned;\n"
                      "otherwise the answer is returned as an int, and with compare_return it\n"
                      "must equal arg.\n"
                      "\n"
                      "Raises RuntimeError for an arg other than 0 or 1, for a failed check or\n"
                      "comparison and on a closed object."),
    ONDALIS_SF_METHOD("_double_get_command", double_get,
                      "_double_get_command($self, command, is_optional)\n--\n\n"
                      "Sends the command id command with a double to fill and returns that\n"
                      "float. When is_optional, an answer of 0 returns None (nothing to\n"
                      "report); otherwise the answer is an error code, and a failure raises\n"
                      "RuntimeError, as does a closed object."),
    ONDALIS_SF_METHOD("_double_channel_get_command", double_channel_get,
                      "_double_channel_get_command($self, command, is_optional)\n--\n\n"
                      "Sends the command id command with one double per channel to fill and\n"
                      "returns them as a float64 array. When is_optional, an answer of 0\n"
                      "returns None; otherwise the answer is an error code, and a failure\n"
                      "raises RuntimeError, as does a closed object."),
    ONDALIS_SF_METHOD("_double_set_command", double_set,
                      "_double_set_command($self, command, arg, valid_range, return_is_hybrid)\n"
                      "--\n\n"
                      "Sends arg as a double with the command id command after checking it\n"
                      "against valid_range[0] and valid_range[1]; returns None. The answer is\n"
                      "checked as a hybrid result when return_is_hybrid, else as an error code.\n"
                      "\n"
                      "Raises RuntimeError for an arg outside the range, when libsndfile fails\n"
                      "and on a closed object; TypeError for an arg that is not a number."),
    ONDALIS_SF_METHOD("_sf_count_set_command", sf_count_set,
                      "_sf_count_set_command($self, command, arg, is_retcode)\n--\n\n"
                      "Sends arg, a non-negative frame count or offset, with the command id\n"
                      "command and returns None. The answer is an error code when is_retcode,\n"
                      "else non-zero means failure. Raises RuntimeError for a negative arg,\n"
                      "when libsndfile fails and on a closed object; TypeError or OverflowError\n"
                      "for an arg that is not a 64-bit integer."),
    ONDALIS_SF_METHOD("_string_out_command", string_out,
                      "_string_out_command($self, command, null_handle)\n--\n\n"
                      "Sends the command id command with a 2048-byte text buffer to fill and\n"
                      "returns the text as str ('' when libsndfile writes none); the file is\n"
                      "not used when null_handle is true (SFC_GET_LIB_VERSION). libsndfile's\n"
                      "answer never raises; a closed object raises RuntimeError when\n"
                      "null_handle is false."),
    ONDALIS_SF_METHOD("_bitrate_set_command", bitrate_set,
                      "_bitrate_set_command($self, command, arg)\n--\n\n"
                      "Sends the bitrate mode named arg (a key of bitrate_mode_name_to_id, such\n"
                      "as 'SF_BITRATE_MODE_VARIABLE') with the command id command and returns\n"
                      "None. Raises KeyError for an unknown name, and RuntimeError when\n"
                      "libsndfile refuses or on a closed object."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
