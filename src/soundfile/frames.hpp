// What reading and writing frames share: the four sample types, the checks
// that make an array safe to hand to libsndfile, and the recognition of
// numpy's own functions (when a module attribute still is one, the array can
// be made through numpy's C API with the same result and less overhead).
#pragma once
#include "../capi/numpy.hpp"

#include <cstdint>
#include <string>

#include "../capi/error.hpp"
#include "../capi/names.hpp"
#include "../capi/ref.hpp"

namespace ondalis::frames {

template <class T>
struct Sample;
template <>
struct Sample<double> {
  static constexpr int typenum = NPY_DOUBLE;
};
template <>
struct Sample<float> {
  static constexpr int typenum = NPY_FLOAT;
};
template <>
struct Sample<int> {
  static constexpr int typenum = NPY_INT32;
};
template <>
struct Sample<short> {
  static constexpr int typenum = NPY_SHORT;
};

// numpy's built-in description of a type number (borrowed: it lives as long
// as numpy does).
inline PyArray_Descr* builtin_descr(int typenum) {
  Ref descr = check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
  return reinterpret_cast<PyArray_Descr*>(descr.get());
}

// numpy's scalar type of a type number, such as numpy.float64 (borrowed).
inline PyObject* scalar_type(int typenum) {
  return reinterpret_cast<PyObject*>(builtin_descr(typenum)->typeobj);
}

// dtype == candidate as the interpreter decides it, with the answers that
// need no call: the same object, and two plain classes (their == is identity).
inline bool same_dtype(PyObject* dtype, PyObject* candidate) {
  if (dtype == candidate) return true;
  if (Py_IS_TYPE(dtype, &PyType_Type) && Py_IS_TYPE(candidate, &PyType_Type)) return false;
  return equal(dtype, candidate);
}

// dtype == candidate for an array's dtype and the np attribute of the
// element type `typenum`: numpy's dtype comparison answers it with
// PyArray_EquivTypes when the candidate is numpy's own scalar type, so that
// is asked directly; anything else goes to the interpreter.
inline bool same_element_type(PyObject* dtype, PyObject* candidate, int typenum) {
  PyArray_Descr* builtin = builtin_descr(typenum);
  if (candidate == reinterpret_cast<PyObject*>(builtin->typeobj) && PyArray_DescrCheck(dtype) &&
      Py_TYPE(dtype)->tp_richcompare == PyArrayDescr_Type.tp_richcompare)
    return PyArray_EquivTypes(reinterpret_cast<PyArray_Descr*>(dtype), builtin);
  return equal(dtype, candidate);
}

// The array that `source` (np.empty or np.require, which the caller may
// have rebound) handed back, checked before its memory goes to libsndfile:
// an ndarray holding `needed` native samples of type T, C-contiguous and
// aligned, and writable when libsndfile is to fill it.
template <class T>
PyArrayObject* checked_buffer(PyObject* array, const char* source, int64_t needed,
                              bool writable) {
  if (!PyArray_Check(array)) {
    PyErr_Format(PyExc_TypeError, "Ondalis::error::%s returned %.200s, not a numpy array",
                 source, Py_TYPE(array)->tp_name);
    fail();
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  PyArray_Descr* expected = builtin_descr(Sample<T>::typenum);
  if (!PyArray_EquivTypes(PyArray_DESCR(a), expected)) {
    PyErr_Format(PyExc_TypeError, "Ondalis::error::the array from %s holds %R, not %R",
                 source, reinterpret_cast<PyObject*>(PyArray_DESCR(a)),
                 reinterpret_cast<PyObject*>(expected));
    fail();
  }
  const char* fault = nullptr;
  if (!PyArray_IS_C_CONTIGUOUS(a)) fault = "is not C-contiguous";
  else if (!PyArray_ISALIGNED(a)) fault = "is not aligned";
  else if (writable && !PyArray_ISWRITEABLE(a)) fault = "is not writable";
  else if (PyArray_SIZE(a) < needed) fault = "is too small for the frames";
  if (fault != nullptr) {
    PyErr_Format(PyExc_RuntimeError, "Ondalis::error::the array from %s %s", source, fault);
    fail();
  }
  return a;
}

[[noreturn]] inline void raise_too_many_frames() {
  raise(PyExc_OverflowError, "Ondalis::error::too many frames");
}

// frames * channels, refused when it does not fit (no array could hold it).
inline int64_t sample_count(int64_t frames, int channels) {
  int64_t count;
  if (__builtin_mul_overflow(frames, static_cast<int64_t>(channels), &count))
    raise_too_many_frames();
  return count;
}

// numpy's own object `name` of its internal module `module` (numpy._core in
// numpy 2, numpy.core before), taken once and kept for the life of the
// process (borrowed), or null when numpy does not have it there.
inline PyObject* numpy_original(const char* module, const char* name) {
  for (const char* package : {"numpy._core.", "numpy.core."}) {
    Ref mod = Ref::steal(PyImport_ImportModule((std::string(package) + module).c_str()));
    PyObject* found = mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
    if (found != nullptr) return found;
    PyErr_Clear();
  }
  return nullptr;
}

}  // namespace ondalis::frames
