#pragma once
#include <Python.h>

namespace ondalis {

// Create the eleven record classes in the module namespace.
void bind_records(PyObject* module);

}  // namespace ondalis
