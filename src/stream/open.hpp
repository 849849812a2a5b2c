// Opening a stream on any source the streaming path takes.
#pragma once
#include <Python.h>

#include "stream.hpp"

namespace ondalis::stream {

// Opens `source` with s.mode and s.info (the format, channels and rate for
// writing or for headerless input); OSError with libsndfile's reason (or the
// file object's own exception) when libsndfile refuses, TypeError for a
// source of another kind.
void open_source(StreamState& s, PyObject* source);

// An attribute of the io module (a type), looked up once and kept for the
// life of the process in `slot`; borrowed.
PyObject* io_attribute(PyObject*& slot, const char* name);

}  // namespace ondalis::stream
