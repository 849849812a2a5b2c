#include "convert.hpp"

#include <cstring>

namespace ondalis {

Ref as_pylong(PyObject* o, IntegerRule rule) {
  if (PyLong_Check(o)) return Ref::borrow(o);
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (nb != nullptr && nb->nb_index != nullptr) return check(PyNumber_Index(o));
  if (rule == IntegerRule::member && nb != nullptr && nb->nb_int != nullptr) {
    Ref value = check(nb->nb_int(o));
    if (!PyLong_Check(value.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(value.get())->tp_name);
      fail();
    }
    return value;
  }
  raise(PyExc_TypeError, "an integer is required");
}

void raise_too_large(const char* type_name) {
  PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
  fail();
}

void raise_negative(const char* type_name) {
  PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
  fail();
}

long long to_long_long(PyObject* o, const char* type_name, IntegerRule rule) {
  Ref value = as_pylong(o, rule);
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (overflow != 0) raise_too_large(type_name);
  if (v == -1 && PyErr_Occurred()) fail();
  return v;
}

unsigned long long to_unsigned_long_long(PyObject* o, const char* type_name,
                                         IntegerRule rule) {
  Ref value = as_pylong(o, rule);
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) fail();
  if (overflow < 0 || (overflow == 0 && v < 0)) raise_negative(type_name);
  if (overflow == 0) return static_cast<unsigned long long>(v);
  unsigned long long u = PyLong_AsUnsignedLongLong(value.get());
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    raise_too_large(type_name);
  }
  return u;
}

double to_double(PyObject* o) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) fail();
  return v;
}

Ref py_bytes(const char* text) {
  return py_bytes(text != nullptr ? text : "",
                  text != nullptr ? static_cast<Py_ssize_t>(std::strlen(text)) : 0);
}

Ref py_bytes(const char* data, Py_ssize_t size) {
  return check(PyBytes_FromStringAndSize(data, size));
}

Ref py_str(const char* data, Py_ssize_t size) {
  return check(PyUnicode_DecodeUTF8(data, size, "strict"));
}

Ref py_str(const char* text) {
  return py_str(text, static_cast<Py_ssize_t>(std::strlen(text)));
}

}  // namespace ondalis
