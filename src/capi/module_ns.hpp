// The module singleton and the lookups that go through its namespace: module
// attributes are looked up by name at each use, so rebinding one after import
// changes what the module's functions and methods see; methods of an object
// are called through ordinary attribute lookup so that subclass overrides run.
#pragma once
#include <Python.h>

#include <array>
#include <utility>

#include "error.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace ondalis::module_ns {

// The module object of this process (borrowed), or null before creation.
PyObject* singleton();
void set_singleton(PyObject* module);

// A module attribute (new reference); NameError "name '...' is not defined"
// when the attribute has been deleted.
Ref lookup(PyObject* name);
#define ONDALIS_LOOKUP(text) ::ondalis::module_ns::lookup(ONDALIS_NAME(text))

// getattr(obj, name). For a plain module object (such as the module's `np`)
// the attribute comes straight from the module's dict, which is what the
// interpreter's lookup finds there for any name the module type itself does
// not define; other objects, and names the dict lacks, take the full lookup.
Ref attr(PyObject* obj, PyObject* name);

// mapping[key] with the mapping's own KeyError.
Ref getitem(PyObject* mapping, PyObject* key);
// key in mapping
bool contains(PyObject* mapping, PyObject* key);

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

// Call a module function looked up by name at this moment.
template <class... Args>
Ref call_function(PyObject* name, Args... args) {
  Ref function = lookup(name);
  return call(function.get(), args...);
}

}  // namespace ondalis::module_ns
