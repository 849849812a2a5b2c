// Interned names (attribute, method, parameter and keyword names), created on
// first use and kept for the life of the process: the only objects the
// module caches. Every interned name goes through interned().
#pragma once
#include <Python.h>

#include "error.hpp"

namespace ondalis {

// The interned str of `text`, made on the first call and kept in `slot`; the
// same object on every later call. A failed attempt (out of memory) raises
// and is retried by the next call.
inline PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  if (slot == nullptr) fail();
  return slot;
}

// The interned str of a string literal (or a constant C text), one slot per
// place of use.
#define ONDALIS_NAME(text)                                                         \
  ([]() -> PyObject* {                                                             \
    static PyObject* slot_ = nullptr;                                              \
    return ::ondalis::interned(slot_, text);                                       \
  }())

}  // namespace ondalis
