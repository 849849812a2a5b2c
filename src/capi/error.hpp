// One way to fail: a function that finds an error sets the Python exception
// and throws python_error; the boundary wrappers (boundary.hpp) catch it and
// return NULL to the interpreter.
#pragma once
#include <Python.h>

#include "ref.hpp"

namespace ondalis {

struct python_error {};

[[noreturn]] inline void fail() { throw python_error{}; }

// Throws if the interpreter reported an error by returning NULL.
inline Ref check(PyObject* result) {
  if (result == nullptr) fail();
  return Ref::steal(result);
}

// Throws if a C API call that returns -1 on error failed.
inline int check_status(int status) {
  if (status < 0) fail();
  return status;
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  fail();
}

// Keeps the exception being raised (if any) aside for its lifetime and puts
// it back at the end, for code that must run with no exception set.
class PreservedError {
 public:
  PreservedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PreservedError() { PyErr_Restore(type_, value_, traceback_); }
  PreservedError(const PreservedError&) = delete;
  PreservedError& operator=(const PreservedError&) = delete;

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
};

// Truth test that propagates the exception of a failing __bool__.
inline bool truth(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

// a <op> b by the interpreter's rich comparison, then the truth value of its
// result (no identity shortcut: an object may be unequal to itself).
template <int Op>
bool compare(PyObject* a, PyObject* b) {
  Ref result = check(PyObject_RichCompare(a, b, Op));
  return truth(result.get());
}

inline bool equal(PyObject* a, PyObject* b) { return compare<Py_EQ>(a, b); }
inline bool not_equal(PyObject* a, PyObject* b) { return compare<Py_NE>(a, b); }
inline bool less(PyObject* a, PyObject* b) { return compare<Py_LT>(a, b); }
inline bool greater(PyObject* a, PyObject* b) { return compare<Py_GT>(a, b); }
inline bool less_equal(PyObject* a, PyObject* b) { return compare<Py_LE>(a, b); }

}  // namespace ondalis
