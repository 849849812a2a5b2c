#include "module_ns.hpp"

namespace ondalis::module_ns {
namespace {
PyObject* the_module = nullptr;
}

PyObject* singleton() { return the_module; }
void set_singleton(PyObject* module) { the_module = module; }

Ref lookup(PyObject* name) {
  if (name == nullptr) fail();
  if (the_module == nullptr) raise(PyExc_RuntimeError, "module '_ondalis' is not initialised");
  PyObject* dict = PyModule_GetDict(the_module);
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    fail();
  }
  return Ref::borrow(value);
}

}  // namespace ondalis::module_ns
