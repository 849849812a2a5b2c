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
  int32_t value = to_int32(arg);
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
  int value = to_int32(arg);
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

// sequence[index], by the sequence's own subscription.
Ref item(PyObject* sequence, long long index) {
  Ref key = py_int(index);
  return module_ns::getitem(sequence, key.get());
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
  sf_count_t value = to_int64(arg);
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
  Ref mode = module_ns::getitem(table.get(), arg);
  int32_t value = to_int32(mode.get());
  commands::check_retval(send(self, command, value), command, 0);
  return py_none();
}

}  // namespace

PyMethodDef scalar_methods[] = {
    ONDALIS_SF_METHOD("_int_get_command", int_get,
                      "_int_get_command($self, command, null_handle, return_is_hybrid)\n--\n\n"
                      "Send a command that fills a 32-bit int and return the int; without a\n"
                      "file when null_handle is true. The answer is checked as a hybrid result\n"
                      "or as an error code."),
    ONDALIS_SF_METHOD("_int32_get_command", int32_get,
                      "_int32_get_command($self, command)\n--\n\n"
                      "Send a command that fills a 32-bit int; an answer of 0 is a failure."),
    ONDALIS_SF_METHOD("_uint32_get_command", uint32_get,
                      "_uint32_get_command($self, command)\n--\n\n"
                      "Send a command that fills an unsigned 32-bit int; 0 when libsndfile\n"
                      "answers 0, never an exception."),
    ONDALIS_SF_METHOD("_int_set_command", int_set,
                      "_int_set_command($self, command, arg)\n--\n\n"
                      "Send arg as a 32-bit int; the answer is checked as a hybrid result."),
    ONDALIS_SF_METHOD("_bool_set_command", bool_set,
                      "_bool_set_command($self, command, arg, compare_return, check_retcode)\n"
                      "--\n\n"
                      "Send a truth value (0 or 1) in the size argument. With check_retcode the\n"
                      "answer is an error code and None is returned; otherwise the answer is\n"
                      "returned, and with compare_return it must equal arg."),
    ONDALIS_SF_METHOD("_double_get_command", double_get,
                      "_double_get_command($self, command, is_optional)\n--\n\n"
                      "Send a command that fills a double and return it; when is_optional,\n"
                      "None if libsndfile answers 0, otherwise the answer is an error code."),
    ONDALIS_SF_METHOD("_double_channel_get_command", double_channel_get,
                      "_double_channel_get_command($self, command, is_optional)\n--\n\n"
                      "Send a command that fills one double per channel and return them as a\n"
                      "float64 array; when is_optional, None if libsndfile answers 0."),
    ONDALIS_SF_METHOD("_double_set_command", double_set,
                      "_double_set_command($self, command, arg, valid_range, return_is_hybrid)\n"
                      "--\n\n"
                      "Send arg as a double after checking it against valid_range[0] and\n"
                      "valid_range[1]; the answer is a hybrid result or an error code."),
    ONDALIS_SF_METHOD("_sf_count_set_command", sf_count_set,
                      "_sf_count_set_command($self, command, arg, is_retcode)\n--\n\n"
                      "Send a non-negative frame count or offset; the answer is an error code,\n"
                      "or non-zero for failure followed by the file's error state."),
    ONDALIS_SF_METHOD("_string_out_command", string_out,
                      "_string_out_command($self, command, null_handle)\n--\n\n"
                      "Send a command that writes a text of up to 2048 bytes and return it as\n"
                      "str; without a file when null_handle is true."),
    ONDALIS_SF_METHOD("_bitrate_set_command", bitrate_set,
                      "_bitrate_set_command($self, command, arg)\n--\n\n"
                      "Send the bitrate mode named arg (a key of bitrate_mode_name_to_id)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
