#pragma once
#include <Python.h>

namespace ondalis {

// Create module functions from a method table, in table order.
void add_functions(PyObject* module, PyMethodDef* table);

// _ondalis_version, the contract's (1, 5, 3), and get_ondalis_version
void bind_version_function(PyObject* module);
void bind_catalogue_functions(PyObject* module);  // get_sndfile_version ... get_sndfile_formats
void bind_construct_format(PyObject* module);     // construct_format

// The result checkers, created in their place in the module's order.
extern PyMethodDef checker_functions[];

}  // namespace ondalis
