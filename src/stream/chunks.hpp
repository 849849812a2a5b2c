// The chunks of a stream's file, through libsndfile's chunk interface
// (chunks.cpp): the Stream methods chunks(), chunk_data() and set_chunk().
#pragma once
#include <Python.h>

namespace ondalis::stream {

// Stream.chunks(): [(id, size)] of every chunk libsndfile found, in file order.
PyObject* stream_chunks(PyObject* self, PyObject*);
// Stream.chunk_data(id): [bytes] of every chunk of that id, in file order.
PyObject* stream_chunk_data(PyObject* self, PyObject* id);
// Stream.set_chunk(id, data): adds a chunk to a file being written.
PyObject* stream_set_chunk(PyObject* self, PyObject* args);

}  // namespace ondalis::stream
