#include "args.hpp"

namespace ondalis {
namespace {

[[noreturn]] void raise_count(const ParamSpec& spec, Py_ssize_t given) {
  const bool exact = spec.required == spec.count;
  const char* kind;
  Py_ssize_t expected;
  if (given < spec.required) {
    kind = exact ? "exactly" : "at least";
    expected = spec.required;
  } else {
    kind = exact ? "exactly" : "at most";
    expected = spec.count;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               spec.function, kind, expected, expected == 1 ? "" : "s", given);
  fail();
}

PyObject* interned_name(const ParamSpec& spec, Py_ssize_t i) {
  return interned(spec.interned[i], spec.names[i]);
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find(const ParamSpec& spec, PyObject* key) {
  for (Py_ssize_t i = 0; i < spec.count; ++i)
    if (interned_name(spec, i) == key) return i;
  for (Py_ssize_t i = 0; i < spec.count; ++i) {
    int eq = PyUnicode_Compare(interned_name(spec, i), key);
    if (eq == -1 && PyErr_Occurred()) fail();
    if (eq == 0) return i;
  }
  return -1;
}

void take_keyword(const ParamSpec& spec, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", spec.function);
    fail();
  }
  Py_ssize_t i = find(spec, key);
  if (i < 0) {
    if (spec.ignore_extra) return;
    if (spec.count == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", spec.function);
      fail();
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.function,
                 key);
    fail();
  }
  if (i < nargs || out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 spec.function, key);
    fail();
  }
  out[i] = value;
}

Py_ssize_t take_positional(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                           PyObject** out) {
  if (nargs > spec.count && !spec.ignore_extra) raise_count(spec, nargs);
  Py_ssize_t used = nargs < spec.count ? nargs : spec.count;
  for (Py_ssize_t i = 0; i < used; ++i) out[i] = args[i];
  return used;
}

void check_required(const ParamSpec& spec, Py_ssize_t nargs, PyObject** out) {
  for (Py_ssize_t i = 0; i < spec.required; ++i)
    if (out[i] == nullptr) raise_count(spec, nargs);
}

}  // namespace

void parse_vector(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out) {
  Py_ssize_t used = take_positional(spec, args, nargs, out);
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw > 0 && spec.count == 0 && !spec.ignore_extra) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", spec.function);
    fail();
  }
  for (Py_ssize_t k = 0; k < nkw; ++k)
    take_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], used, out);
  check_required(spec, nargs, out);
}

void parse_tuple(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t used = take_positional(spec, &PyTuple_GET_ITEM(args, 0), nargs, out);
  if (kwargs != nullptr) {
    if (PyDict_GET_SIZE(kwargs) > 0 && spec.count == 0 && !spec.ignore_extra) {
      PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", spec.function);
      fail();
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) take_keyword(spec, key, value, used, out);
  }
  check_required(spec, nargs, out);
}

}  // namespace ondalis
