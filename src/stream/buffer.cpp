#include "buffer.hpp"

#include "../capi/error.hpp"

namespace ondalis::stream {

// The weak reference comes first: when the export fails, the constructor's
// body never finished and only the members are destroyed.
ExportedBuffer::ExportedBuffer(PyObject* exporter, int flags) {
  if (PyType_SUPPORTS_WEAKREFS(Py_TYPE(exporter)))
    pin_ = check(PyWeakref_NewRef(exporter, nullptr));
  check_status(PyObject_GetBuffer(exporter, &view_, flags));
}

}  // namespace ondalis::stream
