// The result checkers and range checks: module functions shared by every
// command handler. libsndfile's sf_command reports results in three ways
// (an error code, a value with a failure marker, or a hybrid of both); each
// checker turns one of them into a quiet return or a RuntimeError.
#include <sndfile.h>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/message.hpp"
#include "../module/catalogue.hpp"
#include "checks.hpp"

namespace ondalis {
namespace {

constexpr const char* kFailedWithError = "Ondalis::error:: command {0} failed with error {1}";
constexpr const char* kOutOfRangeBounds =
    "Ondalis::error:: command {0} argument {1} value {2} is out of range {3}-{4}";
constexpr const char* kOutOfRange = "Ondalis::error:: command {0} argument {1} value {2} is out of range";

Ref raise_retcode_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_raise_command_retcode_error", 2, "ret", "command");
  auto [ret, command] = params.parse(args, nargs, kwnames);
  Ref name = commands::command_name(command);
  int code = index_int32(ret);
  Ref text = py_bytes(sf_error_number(code));
  raise_format(PyExc_RuntimeError, kFailedWithError, name, text);
}

Ref check_retcode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_check_command_retcode", 2, "ret", "command");
  auto [ret, command] = params.parse(args, nargs, kwnames);
  Ref zero = py_int(0);
  if (not_equal(ret, zero.get()))
    module_ns::call_function(ONDALIS_NAME("_raise_command_retcode_error"), ret, command);
  return py_none();
}

Ref check_retval(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<3> params("_check_command_retval", 3, "ret", "command", "failure");
  auto [ret, command, failure] = params.parse(args, nargs, kwnames);
  if (equal(ret, failure))
    raise_format(PyExc_RuntimeError, commands::kCommandFailed, commands::command_name(command));
  return Ref::borrow(ret);
}

Ref check_hybrid_retval(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_check_command_hybrid_retval", 2, "ret", "command");
  auto [ret, command] = params.parse(args, nargs, kwnames);
  Ref zero = py_int(0);
  Ref one = py_int(1);
  module_ns::call_function(ONDALIS_NAME("_check_command_retval"), ret, command, zero.get());
  if (not_equal(ret, one.get()))
    module_ns::call_function(ONDALIS_NAME("_raise_command_retcode_error"), ret, command);
  return py_none();
}

// value, unless it lies outside [low, high]; the message shows the bounds
// when `with_bounds` is set.
template <long long Low, long long High, bool WithBounds>
Ref check_range(Params<3>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [value, command, field] = params.parse(args, nargs, kwnames);
  Ref low = py_int(Low);
  Ref high = py_int(High);
  if (less(value, low.get()) || greater(value, high.get())) {
    Ref name = commands::command_name(command);
    if constexpr (WithBounds)
      raise_format(PyExc_RuntimeError, kOutOfRangeBounds, name, field, value, low, high);
    else
      raise_format(PyExc_RuntimeError, kOutOfRange, name, field, value);
  }
  return Ref::borrow(value);
}

Ref check_char(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<3> params("_check_char_range", 3, "value", "command", "field");
  return check_range<-128, 127, false>(params, args, nargs, kwnames);
}

Ref check_int16(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<3> params("_check_int16_range", 3, "value", "command", "field");
  return check_range<-32768, 32767, true>(params, args, nargs, kwnames);
}

Ref check_int32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<3> params("_check_int32_range", 3, "value", "command", "field");
  return check_range<-2147483648LL, 2147483647LL, true>(params, args, nargs, kwnames);
}

#define ONDALIS_FUNCTION(name, body, doc) ONDALIS_METHOD(name, PyObject, body, doc)

}  // namespace

PyMethodDef checker_functions[] = {
    ONDALIS_FUNCTION("_raise_command_retcode_error", raise_retcode_error,
                     "_raise_command_retcode_error(ret, command)\n--\n\n"
                     "Raises RuntimeError 'Ondalis::error:: command {name} failed with error\n"
                     "{text}' for the command id command and libsndfile's error number ret;\n"
                     "never returns. Raises KeyError for a command id that commands_id_to_name\n"
                     "lacks."),
    ONDALIS_FUNCTION("_check_command_retcode", check_retcode,
                     "_check_command_retcode(ret, command)\n--\n\n"
                     "Checks an error-code result ret of the command id command: returns None\n"
                     "when ret is 0, else raises RuntimeError naming the command and\n"
                     "libsndfile's text for the error number."),
    ONDALIS_FUNCTION("_check_command_retval", check_retval,
                     "_check_command_retval(ret, command, failure)\n--\n\n"
                     "Checks a result ret of the command id command against its failure marker\n"
                     "failure: returns ret unless it equals failure, which raises RuntimeError\n"
                     "'Ondalis::error:: command {name} failed'."),
    ONDALIS_FUNCTION("_check_command_hybrid_retval", check_hybrid_retval,
                     "_check_command_hybrid_retval(ret, command)\n--\n\n"
                     "Checks a hybrid result ret of the command id command: returns None for 1\n"
                     "(success); raises RuntimeError with the plain failure message for 0 and\n"
                     "with libsndfile's error text for any other value."),
    ONDALIS_FUNCTION("_check_char_range", check_char,
                     "_check_char_range(value, command, field)\n--\n\n"
                     "Returns value if it lies in -128..127 (a signed 8-bit member); else\n"
                     "raises RuntimeError naming the command id command's name, the member name\n"
                     "field and the value. A value that cannot be compared with ints raises\n"
                     "TypeError."),
    ONDALIS_FUNCTION("_check_int16_range", check_int16,
                     "_check_int16_range(value, command, field)\n--\n\n"
                     "Returns value if it lies in -32768..32767 (a signed 16-bit member); else\n"
                     "raises RuntimeError naming the command id command's name, the member name\n"
                     "field, the value and the bounds. A value that cannot be compared with\n"
                     "ints raises TypeError."),
    ONDALIS_FUNCTION("_check_int32_range", check_int32,
                     "_check_int32_range(value, command, field)\n--\n\n"
                     "Returns value if it lies in -2147483648..2147483647 (a signed 32-bit\n"
                     "member); else raises RuntimeError naming the command id command's name,\n"
                     "the member name field, the value and the bounds. A value that cannot be\n"
                     "compared with ints raises TypeError."),
    {nullptr, nullptr, 0, nullptr},
};

namespace commands {

Ref command_name(PyObject* command) {
  Ref table = ONDALIS_LOOKUP("commands_id_to_name");
  return getitem(table.get(), command);
}

void check_retcode(PyObject* ret, PyObject* command) {
  module_ns::call_function(ONDALIS_NAME("_check_command_retcode"), ret, command);
}

void check_retcode(int ret, PyObject* command) {
  Ref value = py_int(ret);
  check_retcode(value.get(), command);
}

Ref check_retval(int ret, PyObject* command, int failure) {
  Ref value = py_int(ret);
  Ref marker = py_int(failure);
  return module_ns::call_function(ONDALIS_NAME("_check_command_retval"), value.get(), command,
                                  marker.get());
}

void check_hybrid_retval(int ret, PyObject* command) {
  Ref value = py_int(ret);
  module_ns::call_function(ONDALIS_NAME("_check_command_hybrid_retval"), value.get(), command);
}

namespace {
Ref check_range_by(PyObject* checker_name, PyObject* value, PyObject* command, const char* field) {
  Ref field_name = py_str(field);
  return module_ns::call_function(checker_name, value, command, field_name.get());
}
}  // namespace

Ref check_char_range(PyObject* value, PyObject* command, const char* field) {
  return check_range_by(ONDALIS_NAME("_check_char_range"), value, command, field);
}
Ref check_int16_range(PyObject* value, PyObject* command, const char* field) {
  return check_range_by(ONDALIS_NAME("_check_int16_range"), value, command, field);
}
Ref check_int32_range(PyObject* value, PyObject* command, const char* field) {
  return check_range_by(ONDALIS_NAME("_check_int32_range"), value, command, field);
}

}  // namespace commands
}  // namespace ondalis
