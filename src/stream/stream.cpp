// The Stream type: construction, reading, writing, seeking and closing, each
// libsndfile call made through with_file (interpreter lock released, the
// stream's mutex held).
#include "stream.hpp"

#include <limits>
#include <new>

#include "../capi/boundary.hpp"
#include "../sndfile/clip_scan.hpp"
#include "frames.hpp"
#include "open.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {

void raise_file_error(Stream* self, const char* what) {
  std::string reason = with_file(self, [](SNDFILE* f) { return std::string(sf_strerror(f)); });
  PyErr_Format(PyExc_OSError, "%s %U: %s", what, self->state.label.get(), reason.c_str());
  fail();
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

sf_count_t read_into(Stream* self, int typenum, void* data, sf_count_t frames) {
  return with_file(self, [&](SNDFILE* f) { return read_typed(f, typenum, data, frames); });
}

namespace {

char* frame_pointer(Ref& array, sf_count_t frame, int channels) {
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  return static_cast<char*>(PyArray_DATA(a)) + frame * channels * PyArray_ITEMSIZE(a);
}

// Reads to the end of a stream of unknown length, doubling the array.
Ref read_to_end(Stream* self, int typenum, bool two_d) {
  int channels = self->state.info.channels;
  sf_count_t capacity = 1 << 16, total = 0;
  Ref array = new_frames(capacity, channels, typenum, two_d);
  for (;;) {
    sf_count_t n = read_into(self, typenum, frame_pointer(array, total, channels), capacity - total);
    total += n;
    if (total < capacity || n == 0) break;
    capacity *= 2;
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
  if (frames < 0) return read_to_end(self, typenum, two_d);
  Ref array = new_frames(frames, channels, typenum, two_d);
  sf_count_t n = read_into(self, typenum, frame_pointer(array, 0, channels), frames);
  shrink(array, n);
  return array;
}

namespace {

bool float_encoding(int format) {
  int encoding = format & SF_FORMAT_SUBMASK;
  return encoding == SF_FORMAT_FLOAT || encoding == SF_FORMAT_DOUBLE;
}

// The samples of `array` that libsndfile's clipping will limit when they are
// written to the stream's encoding.
long long samples_clipped(const StreamState& s, PyArrayObject* array) {
  if (float_encoding(s.info.format)) return 0;
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
  sf_count_t n =
      with_file(self, [&](SNDFILE* f) { return write_typed(f, typenum, samples, count); });
  if (n != count) raise_file_error(self, "cannot write to");
  return n;
}

sf_count_t seek_frames(Stream* self, sf_count_t frames, int whence) {
  sf_count_t at = with_file(self, [&](SNDFILE* f) { return sf_seek(f, frames, whence); });
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
  if (status != 0) {
    PyErr_Format(PyExc_OSError, "cannot finish %U: %s", s.label.get(), sf_error_number(status));
    fail();
  }
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
