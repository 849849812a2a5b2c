// Reading frames: one new array per call, filled by one libsndfile read
// straight into its memory (a read to the end of a file of unknown length
// takes as many as it needs).
#include <cstring>
#include <string>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/module_ns.hpp"
#include "frames.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

constexpr const char* kUnsupportedDtype = "Sorry, dtype %S not supported";  // str(dtype)
constexpr int kReadPosition = SEEK_CUR | SFM_READ;
// libsndfile's frame count for a file whose length it does not know.
constexpr sf_count_t kUnknownLength = SF_COUNT_MAX;
// The first array of a read to the end of such a file, in frames; it
// doubles whenever it fills up.
constexpr int64_t kFirstChunk = int64_t{1} << 16;

// The arguments a typed reader needs besides the array's element type. The
// object, not its handle, is kept: choosing the element type and making the
// array run Python code (__eq__, a rebound np.empty) that may close it.
struct ReadRequest {
  SoundFile* self;
  int channels;
  PyObject* np;
  int64_t nframes;
  PyObject* fill_value;  // null when not given
  PyObject* min_read;    // null when not given
  // A mono read whose result will be one-dimensional: numpy's own np.empty
  // then makes it (n,) at once, which is the array the reshape of (n, 1)
  // would give, without the reshape.
  bool flat;
  // No count was given: the read goes to the end of the file. When
  // libsndfile does not know where that is, nframes is not used.
  bool to_end;
  bool unknown_length;
};

// Whether force_2d is known false without running Python code (absent, or a
// plain bool or int), so the result's shape can be chosen before reading.
bool plainly_false(PyObject* force_2d) {
  if (force_2d == nullptr) return true;
  if (PyBool_Check(force_2d) || PyLong_CheckExact(force_2d)) return !PyObject_IsTrue(force_2d);
  return false;
}

// numpy's own np.empty (borrowed), or null when it cannot be found.
PyObject* numpy_empty() {
  static PyObject* original = frames::numpy_original("_multiarray_umath", "empty");
  return original;
}

// The keyword names of the np.empty call: dtype, order.
PyObject* empty_kwnames() {
  static PyObject* names = PyTuple_Pack(2, ONDALIS_NAME("dtype"), ONDALIS_NAME("order"));
  if (names == nullptr) fail();
  return names;
}

// np.empty((nframes, channels), dtype=element, order='C'), through numpy's C
// API when both np.empty and the element type are numpy's own.
template <class T>
Ref empty_frames(const ReadRequest& r, PyObject* element) {
  Ref empty = attr(r.np, ONDALIS_NAME("empty"));
  const int channels = r.channels;
  if (empty.get() == numpy_empty() && element == frames::scalar_type(frames::Sample<T>::typenum)) {
    npy_intp dims[2] = {static_cast<npy_intp>(r.nframes), channels};
    return check(PyArray_Empty(r.flat ? 1 : 2, dims,
                               PyArray_DescrFromType(frames::Sample<T>::typenum), 0));
  }
  Ref shape = check(Py_BuildValue("(Li)", static_cast<long long>(r.nframes), channels));
  PyObject* argv[] = {shape.get(), element, ONDALIS_NAME("C")};
  return check(PyObject_Vectorcall(empty.get(), argv, 1, empty_kwnames()));
}

[[noreturn]] void raise_short_read(int64_t asked, int64_t read) {
  std::string text = "Asked " + std::to_string(asked) + " frames, read " + std::to_string(read);
  raise(PyExc_RuntimeError, text.c_str());
}

// The array as (frames, channels): a mono result made one-dimensional at
// once is viewed as (n, 1), so that a fill value is assigned to rows as it
// would be before the reshape.
Ref rows(const ReadRequest& r, PyObject* array) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  if (!r.flat || PyArray_NDIM(a) != 1) return Ref::borrow(array);
  npy_intp dims[2] = {PyArray_DIM(a, 0), 1};
  PyArray_Dims shape = {dims, 2};
  return check(PyArray_Newshape(a, &shape, NPY_CORDER));
}

// A short read: the error, the end of file, or the missing rows filled.
void finish_short_read(const ReadRequest& r, PyObject* array, int64_t read) {
  if (r.fill_value == nullptr || r.fill_value == Py_None) raise_short_read(r.nframes, read);
  Ref count = py_int(read);
  Ref zero = py_int(0);
  if (less_equal(count.get(), r.min_read != nullptr ? r.min_read : zero.get())) {
    PyErr_SetNone(PyExc_EOFError);
    fail();
  }
  Ref rest = check(PySlice_New(count.get(), Py_None, Py_None));
  check_status(PyObject_SetItem(rows(r, array).get(), rest.get(), r.fill_value));
}

// A new array for `count` frames, made by np.empty as empty_frames makes it,
// and the memory libsndfile reads into.
template <class T>
struct FrameArray {
  Ref array;
  T* data;
};

template <class T>
FrameArray<T> new_frames(ReadRequest r, PyObject* element, int64_t count) {
  r.nframes = count;
  Ref array = empty_frames<T>(r, element);
  PyArrayObject* buffer = frames::checked_buffer<T>(
      array.get(), "np.empty", frames::sample_count(count, r.channels), true);
  return {std::move(array), static_cast<T*>(PyArray_DATA(buffer))};
}

// A new array holding the first `count` frames of `from` (which holds more),
// so that no unused rows stay allocated. Making it may run Python code, which
// cannot free `from`: the caller holds it.
template <class T>
Ref leading_frames(const ReadRequest& r, PyObject* element, const FrameArray<T>& from,
                   int64_t count) {
  FrameArray<T> to = new_frames<T>(r, element, count);
  std::memmove(to.data, from.data, frames::sample_count(count, r.channels) * sizeof(T));
  return std::move(to.array);
}

// A read to the end of a file whose length libsndfile does not know: frames
// are read into an array that doubles when it fills up, until libsndfile
// delivers fewer than asked; the result holds exactly the frames read.
template <class T>
Ref read_to_end(const ReadRequest& r, PyObject* element) {
  int64_t capacity = kFirstChunk;
  FrameArray<T> buffer = new_frames<T>(r, element, capacity);
  int64_t read = 0;
  for (;;) {
    read += open_handle(r.self).readf(buffer.data + read * r.channels, capacity - read);
    if (read < capacity) return leading_frames<T>(r, element, buffer, read);
    if (__builtin_mul_overflow(capacity, 2, &capacity)) frames::raise_too_many_frames();
    FrameArray<T> grown = new_frames<T>(r, element, capacity);
    std::memcpy(grown.data, buffer.data, frames::sample_count(read, r.channels) * sizeof(T));
    buffer = std::move(grown);
  }
}

template <class T>
Ref read_typed(const ReadRequest& r, PyObject* element) {
  if (r.unknown_length) return read_to_end<T>(r, element);
  FrameArray<T> buffer = new_frames<T>(r, element, r.nframes);
  sf_count_t read = open_handle(r.self).readf(buffer.data, r.nframes);
  if (read == r.nframes) return std::move(buffer.array);
  // The file ended before the length libsndfile announced: a read to the end
  // without a fill value gives the frames there were.
  if (r.to_end && (r.fill_value == nullptr || r.fill_value == Py_None))
    return leading_frames<T>(r, element, buffer, read);
  finish_short_read(r, buffer.array.get(), read);
  return std::move(buffer.array);
}

// np.<name> when dtype equals it, else null.
Ref matching(PyObject* np, PyObject* dtype, PyObject* name) {
  Ref candidate = attr(np, name);
  return frames::same_dtype(dtype, candidate.get()) ? std::move(candidate) : Ref();
}

// The reader whose element type equals dtype, tried in the documented order.
Ref read_by_dtype(const ReadRequest& r, PyObject* dtype) {
  if (Ref t = matching(r.np, dtype, ONDALIS_NAME("float64"))) return read_typed<double>(r, t.get());
  if (Ref t = matching(r.np, dtype, ONDALIS_NAME("float32"))) return read_typed<float>(r, t.get());
  if (Ref t = matching(r.np, dtype, ONDALIS_NAME("int32"))) return read_typed<int>(r, t.get());
  if (matching(r.np, dtype, ONDALIS_NAME("int16"))) {
    Ref element = attr(r.np, ONDALIS_NAME("short"));
    return read_typed<short>(r, element.get());
  }
  Ref text = check(PyUnicode_FromFormat(kUnsupportedDtype, dtype));
  PyErr_SetObject(PyExc_RuntimeError, text.get());
  fail();
}

// A mono result becomes one-dimensional, in place, unless 2-D was asked for.
void flatten_mono(PyObject* array, PyObject* force_2d) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  if (PyArray_NDIM(a) < 2 || PyArray_DIM(a, 1) != 1) return;
  if (force_2d != nullptr && truth(force_2d)) return;
  Ref shape = check(Py_BuildValue("(n)", static_cast<Py_ssize_t>(PyArray_DIM(a, 0))));
  check_status(PyObject_SetAttr(array, ONDALIS_NAME("shape"), shape.get()));
}

Ref read_frames(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<5> params("read_frames", 0, "nframes", "dtype", "force_2d", "fill_value",
                          "min_read");
  auto [nframes_arg, dtype, force_2d, fill_value, min_read] = params.parse(args, nargs, kwnames);
  int64_t nframes = nframes_arg != nullptr ? index_int64(nframes_arg) : -1;
  SndfileHandle& handle = open_handle(self);
  const bool to_end = nframes < 0;
  const bool unknown_length = to_end && handle.frames() == kUnknownLength;
  // The frames left: the count at open minus the read position. A failed
  // position query answers -1, so the difference may not fit.
  if (to_end && !unknown_length &&
      __builtin_sub_overflow(handle.frames(), handle.seek(0, kReadPosition), &nframes))
    frames::raise_too_many_frames();
  const int channels = handle.channels();
  Ref np = ONDALIS_LOOKUP("np");
  ReadRequest request{self,       channels, np.get(), nframes, fill_value, min_read,
                      channels == 1 && plainly_false(force_2d), to_end, unknown_length};
  Ref result = read_by_dtype(request, or_default(dtype, read_default_dtype()));
  flatten_mono(result.get(), force_2d);
  return result;
}

}  // namespace

PyMethodDef read_methods[] = {
    ONDALIS_SF_METHOD(
        "read_frames", read_frames,
        "read_frames($self, nframes=-1, dtype=numpy.float64, force_2d=False, fill_value=None, min_read=0)\n"
        "--\n\n"
        "Reads frames from the current read position into a new array and returns it:\n"
        "shape (nframes, channels), or one dimension for a mono file unless force_2d\n"
        "is true.\n"
        "\n"
        "nframes: the number of frames; a negative value reads to the end of the\n"
        "file (in growing chunks when libsndfile does not know its length; only the\n"
        "frames there are when the file ends before the length it announced and no\n"
        "fill_value is given). dtype: numpy.float64 (the default), numpy.float32,\n"
        "numpy.int32 or numpy.int16; floats are full scale at 1.0. fill_value: when\n"
        "given, a read that ends early fills the missing rows with it instead of\n"
        "failing, unless no more than min_read frames were read, which raises\n"
        "EOFError.\n"
        "\n"
        "Raises RuntimeError for another dtype, for a short read without fill_value\n"
        "and on a closed object; TypeError or OverflowError for an nframes that is\n"
        "not a 64-bit integer."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
