// The Stream type's Python face: constructor, methods, attributes, lifetime.
#include <new>

#include "../capi/boundary.hpp"
#include "chunks.hpp"
#include "frames.hpp"
#include "stream.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {
namespace {

Stream* as_stream(PyObject* object) { return reinterpret_cast<Stream*>(object); }

PyObject* stream_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"source", "mode", "format", "channels", "samplerate", nullptr};
  PyObject* source;
  const char* mode = "r";
  int format = 0, channels = 0, samplerate = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|siii:Stream", const_cast<char**>(names),
                                   &source, &mode, &format, &channels, &samplerate))
    return nullptr;
  return guarded([&] { return open_stream(source, mode, format, channels, samplerate); });
}

// Closes a stream dropped without close(): at its last reference, or when
// the collector finds it in a cycle (before it clears any object of the
// cycle, so that a file object is still whole for the last header write). A
// failure can only be reported to the unraisable hook.
void stream_finalize(PyObject* object) {
  Stream* self = as_stream(object);
  if (self->state.file == nullptr) return;
  PreservedError preserved;
  Ref closed = Ref::steal(guarded([&] {
    close_stream(self);
    return Ref::borrow(Py_None);
  }));
  if (!closed) PyErr_WriteUnraisable(object);
}

// The finalizer runs on a stream brought back to one reference (the
// unraisable hook may take one more); it is untracked only afterwards, as
// nothing runs then that could let the collector find it.
void stream_dealloc(PyObject* object) {
  if (PyObject_CallFinalizerFromDealloc(object) < 0) return;  // the finalizer kept it
  PyObject_GC_UnTrack(object);
  as_stream(object)->state.~StreamState();
  Py_TYPE(object)->tp_free(object);
}

int stream_traverse(PyObject* object, visitproc visit, void* arg) {
  const StreamState& s = as_stream(object)->state;
  Py_VISIT(s.name.get());
  Py_VISIT(s.label.get());
  if (s.buffer) {
    if (int found = s.buffer->traverse(visit, arg)) return found;
  }
  return s.io ? s.io->traverse(visit, arg) : 0;
}

// Breaks a cycle through the stream (a file object whose attribute holds it
// or its block iterator). The collector clears only objects that nothing
// outside the cycle reaches, and a thread inside a method of this stream (or
// waiting for its mutex) holds a reference to it, so no other thread can be
// using the stream here; closing it waits for the mutex with the
// interpreter lock released in any case. libsndfile calls back into the Io
// until the file is closed: the Io and the lent buffer are let go only after
// that, and a stream that could not be closed keeps them.
int stream_clear(PyObject* object) {
  stream_finalize(object);
  StreamState& s = as_stream(object)->state;
  if (s.file != nullptr) return 0;
  if (s.io) s.io->clear();
  s.buffer.reset();
  s.name = Ref();
  s.label = Ref();
  return 0;
}

PyObject* stream_read(PyObject* object, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"frames", "dtype", "always_2d", "out", nullptr};
  long long frames = -1;
  int typenum = NPY_FLOAT64, two_d = 0;
  PyObject* out = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|LipO:read", const_cast<char**>(names),
                                   &frames, &typenum, &two_d, &out))
    return nullptr;
  return guarded([&] {
    Ref kind = check(PyLong_FromLong(typenum));
    return read_frames(as_stream(object), frames, checked_typenum(kind.get()), two_d, out);
  });
}

PyObject* stream_write(PyObject* object, PyObject* data) {
  return guarded([&] { return check(PyLong_FromLongLong(write_frames(as_stream(object), data))); });
}

PyObject* stream_seek(PyObject* object, PyObject* args) {
  long long frames;
  int whence = SEEK_SET;
  if (!PyArg_ParseTuple(args, "L|i:seek", &frames, &whence)) return nullptr;
  return guarded([&] {
    return check(PyLong_FromLongLong(seek_frames(as_stream(object), frames, whence)));
  });
}

PyObject* stream_tell(PyObject* object, PyObject*) {
  return guarded([&] { return check(PyLong_FromLongLong(seek_frames(as_stream(object), 0, SEEK_CUR))); });
}

PyObject* stream_close(PyObject* object, PyObject*) {
  return guarded([&] {
    close_stream(as_stream(object));
    return Ref::borrow(Py_None);
  });
}

PyObject* stream_enter(PyObject* object, PyObject*) { return Py_NewRef(object); }

// Leaving a with block closes the stream; when the block raised, its
// exception goes on and a failing close (often the same fault met again by
// the header update) is dropped.
PyObject* stream_exit(PyObject* object, PyObject* args) {
  PyObject* kind = PyTuple_Size(args) > 0 ? PyTuple_GET_ITEM(args, 0) : Py_None;
  PyObject* closed = stream_close(object, nullptr);
  if (closed == nullptr && kind != Py_None) {
    PyErr_Clear();
    return Py_NewRef(Py_None);
  }
  return closed;
}

PyObject* stream_strings(PyObject* object, PyObject*) {
  return guarded([&] { return file_strings(as_stream(object)); });
}

PyMethodDef stream_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_read)),
     METH_VARARGS | METH_KEYWORDS,
     "read($self, frames=-1, dtype=NPY_FLOAT64, always_2d=False, out=None)\n--\n\n"
     "Up to `frames` frames (all that are left for frames < 0) as a new array of\n"
     "the numpy type number dtype, or into `out` (its filled part is returned)."},
    {"write", stream_write, METH_O, "write($self, data, /)\n--\n\nWrites every frame of data."},
    {"seek", stream_seek, METH_VARARGS, "seek($self, frames, whence=0, /)\n--\n\nMoves to a frame."},
    {"tell", stream_tell, METH_NOARGS, "tell($self, /)\n--\n\nThe current frame."},
    {"strings", stream_strings, METH_NOARGS,
     "strings($self, /)\n--\n\n{string type id: bytes} of the file's texts."},
    {"metadata", stream_metadata, METH_NOARGS,
     "metadata($self, /)\n--\n\nThe file's metadata records, read leniently, as a dict."},
    {"copy_metadata", stream_copy_metadata, METH_O,
     "copy_metadata($self, source, /)\n--\n\nOffers this stream every text and record of the\n"
     "stream `source`, as libsndfile holds them (what the format does not keep\n"
     "is dropped)."},
    {"set_record", stream_set_record, METH_VARARGS,
     "set_record($self, name, fields, /)\n--\n\nOffers a file being written the record `name`\n"
     "('cue_points', 'instrument', 'broadcast', 'cart', 'channel_map') in the\n"
     "shape metadata() gives it; True when libsndfile takes it. ValueError for a\n"
     "value that does not fit its field."},
    {"set_string", stream_set_string, METH_VARARGS,
     "set_string($self, id, text, /)\n--\n\nOffers a file being written the text (a str)\n"
     "of string type `id`; True when libsndfile takes it."},
    {"chunks", stream_chunks, METH_NOARGS,
     "chunks($self, /)\n--\n\n[(id, size)] of every chunk libsndfile lists, in file order\n"
     "(id None for an empty chunk read through a file object or memory, which\n"
     "libsndfile cannot name without dividing by zero)."},
    {"chunk_data", stream_chunk_data, METH_O,
     "chunk_data($self, id, /)\n--\n\n[bytes] of every chunk of `id` (4 printable ASCII\n"
     "characters), in file order; OSError for a chunk the file does not hold whole."},
    {"set_chunk", stream_set_chunk, METH_VARARGS,
     "set_chunk($self, id, data, /)\n--\n\nAdds chunk `id` with the bytes of `data` to a file\n"
     "being written, before its first frame (WAV, WAVEX, RF64, AIFF); libsndfile\n"
     "pads it with NULs to a multiple of 4 bytes."},
    {"close", stream_close, METH_NOARGS,
     "close($self, /)\n--\n\nCloses the file; OSError when libsndfile reports a failure."},
    {"__enter__", stream_enter, METH_NOARGS, nullptr},
    {"__exit__", stream_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <auto Member>
PyObject* info_getter(PyObject* object, void*) {
  return PyLong_FromLongLong(as_stream(object)->state.info.*Member);
}

PyObject* closed_getter(PyObject* object, void*) {
  StreamState& s = as_stream(object)->state;
  return PyBool_FromLong(s.file == nullptr);
}

PyObject* clipped_getter(PyObject* object, void*) {
  return PyLong_FromLongLong(as_stream(object)->state.clipped);
}

PyObject* truncate_getter(PyObject* object, void*) {
  return PyBool_FromLong(as_stream(object)->state.truncate_damage);
}

int truncate_setter(PyObject* object, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "truncate_damage cannot be deleted");
    return -1;
  }
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return -1;
  as_stream(object)->state.truncate_damage = truth != 0;
  return 0;
}

PyGetSetDef stream_getset[] = {
    {"frames", info_getter<&SF_INFO::frames>, nullptr, "frames as opened", nullptr},
    {"samplerate", info_getter<&SF_INFO::samplerate>, nullptr, "frames per second", nullptr},
    {"channels", info_getter<&SF_INFO::channels>, nullptr, "channels", nullptr},
    {"format", info_getter<&SF_INFO::format>, nullptr, "libsndfile format code", nullptr},
    {"sections", info_getter<&SF_INFO::sections>, nullptr, "sections", nullptr},
    {"seekable", info_getter<&SF_INFO::seekable>, nullptr, "whether libsndfile can seek", nullptr},
    {"closed", closed_getter, nullptr, "whether the stream is closed", nullptr},
    {"truncate_damage", truncate_getter, truncate_setter,
     "whether a decoder error ends the frames with a warning (else reads raise OSError)",
     nullptr},
    {"clipped", clipped_getter, nullptr,
     "float samples beyond [-1, 1] written so far to an integer encoding (libsndfile\n"
     "stores them at full scale)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject StreamType = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "ondalis._stream.Stream";
  type.tp_basicsize = sizeof(Stream);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = "Stream(source, mode='r', format=0, channels=0, samplerate=0)\n--\n\n"
                "One open sound file on a path, descriptor, buffer or file object.";
  type.tp_new = stream_new;
  type.tp_dealloc = stream_dealloc;
  type.tp_traverse = stream_traverse;
  type.tp_clear = stream_clear;
  type.tp_finalize = stream_finalize;
  type.tp_methods = stream_methods;
  type.tp_getset = stream_getset;
  return type;
}();

}  // namespace ondalis::stream
