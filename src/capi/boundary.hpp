// The C API boundary: every function and method the interpreter calls is one
// of these wrappers around a body that returns a Ref and throws python_error.
#pragma once
#include <Python.h>

#include <exception>
#include <new>

#include "error.hpp"
#include "ref.hpp"

namespace ondalis {

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const python_error&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    // Nothing may unwind into the interpreter; report what the library threw.
    PyErr_SetString(PyExc_SystemError, error.what());
    return nullptr;
  }
}

// METH_FASTCALL | METH_KEYWORDS entry for Ref body(Self*, args, nargs, kwnames).
template <class Self, auto Body>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return guarded([&] { return Body(reinterpret_cast<Self*>(self), args, nargs, kwnames); });
}

}  // namespace ondalis

// The PyMethodDef entry of a fastcall body.
#define ONDALIS_METHOD(name, Self, body, doc)                                          \
  {                                                                                    \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(                  \
              &::ondalis::fastcall<Self, body>)),                                     \
        METH_FASTCALL | METH_KEYWORDS, doc                                             \
  }
