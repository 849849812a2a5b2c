// libsndfile's own descriptions of its format codes, for the package's
// summaries of a file.
#pragma once
#include <Python.h>

namespace ondalis::stream {

// format_description(code): libsndfile's text for a major format or an
// encoding code ("WAV (Microsoft)", "Signed 16 bit PCM"), or None.
PyObject* format_description(PyObject* module, PyObject* code);

}  // namespace ondalis::stream
