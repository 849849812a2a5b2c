#pragma once
#include <Python.h>

namespace ondalis {

// Bind `_max_supported_string_length_tuple` and `max_supported_string_length`.
void bind_string_length_table(PyObject* module);
// Bind the three format-code masks.
void bind_masks(PyObject* module);
// Bind the nine lookup tables, each as tuple, name-to-id dict, id-to-name dict.
void bind_tables(PyObject* module);

}  // namespace ondalis
