#include "io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <limits>

#include "../capi/error.hpp"
#include "buffer.hpp"
#include "lock.hpp"

namespace ondalis::stream {

void PendingError::take() {
  if (!empty()) {
    PyErr_Clear();
    return;
  }
  PyErr_Fetch(&type_, &value_, &traceback_);
}

void PendingError::restore() {
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
}

void PendingError::clear() {
  Py_CLEAR(type_);
  Py_CLEAR(value_);
  Py_CLEAR(traceback_);
}

namespace {

Io& io_of(void* user) { return *static_cast<Io*>(user); }

sf_count_t io_length(void* user) { return io_of(user).length(); }
sf_count_t io_seek(sf_count_t offset, int whence, void* user) {
  return io_of(user).seek(offset, whence);
}
sf_count_t io_read(void* data, sf_count_t count, void* user) {
  return count <= 0 ? 0 : io_of(user).read(data, count);
}
sf_count_t io_write(const void* data, sf_count_t count, void* user) {
  return count <= 0 ? 0 : io_of(user).write(data, count);
}
sf_count_t io_tell(void* user) { return io_of(user).tell(); }

// The position `offset` from `whence` lands on, or -1 when it lies before the
// start or the arithmetic would overflow.
sf_count_t target_position(sf_count_t offset, int whence, sf_count_t here, sf_count_t end) {
  sf_count_t origin = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? here : end;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
  if (offset > 0 && origin > std::numeric_limits<sf_count_t>::max() - offset) return -1;
  sf_count_t target = origin + offset;
  return target < 0 ? -1 : target;
}

}  // namespace

SF_VIRTUAL_IO Io::table = {io_length, io_seek, io_read, io_write, io_tell};

MemoryIo::MemoryIo(std::vector<char> owned, Ref file)
    : Io(std::move(file)), owned_(std::move(owned)), data_(owned_.data()),
      size_(static_cast<sf_count_t>(owned_.size())), writable_(true) {}

sf_count_t MemoryIo::seek(sf_count_t offset, int whence) {
  sf_count_t target = target_position(offset, whence, position_, size_);
  if (target < 0) return -1;
  position_ = target;
  return position_;
}

sf_count_t MemoryIo::read(void* data, sf_count_t count) {
  if (position_ >= size_) return 0;
  sf_count_t n = std::min(count, size_ - position_);
  copy_bytes(data, data_ + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

// Writing past the end grows the store (a gap left by a seek is zeros).
sf_count_t MemoryIo::write(const void* data, sf_count_t count) {
  if (!writable_ || count <= 0) return 0;
  if (position_ > std::numeric_limits<sf_count_t>::max() - count) return 0;
  sf_count_t end = position_ + count;
  try {
    if (end > static_cast<sf_count_t>(owned_.size())) owned_.resize(static_cast<std::size_t>(end));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  copy_bytes(owned_.data() + position_, data, static_cast<std::size_t>(count));
  data_ = owned_.data();
  size_ = std::max(size_, end);
  position_ = end;
  return count;
}

template <class Body>
sf_count_t FileObjectIo::guarded_call(sf_count_t failed, Body&& body) {
  PyGILState_STATE state = take_interpreter([] { return PyGILState_Ensure(); });
  sf_count_t result = failed;
  if (error_.empty()) {
    try {
      result = body();
    } catch (const python_error&) {
      error_.take();
      result = failed;
    }
  }
  PyGILState_Release(state);
  return result;
}

namespace {

// An int result of a file-object method as a non-negative position.
sf_count_t position_from(PyObject* value, const char* method) {
  long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) fail();
  if (n < 0) {
    PyErr_Format(PyExc_OSError, "the file object's %s() returned a negative position (%lld)",
                 method, n);
    fail();
  }
  return n;
}

}  // namespace

sf_count_t FileObjectIo::absolute_tell() {
  Ref position = check(PyObject_CallMethod(file_.get(), "tell", nullptr));
  return position_from(position.get(), "tell");
}

sf_count_t FileObjectIo::tell() {
  return guarded_call(-1, [&] { return absolute_tell() - base_; });
}

// The end of the file, relative to the base; the file object's position is
// left where it was.
sf_count_t FileObjectIo::end_position() {
  sf_count_t here = absolute_tell();
  Ref end = check(PyObject_CallMethod(file_.get(), "seek", "(Li)", 0LL, SEEK_END));
  sf_count_t size = absolute_tell();
  Ref back = check(PyObject_CallMethod(file_.get(), "seek", "(Li)", here, SEEK_SET));
  return std::max<sf_count_t>(size - base_, 0);
}

sf_count_t FileObjectIo::length() {
  return guarded_call(-1, [&] { return end_position(); });
}

// The file object's seek() to an absolute position. An OSError it raises is a
// failed seek (-1), as lseek's failure is for a path: libsndfile goes on as it
// does there (a broken header that sends it to an offset the file system
// cannot hold, EINVAL, still reads); the OSError is kept, so that a failure
// libsndfile then reports is the file object's own exception. Any other
// exception is carried out.
bool FileObjectIo::seek_to(sf_count_t position) {
  try {
    Ref moved = check(PyObject_CallMethod(file_.get(), "seek", "(Li)", position, SEEK_SET));
  } catch (const python_error&) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
    PendingError latest;
    latest.take();
    seek_error_ = std::move(latest);
    return false;
  }
  return true;
}

sf_count_t FileObjectIo::seek(sf_count_t offset, int whence) {
  return guarded_call(-1, [&] {
    sf_count_t here = absolute_tell() - base_;
    sf_count_t end = whence == SEEK_END ? end_position() : 0;
    sf_count_t target = target_position(offset, whence, here, end);
    if (target < 0 || target > std::numeric_limits<sf_count_t>::max() - base_) return sf_count_t{-1};
    if (!seek_to(base_ + target)) return sf_count_t{-1};
    return absolute_tell() - base_;
  });
}

// A file object's read(n) may return fewer than n bytes before the end (a
// raw stream does, by its contract), and libsndfile takes a short read as the
// end: ask again until `count` bytes came or read() returned nothing.
sf_count_t FileObjectIo::read(void* data, sf_count_t count) {
  return guarded_call(0, [&] {
    sf_count_t done = 0;
    while (done < count) {
      sf_count_t n = read_some(static_cast<char*>(data) + done, count - done);
      if (n == 0) break;
      done += n;
    }
    return done;
  });
}

sf_count_t FileObjectIo::read_some(char* data, sf_count_t count) {
  Ref chunk = check(PyObject_CallMethod(file_.get(), "read", "(L)", count));
  ExportedBuffer view(chunk.get());
  if (view.size() > count) {
    PyErr_Format(PyExc_OSError, "the file object's read(%lld) returned %lld bytes",
                 static_cast<long long>(count), static_cast<long long>(view.size()));
    fail();
  }
  copy_bytes(data, view.data(), static_cast<std::size_t>(view.size()));
  return view.size();
}

sf_count_t FileObjectIo::write(const void* data, sf_count_t count) {
  return guarded_call(0, [&] {
    sf_count_t done = 0;
    while (done < count) {
      Ref chunk = check(PyBytes_FromStringAndSize(static_cast<const char*>(data) + done,
                                                  count - done));
      Ref written = check(PyObject_CallMethod(file_.get(), "write", "(O)", chunk.get()));
      sf_count_t n = written.get() == Py_None ? count - done : position_from(written.get(), "write");
      if (n == 0 || n > count - done) {
        PyErr_SetString(PyExc_OSError, "the file object's write() took no bytes or too many");
        fail();
      }
      done += n;
    }
    return done;
  });
}

SpoolIo::~SpoolIo() {
  if (spool_ >= 0) ::close(spool_);
}

namespace {

// A new file without a name in the temporary folder ($TMPDIR, else /tmp),
// read and written through its descriptor only.
int unnamed_file() {
  const char* folder = std::getenv("TMPDIR");
  std::string where = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = where + "/.ondalis-spool-XXXXXX";  // where O_TMPFILE is not offered
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

// Runs `step(done)` (a pread or pwrite of the bytes from `done` on) until all
// `n` bytes have moved; OSError when the system refuses.
template <class Step>
void move_all(sf_count_t done, sf_count_t n, Step&& step) {
  while (done < n) {
    ssize_t moved = step(done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) {
      PyErr_SetFromErrno(PyExc_OSError);
      fail();
    }
    done += moved;
  }
}

}  // namespace

void SpoolIo::keep(const char* data, sf_count_t n) {
  sf_count_t in_memory = std::min(n, std::max<sf_count_t>(kMemoryBytes - held_, 0));
  memory_.insert(memory_.end(), data, data + in_memory);
  if (in_memory < n) {
    if (spool_ < 0 && (spool_ = unnamed_file()) < 0) {
      PyErr_SetFromErrno(PyExc_OSError);
      fail();
    }
    move_all(in_memory, n, [&](sf_count_t done) {
      return ::pwrite(spool_, data + done, static_cast<std::size_t>(n - done),
                      static_cast<off_t>(held_ + done - kMemoryBytes));
    });
  }
  held_ += n;
}

void SpoolIo::fill_to(sf_count_t end) {
  std::vector<char> chunk;
  while (held_ < end && !ended_) {
    chunk.resize(static_cast<std::size_t>(std::min<sf_count_t>(end - held_, 1 << 20)));
    sf_count_t n = read_some(chunk.data(), static_cast<sf_count_t>(chunk.size()));
    if (n == 0) ended_ = true;
    else keep(chunk.data(), n);
  }
}

void SpoolIo::copy_out(sf_count_t at, char* data, sf_count_t n) {
  sf_count_t from_memory = std::min(n, std::max<sf_count_t>(kMemoryBytes - at, 0));
  if (from_memory > 0) copy_bytes(data, memory_.data() + at, static_cast<std::size_t>(from_memory));
  move_all(from_memory, n, [&](sf_count_t done) {
    return ::pread(spool_, data + done, static_cast<std::size_t>(n - done),
                   static_cast<off_t>(at + done - kMemoryBytes));
  });
}

sf_count_t SpoolIo::length() {
  return guarded_call(-1, [&] {
    fill_to(kLookAhead);
    return ended_ ? held_ : std::numeric_limits<sf_count_t>::max();
  });
}

sf_count_t SpoolIo::seek(sf_count_t offset, int whence) {
  return guarded_call(-1, [&] {
    if (whence == SEEK_END) fill_to(std::numeric_limits<sf_count_t>::max());
    sf_count_t target = target_position(offset, whence, position_, held_);
    if (target < 0) return sf_count_t{-1};
    position_ = target;
    return position_;
  });
}

sf_count_t SpoolIo::read(void* data, sf_count_t count) {
  return guarded_call(0, [&] {
    if (position_ > std::numeric_limits<sf_count_t>::max() - count) return sf_count_t{0};
    if (position_ - held_ > kLookAhead) return sf_count_t{0};
    fill_to(position_ + count);
    sf_count_t n = std::clamp<sf_count_t>(held_ - position_, 0, count);
    copy_out(position_, static_cast<char*>(data), n);
    position_ += n;
    return n;
  });
}

void DeliveringIo::deliver() {
  if (start_ >= 0) check(PyObject_CallMethod(file_.get(), "seek", "(Li)", start_, SEEK_SET));
  const std::vector<char>& bytes = written();
  constexpr std::size_t kChunk = std::size_t{1} << 24;
  for (std::size_t done = 0; done < bytes.size();) {
    std::size_t n = std::min(kChunk, bytes.size() - done);
    Ref chunk = check(PyBytes_FromStringAndSize(bytes.data() + done, static_cast<Py_ssize_t>(n)));
    Ref written = check(PyObject_CallMethod(file_.get(), "write", "(O)", chunk.get()));
    std::size_t took = n;
    if (written.get() != Py_None) took = static_cast<std::size_t>(position_from(written.get(), "write"));
    if (took == 0 || took > n) raise(PyExc_OSError, "the file object's write() took no bytes or too many");
    done += took;
  }
}

}  // namespace ondalis::stream
