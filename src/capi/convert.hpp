// Python value -> C number conversions with the module's documented messages,
// and C number -> new Python object.
//
// Two rules for integers. Parameters (of the constructor, of methods and
// handlers, the command id and scalar command arguments) convert as
// operator.index does: an int (a bool gives 0 or 1) or an object with
// __index__; a float, even 2.0, is no integer. Structure members (the fields
// of the records handed to commands) also take __int__, so a float there is
// truncated toward zero. Anything else raises TypeError "an integer is
// required". A value outside the C type raises OverflowError "value too large
// to convert to <type>" or, for unsigned types, "can't convert negative value
// to <type>", naming the type the caller passes.
#pragma once
#include <Python.h>

#include <cstdint>
#include <limits>

#include "error.hpp"
#include "ref.hpp"

namespace ondalis {

enum class IntegerRule {
  index,   // parameters: operator.index
  member,  // structure members: __index__, else __int__ (floats truncate)
};

// The Python int behind an integer-like object under `rule` (a new reference).
Ref as_pylong(PyObject* o, IntegerRule rule = IntegerRule::member);

[[noreturn]] void raise_too_large(const char* type_name);
[[noreturn]] void raise_negative(const char* type_name);

long long to_long_long(PyObject* o, const char* type_name, IntegerRule rule);
unsigned long long to_unsigned_long_long(PyObject* o, const char* type_name, IntegerRule rule);

template <class T>
T to_int(PyObject* o, const char* type_name, IntegerRule rule = IntegerRule::member) {
  static_assert(std::numeric_limits<T>::is_integer);
  if constexpr (std::numeric_limits<T>::is_signed) {
    long long v = to_long_long(o, type_name, rule);
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max())
      raise_too_large(type_name);
    return static_cast<T>(v);
  } else {
    unsigned long long v = to_unsigned_long_long(o, type_name, rule);
    if (v > std::numeric_limits<T>::max()) raise_too_large(type_name);
    return static_cast<T>(v);
  }
}

// Structure members and the ids the module's tables hold.
inline int8_t to_int8(PyObject* o, const char* name = "char") { return to_int<int8_t>(o, name); }
inline int16_t to_int16(PyObject* o, const char* name = "short") { return to_int<int16_t>(o, name); }
inline int32_t to_int32(PyObject* o, const char* name = "int") { return to_int<int32_t>(o, name); }
inline uint32_t to_uint32(PyObject* o, const char* name = "uint32_t") { return to_int<uint32_t>(o, name); }
inline int64_t to_int64(PyObject* o, const char* name = "sf_count_t") { return to_int<int64_t>(o, name); }
inline uint64_t to_uint64(PyObject* o, const char* name = "uint64_t") { return to_int<uint64_t>(o, name); }

// Parameters.
inline int32_t index_int32(PyObject* o) { return to_int<int32_t>(o, "int", IntegerRule::index); }
inline int64_t index_int64(PyObject* o) {
  return to_int<int64_t>(o, "sf_count_t", IntegerRule::index);
}

// The interpreter's float conversion (TypeError for a non-number).
double to_double(PyObject* o);

inline Ref py_int(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref py_uint(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline Ref py_float(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref py_none() { return Ref::borrow(Py_None); }
// A bytes object holding a NUL-terminated C text (empty for a null pointer).
Ref py_bytes(const char* text);
Ref py_bytes(const char* data, Py_ssize_t size);
// A str decoded as strict UTF-8.
Ref py_str(const char* data, Py_ssize_t size);
Ref py_str(const char* text);

}  // namespace ondalis
