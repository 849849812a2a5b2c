// numpy's C API, shared by every file that uses it (one API table, imported
// once by the module's initialisation).
#pragma once
#include <Python.h>

#ifndef NPY_TARGET_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#endif
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#ifndef PY_ARRAY_UNIQUE_SYMBOL
#define PY_ARRAY_UNIQUE_SYMBOL ondalis_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
