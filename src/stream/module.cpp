// The module ondalis._stream: the Stream and Blocks types and the one-call
// functions that the package's read and blocks use.
#define PY_ARRAY_UNIQUE_SYMBOL ondalis_ARRAY_API
#include "../capi/numpy.hpp"

#include <algorithm>
#include <limits>

#include "../capi/boundary.hpp"
#include "../chunks/rules.hpp"
#include "blocks.hpp"
#include "check.hpp"
#include "describe.hpp"
#include "frames.hpp"
#include "stream.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {
namespace {

bool length_unknown(const SF_INFO& info) {
  return info.frames == kUnknownLength || !info.seekable;
}

// A slice bound (negative: from the end) clamped to [0, total].
sf_count_t clamped(sf_count_t bound, sf_count_t total) {
  return bound < 0 ? std::max<sf_count_t>(bound + total, 0) : std::min(bound, total);
}

// Moves to `start` (negative: from the end), clamped to the file as a slice
// is; returns the frames from there to the end, or -1 when the length is
// unknown.
sf_count_t go_to_start(Stream* stream, sf_count_t start) {
  const SF_INFO& info = stream->state.info;
  if (length_unknown(info)) {
    if (start < 0) raise(PyExc_ValueError, "start cannot count from the end of a stream of unknown length");
    if (start > 0 && !info.seekable) raise(PyExc_ValueError, "cannot start past the first frame: the stream cannot seek");
    if (start > 0) seek_frames(stream, start, SEEK_SET);
    return -1;
  }
  start = clamped(start, info.frames);
  if (start > 0) seek_frames(stream, start, SEEK_SET);
  return info.frames - start;
}

// The frames from `start` to `stop`, both taken as a slice takes them.
sf_count_t frames_to_stop(const SF_INFO& info, sf_count_t start, sf_count_t stop) {
  if (length_unknown(info)) {
    if (stop < 0) raise(PyExc_ValueError, "stop cannot count from the end of a stream of unknown length");
    return std::max<sf_count_t>(stop - start, 0);
  }
  return std::max<sf_count_t>(clamped(stop, info.frames) - clamped(start, info.frames), 0);
}

// Moves to `start` and returns how many frames to read: up to `stop` when it
// is not None, else `frames` (< 0: all that are left) within what is left
// (-1: unknown), or all of `frames` when those past the end are padded.
sf_count_t go_to_span(Stream* stream, sf_count_t start, sf_count_t frames, PyObject* stop,
                      bool padded = false) {
  sf_count_t left = go_to_start(stream, start);
  if (stop != nullptr && stop != Py_None) {
    long long end = PyLong_AsLongLong(stop);
    if (end == -1 && PyErr_Occurred()) fail();
    return frames_to_stop(stream->state.info, start, end);
  }
  if (frames < 0) return left;
  return left < 0 || padded ? frames : std::min(frames, left);
}

Stream* as_stream(Ref& object) { return reinterpret_cast<Stream*>(object.get()); }

// Runs `body`, closing the stream if it fails (the body's exception wins
// over a failing close) and, when `close_after`, after it succeeds too.
template <class Body>
Ref closing(Ref& stream, Body&& body, bool close_after = true) {
  Ref result;
  try {
    result = body();
  } catch (const python_error&) {
    PendingError error;
    error.take();
    try {
      close_stream(as_stream(stream));
    } catch (const python_error&) {
      PyErr_Clear();
    }
    error.restore();
    throw;
  }
  if (close_after) close_stream(as_stream(stream));
  return result;
}

// The stream a read or a blocks call reads, and its checked sample type
// (a named struct, not structured bindings: lambdas capture those only from
// clang 16 on, and the fuzzing build uses the system's clang).
struct Opened {
  int typenum;
  Ref stream;
};

Opened open_typed(PyObject* source, int typenum, int format, int channels, int samplerate,
                  bool truncate) {
  Ref kind = check(PyLong_FromLong(typenum));
  int checked = checked_typenum(kind.get());
  Opened opened{checked, open_stream(source, "r", format, channels, samplerate)};
  as_stream(opened.stream)->state.truncate_damage = truncate;
  return opened;
}

PyObject* read_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"source", "frames", "start", "dtype", "always_2d", "out",
                                "format", "channels", "samplerate", "stop", "truncate", nullptr};
  PyObject *source, *out = nullptr, *stop = nullptr;
  long long frames = -1, start = 0;
  int typenum = NPY_FLOAT64, two_d = 0, format = 0, channels = 0, samplerate = 0, truncate = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|LLipOiiiOp:read", const_cast<char**>(names),
                                   &source, &frames, &start, &typenum, &two_d, &out, &format,
                                   &channels, &samplerate, &stop, &truncate))
    return nullptr;
  return guarded([&] {
    Opened opened = open_typed(source, typenum, format, channels, samplerate, truncate != 0);
    Ref& stream = opened.stream;
    Ref data = closing(stream, [&] {
      sf_count_t count = go_to_span(as_stream(stream), start, frames, stop);
      return read_frames(as_stream(stream), count, opened.typenum, two_d, out);
    });
    return check(Py_BuildValue("(Ni)", data.release(), as_stream(stream)->state.info.samplerate));
  });
}

PyObject* open_blocks(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"source", "blocksize", "overlap", "frames", "start", "dtype",
                                "always_2d", "out", "fill_value", "format", "channels",
                                "samplerate", "stop", "truncate", nullptr};
  PyObject *source, *out = nullptr, *fill = nullptr, *stop = nullptr;
  long long blocksize = 0, overlap = 0, frames = -1, start = 0;
  int typenum = NPY_FLOAT64, two_d = 0, format = 0, channels = 0, samplerate = 0, truncate = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|LLLLipOOiiiOp:blocks",
                                   const_cast<char**>(names), &source, &blocksize, &overlap,
                                   &frames, &start, &typenum, &two_d, &out, &fill, &format,
                                   &channels, &samplerate, &stop, &truncate))
    return nullptr;
  return guarded([&] {
    Opened opened = open_typed(source, typenum, format, channels, samplerate, truncate != 0);
    Ref& stream = opened.stream;
    return closing(stream, [&] {
      bool padded = fill != nullptr && fill != Py_None;
      sf_count_t count = go_to_span(as_stream(stream), start, frames, stop, padded);
      BlockSpec spec{blocksize, overlap, count, opened.typenum, two_d != 0, out, fill};
      Ref iterator = make_blocks(Ref::borrow(stream.get()), spec);
      return iterator;
    }, false);
  });
}

PyMethodDef functions[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_file)),
     METH_VARARGS | METH_KEYWORDS,
     "read(source, frames=-1, start=0, dtype=NPY_FLOAT64, always_2d=False, out=None, "
     "format=0, channels=0, samplerate=0, stop=None, truncate=False)\n--\n\n"
     "(data, samplerate) of a sound source: opened, read and closed in one call;\n"
     "`stop` (a slice's end) given instead of `frames`; `truncate`: a decoder\n"
     "error ends the data with a warning instead of raising OSError."},
    {"blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_blocks)),
     METH_VARARGS | METH_KEYWORDS,
     "blocks(source, blocksize=0, overlap=0, frames=-1, start=0, dtype=NPY_FLOAT64, "
     "always_2d=False, out=None, fill_value=None, format=0, channels=0, samplerate=0, "
     "stop=None, truncate=False)\n--\n\n"
     "An iterator over the blocks of a sound source; it closes the source at the end."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_source)),
     METH_VARARGS | METH_KEYWORDS,
     "check(source, format=0, channels=0, samplerate=0)\n--\n\n"
     "The source decoded to its end: {frames, announced (-1: unknown), reason (of an early\n"
     "stop, or None), signature and digest (a FLAC's MD5s, or None), log, format, channels}."},
    {"md5", md5_digest, METH_O, "md5(data, /)\n--\n\nThe MD5 digest (RFC 1321) of a bytes-like object."},
    {"format_description", format_description, METH_O,
     "format_description(code, /)\n--\n\nlibsndfile's description of a major format or an "
     "encoding code, or None."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (_import_array() < 0) return -1;
  for (PyTypeObject* type : {&StreamType, &BlocksType}) {
    if (PyType_Ready(type) < 0) return -1;
  }
  if (PyModule_AddObjectRef(module, "Stream", reinterpret_cast<PyObject*>(&StreamType)) < 0)
    return -1;
  if (PyModule_AddObjectRef(module, "Blocks", reinterpret_cast<PyObject*>(&BlocksType)) < 0)
    return -1;
  Ref written = Ref::steal(guarded([] { return Ref::steal(chunks::written_id_table()); }));
  if (!written || PyModule_AddObjectRef(module, "WRITTEN_CHUNK_IDS", written.get()) < 0)
    return -1;
  Ref error = Ref::steal(make_sndfile_error());
  if (!error || PyModule_AddObjectRef(module, "SndfileError", error.get()) < 0) return -1;
  Ref unknown = Ref::steal(PyLong_FromLongLong(kUnknownLength));
  if (!unknown || PyModule_AddObjectRef(module, "UNKNOWN_LENGTH", unknown.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_stream",
    "The streaming path of ondalis: sound files on any source, read and written with the\n"
    "interpreter lock released.",
    0, functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ondalis::stream

PyMODINIT_FUNC PyInit__stream() { return PyModuleDef_Init(&ondalis::stream::module_def); }
