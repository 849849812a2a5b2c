// The Stream type: construction, reading, writing, seeking and closing, each
// libsndfile call made through with_file (interpreter lock released, the
// stream's mutex held).
#include "stream.hpp"

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "../capi/boundary.hpp"
#include "../sndfile/clip_scan.hpp"
#include "frames.hpp"
#include "open.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {

namespace {

// libsndfile's text without the "Error : " it puts before some.
std::string reason_text(const char* text) {
  std::string reason(text);
  const std::string prefix = "Error : ";
  return reason.compare(0, prefix.size(), prefix) == 0 ? reason.substr(prefix.size()) : reason;
}

// libsndfile's Ogg code reports -1 when a page cannot be written (a full
// disk): a number outside libsndfile's table, for which its error texts print
// "Not a valid error number" on the standard output and answer that there is
// no text. Such a number gets a text of our own instead. Where the system
// gave a reason and libsndfile's is not the system's own (an encoder that
// says "Unspecified internal error." for a full disk), the system's wins.
std::string error_reason(int code, const char* text, int system_code) {
  if (system_code != 0 && code != SF_ERR_SYSTEM) return std::strerror(system_code);
  if (code >= 0) return reason_text(text);
  return "libsndfile reported error " + std::to_string(code);
}

}  // namespace

std::string file_reason(SNDFILE* file, int system_code) {
  int code = sf_error(file);
  return error_reason(code, code >= 0 ? sf_strerror(file) : nullptr, system_code);
}

std::string number_reason(int code) {
  return error_reason(code, code >= 0 ? sf_error_number(code) : nullptr, 0);
}

namespace {

// An OSError's text is its message alone: OSError's own would read
// "[Errno None] None: 'name'" once a filename is set without an errno.
PyObject* sndfile_error_str(PyObject* self) {
  return guarded([&] {
    Ref args = check(PyObject_GetAttrString(self, "args"));
    if (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1)
      return check(PyObject_Str(PyTuple_GET_ITEM(args.get(), 0)));
    return check(reinterpret_cast<PyTypeObject*>(PyExc_OSError)->tp_str(self));
  });
}

// Pickled as its message with filename, errno and strerror beside it
// (OSError's own reduction would rebuild it from those three alone, and lose
// the message), so that an error from a process pool still names its file.
PyObject* sndfile_error_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    Ref args = check(PyObject_GetAttrString(self, "args"));
    Ref state = check(PyDict_New());
    for (const char* name : {"filename", "errno", "strerror"}) {
      Ref value = check(PyObject_GetAttrString(self, name));
      check_status(PyDict_SetItemString(state.get(), name, value.get()));
    }
    return check(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get()));
  });
}

PyMethodDef sndfile_error_methods[] = {
    {"__reduce__", sndfile_error_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* sndfile_error = nullptr;

}  // namespace

PyObject* make_sndfile_error() {
  static PyType_Slot slots[] = {
      {Py_tp_str, reinterpret_cast<void*>(sndfile_error_str)},
      {Py_tp_methods, sndfile_error_methods},
      {Py_tp_doc, const_cast<char*>("An OSError that libsndfile reported (a file it cannot open, "
                                    "read or write), its filename the source's.")},
      {0, nullptr},
  };
  static PyType_Spec spec = {"ondalis.SndfileError", 0, 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  // Kept for the life of the process, as the static types of the module are.
  if (sndfile_error == nullptr) sndfile_error = PyType_FromSpecWithBases(&spec, PyExc_OSError);
  return Py_XNewRef(sndfile_error);
}

void raise_named(const StreamState& s, PyObject* type, const Ref& message, int code) {
  if (type == PyExc_OSError) type = sndfile_error;
  Ref error = check(PyObject_CallOneArg(type, message.get()));
  if (s.filename) check_status(PyObject_SetAttrString(error.get(), "filename", s.filename.get()));
  if (code != 0) {
    Ref number = check(PyLong_FromLong(code));
    Ref text = check(PyUnicode_FromString(std::strerror(code)));
    check_status(PyObject_SetAttrString(error.get(), "errno", number.get()));
    check_status(PyObject_SetAttrString(error.get(), "strerror", text.get()));
  }
  PyErr_SetObject(type, error.get());
  fail();
}

namespace {

// The file object's own OSError from a seek that libsndfile met as a failed
// one, when there is one: the cause of what libsndfile then reports.
void raise_seek_error(StreamState& s) {
  PendingError seek = s.io ? s.io->take_seek_error() : PendingError{};
  if (seek.empty()) return;
  seek.restore();
  fail();
}

}  // namespace

void raise_file_error(Stream* self, const char* what, int code) {
  StreamState& s = self->state;
  raise_seek_error(s);
  std::string reason = with_file(self, [&](SNDFILE* f) {
    return sf_error(f) == SF_ERR_NO_ERROR ? std::string() : file_reason(f, code);
  });
  // libsndfile's text for no error ("No Error.") would read as success.
  if (reason.empty()) reason = code != 0 ? std::strerror(code) : "libsndfile gave no reason";
  raise_named(s, PyExc_OSError,
              check(PyUnicode_FromFormat("%s %U: %s", what, s.label.get(), reason.c_str())), code);
}

namespace {

int mode_of(const char* mode) {
  std::string m(mode);
  if (m == "r") return SFM_READ;
  if (m == "w") return SFM_WRITE;
  raise(PyExc_ValueError, "mode must be 'r' or 'w'");
}

}  // namespace

Ref open_stream(PyObject* source, const char* mode, int format, int channels, int samplerate) {
  Ref object = check(StreamType.tp_alloc(&StreamType, 0));
  auto* self = reinterpret_cast<Stream*>(object.get());
  new (&self->state) StreamState();
  StreamState& s = self->state;
  s.mode = mode_of(mode);
  s.info.format = format;
  s.info.channels = channels;
  s.info.samplerate = samplerate;
  open_source(s, source);
  return object;
}

sf_count_t frames_left(Stream* self) {
  const SF_INFO& info = self->state.info;
  if (info.frames == kUnknownLength || !info.seekable) return -1;
  sf_count_t here = with_file(self, [](SNDFILE* f) { return sf_seek(f, 0, SEEK_CUR); });
  return here < 0 ? -1 : std::max<sf_count_t>(info.frames - here, 0);
}

namespace {

// What one read gave: the frames, where they started, and libsndfile's error
// when it stopped short because of one (a clean end reports none).
struct Got {
  sf_count_t frames = 0;
  sf_count_t from = 0;
  int error = 0;
  std::string reason;
};

Ref damage_text(const StreamState& s, const Got& got) {
  Ref announced = s.info.frames == kUnknownLength || !s.info.seekable
                      ? check(PyUnicode_FromString("of an unknown length"))
                      : check(PyUnicode_FromFormat("of the %lld its header announces",
                                                   static_cast<long long>(s.info.frames)));
  return check(PyUnicode_FromFormat("cannot read %U: decoding stopped at frame %lld %U: %s",
                                    s.label.get(), static_cast<long long>(got.from + got.frames),
                                    announced.get(), got.reason.c_str()));
}

// A decoder error ends the frames: OSError, or when the caller asked for the
// decodable part, a warning (once per stream) and the frames read so far.
void report_damage(StreamState& s, const Got& got) {
  raise_seek_error(s);
  Ref text = damage_text(s, got);
  if (!s.truncate_damage) raise_named(s, PyExc_OSError, text);
  if (s.damage_reported) return;
  s.damage_reported = true;
  Ref warning = check(PyUnicode_FromFormat("%U; the frames before it are kept", text.get()));
  check_status(PyErr_WarnEx(PyExc_UserWarning, PyUnicode_AsUTF8(warning.get()), 1));
}

}  // namespace

void raise_unsupported(const char* text) {
  static PyObject* type = nullptr;
  raise(io_attribute(type, "UnsupportedOperation"), text);
}

sf_count_t read_into(Stream* self, int typenum, void* data, sf_count_t frames) {
  StreamState& s = self->state;
  if (s.mode != SFM_READ) raise_unsupported("file is open for writing only");
  Got got = with_file(self, [&](SNDFILE* f) {
    Got read;
    read.from = s.position;
    read.frames = read_typed(f, typenum, data, frames);
    s.position += read.frames;
    if (read.frames < frames && (read.error = sf_error(f)) != 0)
      read.reason = file_reason(f, 0);
    return read;
  });
  if (got.error != 0) report_damage(s, got);
  return got.frames;
}

namespace {

char* frame_pointer(Ref& array, sf_count_t frame, int channels) {
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  return static_cast<char*>(PyArray_DATA(a)) + frame * channels * PyArray_ITEMSIZE(a);
}

// The most frames a source of its size can honestly yield in `typenum`: its
// bytes, decoded at up to 64 times their size in memory (past any format's
// compression of real audio; a file of digital silence may compress more and
// is read by growing), and never fewer than a first read's worth. A header's
// claim beyond it sizes no array: 101 bytes of FLAC may announce 2**33 frames.
sf_count_t trusted_frames(const StreamState& s, int typenum) {
  constexpr sf_count_t kFloor = sf_count_t{1} << 16, kExpansion = 64;
  sf_count_t frame_bytes = static_cast<sf_count_t>(s.info.channels) * item_size(typenum);
  sf_count_t frames = s.source_bytes / frame_bytes;
  if (frames > std::numeric_limits<sf_count_t>::max() / kExpansion) return frames;
  return std::max(kFloor, frames * kExpansion);
}

// Up to `limit` frames (< 0: to the end): an array of the claim when the
// source can hold it, else one that doubles as the frames come.
Ref read_growing(Stream* self, int typenum, bool two_d, sf_count_t limit) {
  int channels = self->state.info.channels;
  sf_count_t trusted = trusted_frames(self->state, typenum);
  sf_count_t capacity = limit < 0 ? std::min<sf_count_t>(trusted, 1 << 16) : std::min(limit, trusted);
  sf_count_t total = 0;
  Ref array = new_frames(capacity, channels, typenum, two_d);
  for (;;) {
    sf_count_t n = read_into(self, typenum, frame_pointer(array, total, channels), capacity - total);
    total += n;
    if (total < capacity || n == 0 || total == limit) break;
    capacity = limit < 0 ? capacity * 2 : std::min(capacity * 2, limit);
    grow(array, capacity);
  }
  shrink(array, total);
  return array;
}

}  // namespace

Ref read_frames(Stream* self, sf_count_t frames, int typenum, bool two_d, PyObject* out) {
  int channels = self->state.info.channels;
  if (out != nullptr && out != Py_None) {
    PyArrayObject* array = checked_out(out, channels);
    ExportedBuffer held(out, kWritableBuffer);  // in place while written unlocked
    sf_count_t room = PyArray_DIM(array, 0);
    sf_count_t count = frames < 0 ? room : std::min(frames, room);
    sf_count_t n = read_into(self, PyArray_TYPE(array), PyArray_DATA(array), count);
    return first_frames(array, n);
  }
  if (frames < 0) frames = frames_left(self);
  return read_growing(self, typenum, two_d, frames);
}

namespace {

// The samples of `array` beyond full scale, which an integer encoding is
// given limited to it.
long long samples_clipped(const StreamState& s, PyArrayObject* array) {
  if (clip::stores_floats(s.info.format)) return 0;
  const void* data = PyArray_DATA(array);
  int64_t n = PyArray_SIZE(array);
  switch (PyArray_TYPE(array)) {
    case NPY_FLOAT64: return clip::count_beyond_unit(static_cast<const double*>(data), n);
    case NPY_FLOAT32: return clip::count_beyond_unit(static_cast<const float*>(data), n);
    default: return 0;
  }
}

}  // namespace

sf_count_t write_frames(Stream* self, PyObject* data) {
  sf_count_t count = checked_in(data, self->state.info.channels);
  auto* array = reinterpret_cast<PyArrayObject*>(data);
  int typenum = PyArray_TYPE(array);
  const void* samples = PyArray_DATA(array);
  ExportedBuffer held(data);  // in place while read unlocked
  self->state.clipped += samples_clipped(self->state, array);
  std::vector<double> limited64;  // what an integer encoding is given instead
  std::vector<float> limited32;
  if (!clip::stores_floats(self->state.info.format)) {
    int64_t n = PyArray_SIZE(array);
    if (typenum == NPY_FLOAT64 && clip::limited(static_cast<const double*>(samples), n, limited64))
      samples = limited64.data();
    if (typenum == NPY_FLOAT32 && clip::limited(static_cast<const float*>(samples), n, limited32))
      samples = limited32.data();
  }
  int code = 0;
  sf_count_t n = with_file(self, [&](SNDFILE* f) {
    errno = 0;
    sf_count_t took = write_typed(f, typenum, samples, count);
    // The system's reason a write failed (a full disk, a quota), which
    // libsndfile keeps only as text.
    if (took != count) code = errno;
    return took;
  });
  if (n != count) raise_file_error(self, "cannot write to", code);
  return n;
}

sf_count_t seek_frames(Stream* self, sf_count_t frames, int whence) {
  StreamState& s = self->state;
  sf_count_t at = with_file(self, [&](SNDFILE* f) {
    sf_count_t moved = sf_seek(f, frames, whence);
    if (moved >= 0) s.position = moved;
    return moved;
  });
  if (at < 0) raise_file_error(self, "cannot seek in");
  return at;
}

void close_stream(Stream* self) {
  StreamState& s = self->state;
  if (s.mutex.held_here())
    raise(PyExc_RuntimeError, "the stream is in use by its own file object's callback");
  int status = 0;
  bool was_open = false;
  {
    Unlocked unlocked;
    s.mutex.lock();
    if (s.file != nullptr) {
      was_open = true;
      status = sf_close(s.file);
      s.file = nullptr;
      s.descriptor.reset();
    }
  }
  PendingError error = take_error_and_unlock(s);
  // The caller's buffer (a bytearray, an io.BytesIO's) may be resized again:
  // nothing reads it once the file is closed.
  s.buffer.reset();
  if (!error.empty()) {
    error.restore();
    fail();
  }
  // libsndfile goes on past a seek that failed, and rewrites a header at
  // close by seeking back to it: for a file being written, a file object's
  // failed seek means the file is not whole, whatever sf_close answers.
  if (was_open && s.mode != SFM_READ) raise_seek_error(s);
  if (status != 0)
    raise_named(s, PyExc_OSError, check(PyUnicode_FromFormat("cannot finish %U: %s", s.label.get(),
                                                             number_reason(status).c_str())));
  if (was_open && s.mode != SFM_READ && s.io) s.io->deliver();
}

std::string file_string(Stream* self, int id) {
  return with_file(self, [&](SNDFILE* f) {
    const char* found = sf_get_string(f, id);
    return found == nullptr ? std::string() : std::string(found);
  });
}

Ref file_strings(Stream* self) {
  Ref strings = check(PyDict_New());
  for (int id = SF_STR_FIRST; id <= SF_STR_LAST; ++id) {
    std::string text = file_string(self, id);
    if (text.empty()) continue;
    Ref key = check(PyLong_FromLong(id));
    Ref value = check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    check_status(PyDict_SetItem(strings.get(), key.get(), value.get()));
  }
  return strings;
}

}  // namespace ondalis::stream
