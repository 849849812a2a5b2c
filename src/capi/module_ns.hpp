// The module singleton and the lookups that go through its namespace: module
// attributes are looked up by name at each use, so rebinding one after import
// changes what the module's functions and methods see.
#pragma once
#include <Python.h>

#include "error.hpp"
#include "names.hpp"
#include "protocol.hpp"
#include "ref.hpp"

namespace ondalis::module_ns {

// The module object of this process (borrowed), or null before creation.
PyObject* singleton();
void set_singleton(PyObject* module);

// A module attribute (new reference); NameError "name '...' is not defined"
// when the attribute has been deleted.
Ref lookup(PyObject* name);
#define ONDALIS_LOOKUP(text) ::ondalis::module_ns::lookup(ONDALIS_NAME(text))

// Call a module function looked up by name at this moment.
template <class... Args>
Ref call_function(PyObject* name, Args... args) {
  Ref function = lookup(name);
  return call(function.get(), args...);
}

}  // namespace ondalis::module_ns
