// The documented message texts are data: templates formatted with Python's
// own str.format (so that b'...' renderings and {0:x} come out exactly), or
// with printf-style PyErr_Format where the text uses %-fields.
#pragma once
#include <Python.h>

#include <array>
#include <string>
#include <type_traits>

#include "convert.hpp"
#include "error.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace ondalis {

// Values that can stand in a message: Python objects (borrowed), Refs,
// integers, floats and C texts (as str).
inline Ref message_arg(PyObject* o) { return Ref::borrow(o); }
inline Ref message_arg(const Ref& o) { return Ref::borrow(o.get()); }
inline Ref message_arg(const char* text) { return py_str(text); }
inline Ref message_arg(const std::string& text) { return py_str(text.data(), text.size()); }
template <class T>
  requires std::is_integral_v<T>
Ref message_arg(T v) {
  if constexpr (std::is_signed_v<T>) return py_int(v);
  else return py_uint(v);
}
inline Ref message_arg(double v) { return py_float(v); }

// template.format(*args)
template <class... Args>
Ref format(const char* template_text, const Args&... args) {
  Ref tmpl = check(PyUnicode_FromString(template_text));
  std::array<Ref, sizeof...(Args)> refs{message_arg(args)...};
  std::array<PyObject*, sizeof...(Args) + 1> vector{};
  vector[0] = tmpl.get();
  for (std::size_t i = 0; i < refs.size(); ++i) vector[i + 1] = refs[i].get();
  return check(
      PyObject_VectorcallMethod(ONDALIS_NAME("format"), vector.data(), vector.size(), nullptr));
}

// Raise `type` with template.format(*args).
template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* template_text, const Args&... args) {
  Ref text = format(template_text, args...);
  PyErr_SetObject(type, text.get());
  fail();
}

}  // namespace ondalis
