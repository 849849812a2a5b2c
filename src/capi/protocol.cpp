#include "protocol.hpp"

namespace ondalis {

Ref attr(PyObject* obj, PyObject* name) {
  if (PyModule_CheckExact(obj)) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(obj), name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) fail();
  }
  return check(PyObject_GetAttr(obj, name));
}

Ref attr(PyObject* obj, const char* name) {
  Ref key = check(PyUnicode_FromString(name));
  return attr(obj, key.get());
}

Ref getitem(PyObject* mapping, PyObject* key) { return check(PyObject_GetItem(mapping, key)); }

Ref item(PyObject* sequence, Py_ssize_t i) {
  Ref index = check(PyLong_FromSsize_t(i));
  return getitem(sequence, index.get());
}

Py_ssize_t length(PyObject* obj) {
  Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) fail();
  return n;
}

bool contains(PyObject* container, PyObject* key) {
  return check_status(PySequence_Contains(container, key)) != 0;
}

}  // namespace ondalis
