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

Ref attr(PyObject* obj, PyObject* name) {
  if (PyModule_CheckExact(obj)) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(obj), name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) fail();
  }
  return check(PyObject_GetAttr(obj, name));
}

Ref getitem(PyObject* mapping, PyObject* key) { return check(PyObject_GetItem(mapping, key)); }

bool contains(PyObject* mapping, PyObject* key) {
  return check_status(PySequence_Contains(mapping, key)) != 0;
}

}  // namespace ondalis::module_ns
