// Interned attribute and method names, created once on first use and kept for
// the life of the process (the only objects the module caches).
#pragma once
#include <Python.h>

#include "error.hpp"

namespace ondalis {

// Returns the interned str for a string literal; the same object on every call.
// A failed first attempt (out of memory) raises and is retried by the next call.
#define ONDALIS_NAME(text)                                                         \
  ([]() -> PyObject* {                                                             \
    static PyObject* interned_ = nullptr;                                          \
    if (interned_ == nullptr) interned_ = PyUnicode_InternFromString(text);        \
    if (interned_ == nullptr) ::ondalis::fail();                                   \
    return interned_;                                                              \
  }())

}  // namespace ondalis
