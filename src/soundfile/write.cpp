// Writing frames: a 1-D or 2-D array, checked against the file's channels and
// made row-major, goes to libsndfile in one call from the array's memory.
#include <sndfile.h>

#include <string>
#include <type_traits>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/module_ns.hpp"
#include "../sndfile/clip_scan.hpp"
#include "frames.hpp"
#include "late_strings.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

constexpr const char* kNotAnArray =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char* kBadDimensions =
    "Ondalis::write_frames::error cannot handle arrays of {0:d} dimensions, please restrict to  "
    "2 dimensions";
constexpr const char* kUnknownType = "type of input {0} not understood";
constexpr const char* kClipped =
    "write_frames::warning::audio data has been clipped while writing to file {0}.";
constexpr const char* kShortWrite =
    "write_frames::error::wrote {0:d} frames, expected to write {1:d}";

// The frames to write: a row-major array of nframes rows of the file's
// channels. The object, not its handle, is kept: the dtype comparisons and
// the clipping warning run Python code that may close it.
struct WriteRequest {
  SoundFile* self;
  int channels;
  int format;
  PyObject* np;
  PyObject* frames;  // the contiguous array
  int64_t nframes;
};

// numpy's own np.require, np.abs and np.max (borrowed), or null.
PyObject* numpy_require() {
  static PyObject* original = frames::numpy_original("_asarray", "require");
  return original;
}
PyObject* numpy_abs() {
  static PyObject* original = frames::numpy_original("_multiarray_umath", "absolute");
  return original;
}
PyObject* numpy_max() {
  static PyObject* original = frames::numpy_original("fromnumeric", "max");
  return original;
}

// True when np.<name> is still the object numpy itself provides.
bool is_numpy_own(PyObject* np, PyObject* name, PyObject* original) {
  if (original == nullptr) return false;
  Ref found = attr(np, name);
  return found.get() == original;
}

void check_is_array(PyObject* input) {
  if (PyArray_Check(input)) return;
  PyErr_Format(PyExc_TypeError, kNotAnArray, "input", PyArray_Type.tp_name,
               Py_TYPE(input)->tp_name);
  fail();
}

// The frame count of a 1-D or 2-D input whose channels match the file's.
int64_t frames_of(PyObject* input, int channels) {
  auto* a = reinterpret_cast<PyArrayObject*>(input);
  const int ndim = PyArray_NDIM(a);
  int64_t columns;
  int64_t nframes;
  if (ndim == 2) {
    columns = PyArray_DIM(a, 1);
    if (columns == 0) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    nframes = PyArray_DIM(a, 0);
  } else if (ndim == 1) {
    columns = 1;
    nframes = PyArray_SIZE(a);
  } else {
    raise_format(PyExc_ValueError, kBadDimensions, ndim);
  }
  if (columns != channels) {
    std::string text =
        "Expected " + std::to_string(channels) + " channels, got " + std::to_string(columns);
    raise(PyExc_ValueError, text.c_str());
  }
  return nframes;
}

// input[:, None]
Ref as_column(PyObject* input) {
  Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
  Ref index = check(PyTuple_Pack(2, all.get(), Py_None));
  return check(PyObject_GetItem(input, index.get()));
}

// np.require(array, requirements='C').
Ref require_contiguous(PyObject* np, PyObject* array) {
  static PyObject* kwnames = PyTuple_Pack(1, ONDALIS_NAME("requirements"));
  if (kwnames == nullptr) fail();
  Ref require = attr(np, ONDALIS_NAME("require"));
  PyObject* argv[] = {array, ONDALIS_NAME("C")};
  Ref result = check(PyObject_Vectorcall(require.get(), argv, 1, kwnames));
  if (!PyArray_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "Ondalis::error::np.require returned %.200s, not a numpy array",
                 Py_TYPE(result.get())->tp_name);
    fail();
  }
  return result;
}

// The input as a row-major array of its frames. When the input is a plain
// ndarray and np.require is numpy's own, numpy's C API gives the same memory
// that np.require would (the array itself when already row-major, else a
// row-major copy) without the call and the column view.
Ref required_frames(PyObject* np, PyObject* input) {
  if (PyArray_CheckExact(input) && is_numpy_own(np, ONDALIS_NAME("require"), numpy_require())) {
    auto* a = reinterpret_cast<PyArrayObject*>(input);
    if (PyArray_IS_C_CONTIGUOUS(a)) return Ref::borrow(input);
    return check(PyArray_NewCopy(a, NPY_CORDER));
  }
  Ref view = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(input)) == 1 ? as_column(input)
                                                                          : Ref::borrow(input);
  return require_contiguous(np, view.get());
}

// Row-major frames in memory aligned for the samples: np.require leaves a
// misaligned array (one made from a buffer at an odd offset) as it is, and
// libsndfile must not read samples from misaligned addresses, so such an
// array is copied once.
Ref contiguous_frames(PyObject* np, PyObject* input) {
  Ref frames = required_frames(np, input);
  auto* a = reinterpret_cast<PyArrayObject*>(frames.get());
  if (PyArray_IS_C_CONTIGUOUS(a) && !PyArray_ISALIGNED(a))
    return check(PyArray_NewCopy(a, NPY_CORDER));
  return frames;
}

// np.max(np.abs(frames.flat)) > 1.0, in one pass over the memory when all
// three are numpy's own.
template <class T>
bool clipped(const WriteRequest& r) {
  auto* a = reinterpret_cast<PyArrayObject*>(r.frames);
  if (PyArray_CheckExact(r.frames) && is_numpy_own(r.np, ONDALIS_NAME("abs"), numpy_abs()) &&
      is_numpy_own(r.np, ONDALIS_NAME("max"), numpy_max()))
    return clip::beyond_unit(static_cast<const T*>(PyArray_DATA(a)), PyArray_SIZE(a));
  Ref flat = check(PyObject_GetAttr(r.frames, ONDALIS_NAME("flat")));
  Ref abs = attr(r.np, ONDALIS_NAME("abs"));
  Ref magnitudes = call(abs.get(), flat.get());
  Ref max = attr(r.np, ONDALIS_NAME("max"));
  Ref peak = call(max.get(), magnitudes.get());
  Ref one = py_float(1.0);
  return greater(peak.get(), one.get());
}

// Floating-point data beyond [-1, 1] going into an integer encoding.
template <class T>
void warn_if_clipped(const WriteRequest& r) {
  if (clip::stores_floats(r.format)) return;
  if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(r.frames)) == 0 || !clipped<T>(r)) return;
  Ref text = format(kClipped, py_str(r.self->filename.data(), r.self->filename.size()));
  Ref warnings = ONDALIS_LOOKUP("warnings");
  Ref warn = check(PyObject_GetAttr(warnings.get(), ONDALIS_NAME("warn")));
  call(warn.get(), text.get());
}

template <class T>
Ref write_typed(const WriteRequest& r) {
  PyArrayObject* buffer = frames::checked_buffer<T>(
      r.frames, "np.require", frames::sample_count(r.nframes, r.channels), false);
  const T* data = static_cast<const T*>(PyArray_DATA(buffer));
  std::vector<T> limited;  // the samples an integer encoding is given instead
  if constexpr (std::is_floating_point_v<T>) {
    warn_if_clipped<T>(r);
    if (!clip::stores_floats(r.format) && clip::limited(data, PyArray_SIZE(buffer), limited))
      data = limited.data();
  }
  sf_count_t written = open_handle(r.self).writef(data, r.nframes);
  if (written > 0) late_strings::note_frames(r.self);
  if (written != r.nframes) raise_format(PyExc_OSError, kShortWrite, written, r.nframes);
  return py_int(r.nframes);
}

// dtype == np.<name>, the element type of T.
template <class T>
bool holds(const WriteRequest& r, PyObject* dtype, PyObject* name) {
  Ref candidate = attr(r.np, name);
  return frames::same_element_type(dtype, candidate.get(), frames::Sample<T>::typenum);
}

// The writer whose element type equals the array's dtype, in the documented order.
Ref write_by_dtype(const WriteRequest& r) {
  Ref dtype = check(PyObject_GetAttr(r.frames, ONDALIS_NAME("dtype")));
  if (holds<double>(r, dtype.get(), ONDALIS_NAME("float64"))) return write_typed<double>(r);
  if (holds<float>(r, dtype.get(), ONDALIS_NAME("float32"))) return write_typed<float>(r);
  if (holds<int>(r, dtype.get(), ONDALIS_NAME("int32"))) return write_typed<int>(r);
  if (holds<short>(r, dtype.get(), ONDALIS_NAME("short"))) return write_typed<short>(r);
  Ref text = check(PyObject_Str(dtype.get()));
  raise_format(PyExc_RuntimeError, kUnknownType, text);
}

Ref write_frames(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("write_frames", 1, "input");
  auto [input] = params.parse(args, nargs, kwnames);
  check_is_array(input);
  SndfileHandle& handle = open_handle(self);
  const int channels = handle.channels();
  const int format = handle.format();
  int64_t nframes = frames_of(input, channels);
  Ref np = ONDALIS_LOOKUP("np");
  Ref frames = contiguous_frames(np.get(), input);
  return write_by_dtype(WriteRequest{self, channels, format, np.get(), frames.get(), nframes});
}

}  // namespace

PyMethodDef write_methods[] = {
    ONDALIS_SF_METHOD(
        "write_frames", write_frames,
        "write_frames($self, input)\n--\n\n"
        "Writes the numpy array input at the current write position and returns the\n"
        "number of frames written. Rows are frames and columns channels (as many as\n"
        "the file has); a 1-D array is one channel. The element type is float64,\n"
        "float32, int32 or int16; any memory layout is taken.\n"
        "\n"
        "Floating-point data beyond [-1, 1] written to an integer encoding are\n"
        "stored at full scale and give a UserWarning. Raises TypeError when input is\n"
        "not a numpy array; ValueError for another number of dimensions or of\n"
        "channels; RuntimeError for another element type and on a closed object;\n"
        "IOError when libsndfile writes fewer frames (file opened for reading, disk\n"
        "full)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
