#include "describe.hpp"

#include <sndfile.h>

#include <climits>
#include <cstring>

#include "../capi/boundary.hpp"

namespace ondalis::stream {

PyObject* format_description(PyObject*, PyObject* code) {
  return guarded([&] {
    long value = PyLong_AsLong(code);
    if (value == -1 && PyErr_Occurred()) fail();
    SF_FORMAT_INFO info{};
    // libsndfile answers from its own tables: no file, no lock.
    info.format = value < INT_MIN || value > INT_MAX ? 0 : static_cast<int>(value);
    if (info.format == 0 || sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 ||
        info.name == nullptr)
      return Ref::borrow(Py_None);
    return check(PyUnicode_DecodeUTF8(info.name, static_cast<Py_ssize_t>(std::strlen(info.name)),
                                      "replace"));
  });
}

}  // namespace ondalis::stream
