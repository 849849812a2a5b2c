#include "frames.hpp"

#include <algorithm>
#include <cstdint>

#include "../capi/error.hpp"

namespace ondalis::stream {

sf_count_t read_typed(SNDFILE* file, int typenum, void* data, sf_count_t frames) {
  switch (typenum) {
    case NPY_FLOAT64: return sf_readf_double(file, static_cast<double*>(data), frames);
    case NPY_FLOAT32: return sf_readf_float(file, static_cast<float*>(data), frames);
    case NPY_INT32: return sf_readf_int(file, static_cast<int*>(data), frames);
    default: return sf_readf_short(file, static_cast<short*>(data), frames);
  }
}

sf_count_t write_typed(SNDFILE* file, int typenum, const void* data, sf_count_t frames) {
  switch (typenum) {
    case NPY_FLOAT64: return sf_writef_double(file, static_cast<const double*>(data), frames);
    case NPY_FLOAT32: return sf_writef_float(file, static_cast<const float*>(data), frames);
    case NPY_INT32: return sf_writef_int(file, static_cast<const int*>(data), frames);
    default: return sf_writef_short(file, static_cast<const short*>(data), frames);
  }
}

namespace {

bool supported(int typenum) {
  return typenum == NPY_FLOAT64 || typenum == NPY_FLOAT32 || typenum == NPY_INT32 ||
         typenum == NPY_INT16;
}

void resize(Ref& array, sf_count_t frames) {
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  npy_intp shape[2] = {static_cast<npy_intp>(frames), PyArray_NDIM(a) == 2 ? PyArray_DIM(a, 1) : 1};
  PyArray_Dims dims{shape, PyArray_NDIM(a)};
  Ref resized = check(PyArray_Resize(a, &dims, 0, NPY_CORDER));
}

// The checks both directions share; the array's frame count.
sf_count_t checked_frames(PyObject* object, int channels, int flags, const char* what) {
  if (!PyArray_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a numpy array, not %.100s", what,
                 Py_TYPE(object)->tp_name);
    fail();
  }
  auto* a = reinterpret_cast<PyArrayObject*>(object);
  if (!supported(PyArray_TYPE(a)) || !PyArray_ISNOTSWAPPED(a)) {
    PyErr_Format(PyExc_TypeError,
                 "%s must hold float64, float32, int32 or int16 in native byte order", what);
    fail();
  }
  if ((PyArray_FLAGS(a) & flags) != flags) {
    PyErr_Format(PyExc_ValueError, "%s must be C-contiguous and aligned%s", what,
                 (flags & NPY_ARRAY_WRITEABLE) ? " and writable" : "");
    fail();
  }
  int ndim = PyArray_NDIM(a);
  bool fits = ndim == 2 ? PyArray_DIM(a, 1) == channels : ndim == 1 && channels == 1;
  if (!fits) {
    PyErr_Format(PyExc_ValueError, "%s must have shape (frames, %d)%s", what, channels,
                 channels == 1 ? " or (frames,)" : "");
    fail();
  }
  return PyArray_DIM(a, 0);
}

template <class T>
void fill_typed(void* data, npy_intp from, npy_intp to, double value) {
  std::fill(static_cast<T*>(data) + from, static_cast<T*>(data) + to, static_cast<T>(value));
}

}  // namespace

int checked_typenum(PyObject* value) {
  long typenum = PyLong_AsLong(value);
  if (typenum == -1 && PyErr_Occurred()) fail();
  if (!supported(static_cast<int>(typenum)))
    raise(PyExc_ValueError, "dtype must be float64, float32, int32 or int16");
  return static_cast<int>(typenum);
}

Ref new_frames(sf_count_t frames, int channels, int typenum, bool two_d) {
  npy_intp shape[2] = {static_cast<npy_intp>(frames), channels};
  int ndim = (channels == 1 && !two_d) ? 1 : 2;
  return check(PyArray_EMPTY(ndim, shape, typenum, 0));
}

void shrink(Ref& array, sf_count_t frames) {
  if (PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0) != frames) resize(array, frames);
}

void grow(Ref& array, sf_count_t frames) { resize(array, frames); }

PyArrayObject* checked_out(PyObject* out, int channels) {
  checked_frames(out, channels, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE,
                 "out");
  return reinterpret_cast<PyArrayObject*>(out);
}

sf_count_t checked_in(PyObject* data, int channels) {
  return checked_frames(data, channels, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, "data");
}

Ref first_frames(PyArrayObject* array, sf_count_t frames) {
  auto* object = reinterpret_cast<PyObject*>(array);
  if (PyArray_DIM(array, 0) == frames) return Ref::borrow(object);
  return check(PySequence_GetSlice(object, 0, static_cast<Py_ssize_t>(frames)));
}

void fill_frames(PyArrayObject* array, sf_count_t from, sf_count_t to, int channels, double value) {
  npy_intp a = static_cast<npy_intp>(from) * channels, b = static_cast<npy_intp>(to) * channels;
  void* data = PyArray_DATA(array);
  switch (PyArray_TYPE(array)) {
    case NPY_FLOAT64: return fill_typed<double>(data, a, b, value);
    case NPY_FLOAT32: return fill_typed<float>(data, a, b, value);
    case NPY_INT32: return fill_typed<int32_t>(data, a, b, value);
    default: return fill_typed<int16_t>(data, a, b, value);
  }
}

}  // namespace ondalis::stream
