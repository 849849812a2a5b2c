// The object protocol (the C API's abstract.h), each job under one name: getattr,
// mapping and sequence items, len, `in`, and calls. Every result is an owned
// Ref; every failure throws python_error with the interpreter's exception set.
#pragma once
#include <Python.h>

#include <array>

#include "error.hpp"
#include "ref.hpp"

namespace ondalis {

// getattr(obj, name). For a plain module object (such as the module's `np`)
// the attribute comes straight from the module's dict, which is what the
// interpreter's lookup finds there for any name the module type itself does
// not define; other objects, and names the dict lacks, take the full lookup.
Ref attr(PyObject* obj, PyObject* name);
// getattr(obj, name) for a name given as C text.
Ref attr(PyObject* obj, const char* name);

// mapping[key] with the mapping's own KeyError.
Ref getitem(PyObject* mapping, PyObject* key);
// sequence[i], the index passed as an int object (so __getitem__ sees an int).
Ref item(PyObject* sequence, Py_ssize_t i);
// len(obj)
Py_ssize_t length(PyObject* obj);
// key in container
bool contains(PyObject* container, PyObject* key);

// Call a callable with positional arguments.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, args...};
  return check(PyObject_Vectorcall(callable, vector.data() + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Call a method looked up on an object (subclass overrides take part).
template <class... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> vector{self, args...};
  return check(PyObject_VectorcallMethod(name, vector.data(),
                                         (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

}  // namespace ondalis
