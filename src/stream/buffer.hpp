// Memory a caller lends the streaming path through the buffer protocol: the
// bytes a stream reads from, the array blocks are read into.
#pragma once
#include <Python.h>
#include <sndfile.h>

#include <cstddef>
#include <cstring>

#include "../capi/ref.hpp"

namespace ondalis::stream {

// What a buffer written into is exported with.
inline constexpr int kWritableBuffer = PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS;

// A Python buffer exported for as long as the holder lives, so that its
// memory stays where it is: a bytearray or array.array refuses to resize
// while exported. A numpy array does not (resize(refcheck=False) moves its
// memory under a held export) but refuses while it has a weak reference, so
// one is held beside the export.
class ExportedBuffer {
 public:
  explicit ExportedBuffer(PyObject* exporter, int flags = PyBUF_SIMPLE);
  ~ExportedBuffer() { PyBuffer_Release(&view_); }
  ExportedBuffer(const ExportedBuffer&) = delete;
  ExportedBuffer& operator=(const ExportedBuffer&) = delete;
  const char* data() const { return static_cast<const char*>(view_.buf); }
  sf_count_t size() const { return view_.len; }
  // The object that lent the memory.
  PyObject* exporter() const { return view_.obj; }
  // The collector's visit of the exporter and the weak reference.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(view_.obj);
    Py_VISIT(pin_.get());
    return 0;
  }

 private:
  Ref pin_;  // the weak reference, for an exporter that takes one
  Py_buffer view_{};
};

// Copies bytes where either side may be lent memory. The two may overlap (an
// out array may lie over the very bytes a stream reads from), hence memmove;
// n == 0 is allowed with null pointers (an empty vector's data()).
inline void copy_bytes(void* to, const void* from, std::size_t n) {
  if (n > 0) std::memmove(to, from, n);
}

}  // namespace ondalis::stream
