// Opening a Stream: what the source is (a path, a descriptor, a buffer, an
// io.BytesIO, a file object), and the one libsndfile open call for it, made
// with the interpreter lock released and libsndfile's open serialised.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "../capi/error.hpp"
#include "open.hpp"

namespace ondalis::stream {

OwnedMutex& library_mutex() {
  static OwnedMutex mutex;
  return mutex;
}

PyObject* io_attribute(PyObject*& slot, const char* name) {
  if (slot != nullptr) return slot;
  Ref io = check(PyImport_ImportModule("io"));
  // Two threads may both get here; the first one's type is kept.
  Ref found = check(PyObject_GetAttrString(io.get(), name));
  if (slot == nullptr) slot = found.release();
  return slot;
}

namespace {

PyObject* bytesio_type() {
  static PyObject* type = nullptr;
  return io_attribute(type, "BytesIO");
}

bool has_method(PyObject* object, const char* name) {
  int found = PyObject_HasAttrString(object, name);
  return found == 1;
}

// A file object's answer to a no-argument method, as a truth value (false when
// it has no such method).
bool answers_true(PyObject* object, const char* method) {
  if (!has_method(object, method)) return false;
  Ref answer = check(PyObject_CallMethod(object, method, nullptr));
  return truth(answer.get());
}

sf_count_t position_of(PyObject* object) {
  Ref position = check(PyObject_CallMethod(object, "tell", nullptr));
  long long n = PyLong_AsLongLong(position.get());
  if (n == -1 && PyErr_Occurred()) fail();
  if (n < 0) raise(PyExc_OSError, "the file object's tell() returned a negative position");
  return n;
}


// The bytes of an io.BytesIO from its current position on. getvalue() hands
// out the BytesIO's own bytes object without a copy (a BytesIO made from
// bytes shares them; getbuffer() would copy them first), and since bytes
// never change, the caller may go on writing to the BytesIO: it copies on
// its own side.
void lend_bytesio(StreamState& s, PyObject* bytesio) {
  sf_count_t start = position_of(bytesio);
  Ref view = check(PyObject_CallMethod(bytesio, "getvalue", nullptr));
  s.buffer = std::make_unique<ExportedBuffer>(view.get());
  sf_count_t size = s.buffer->size();
  start = std::min(start, size);
  s.io = std::make_unique<MemoryIo>(s.buffer->data() + start, size - start);
}

// A buffer is named by its type and size in messages: the repr of a
// bytearray is its whole content.
void lend_buffer(StreamState& s, PyObject* exporter) {
  s.buffer = std::make_unique<ExportedBuffer>(exporter);
  s.io = std::make_unique<MemoryIo>(s.buffer->data(), s.buffer->size());
  s.label = check(PyUnicode_FromFormat("<%s of %lld bytes>", Py_TYPE(exporter)->tp_name,
                                       static_cast<long long>(s.buffer->size())));
}

void reach_file_object(StreamState& s, PyObject* file, bool writing) {
  bool seekable = answers_true(file, "seekable") && has_method(file, "tell");
  if (writing) {
    if (!has_method(file, "write"))
      raise(PyExc_TypeError, "a file object to write into needs a write() method");
    if (seekable) s.io = std::make_unique<FileObjectIo>(Ref::borrow(file), position_of(file));
    else s.io = std::make_unique<DeliveringIo>(Ref::borrow(file), -1);
    return;
  }
  if (seekable) s.io = std::make_unique<FileObjectIo>(Ref::borrow(file), position_of(file));
  else s.io = std::make_unique<SpoolIo>(Ref::borrow(file));
}

// The path's bytes as the file system takes them (surrogate escapes
// round-trip), with a leading ~ expanded as os.path.expanduser does.
std::string path_bytes(PyObject* path) {
  // bytes name a file, as everywhere in Python; bytes holding a NUL are far
  // more likely the contents of one than a name.
  if (PyBytes_Check(path) && std::memchr(PyBytes_AS_STRING(path), 0, PyBytes_GET_SIZE(path)))
    raise(PyExc_ValueError,
          "a bytes source is a file name, and this one holds a NUL byte; "
          "to read the contents of a file from memory, pass io.BytesIO(data)");
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(path, &converted)) fail();
  Ref encoded = Ref::steal(converted);
  if (PyBytes_GET_SIZE(encoded.get()) > 0 && PyBytes_AS_STRING(encoded.get())[0] == '~') {
    Ref os_path = check(PyImport_ImportModule("os.path"));
    encoded = check(PyObject_CallMethod(os_path.get(), "expanduser", "(O)", encoded.get()));
  }
  return std::string(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
}

bool is_path(PyObject* source) {
  return PyUnicode_Check(source) || PyBytes_Check(source) || has_method(source, "__fspath__");
}

// libsndfile keeps the reason of a failed open in process-wide state, which
// another open failing at the same time may overwrite. Opens run side by side
// (a FIFO that nobody writes to, a slow file object, stall only their own
// caller) and count themselves here; a failed open reads the reason only when
// no other open ran beside it, and is otherwise made again alone.
struct Opens {
  std::mutex mutex;
  std::condition_variable done;  // an open has ended
  int in_flight = 0;
  unsigned long long begun = 0;
};

Opens& opens() {
  static Opens counted;
  return counted;
}

SNDFILE* call_open(StreamState& s, const std::string& path, int fd) {
  if (s.io) return sf_open_virtual(&Io::table, s.mode, &s.info, s.io.get());
  // The descriptor stays ours (closed with the stream), so that a failed
  // open can be made again.
  if (fd >= 0) return sf_open_fd(fd, s.mode, &s.info, SF_FALSE);
  return sf_open(path.c_str(), s.mode, &s.info);
}

// Back to where the first open began, for an open made again; false for a
// source that cannot be read twice (a FIFO, a device).
bool rewound(StreamState& s, const std::string& path, int fd, sf_count_t start) {
  struct stat found;
  if (s.io) return s.io->seek(0, SEEK_SET) == 0;  // an exception it met stays for the caller
  if (fd >= 0) return fstat(fd, &found) == 0 && S_ISREG(found.st_mode) &&
                      lseek(fd, start, SEEK_SET) == start;
  return stat(path.c_str(), &found) == 0 && S_ISREG(found.st_mode);
}

// Counts an open in (under the library mutex, which an open made alone
// holds: no open begins beside it); whether none was in flight.
bool begin_open(Opens& counted, unsigned long long& mine) {
  library_mutex().lock();
  std::lock_guard<std::mutex> hold(counted.mutex);
  bool alone = counted.in_flight++ == 0;
  mine = ++counted.begun;
  library_mutex().unlock();
  return alone;
}

// Counts an open out; whether it ran alone from its beginning, reading
// libsndfile's reason for a failure then.
bool end_open(Opens& counted, unsigned long long mine, bool alone, SNDFILE* file,
              std::string& reason) {
  std::lock_guard<std::mutex> hold(counted.mutex);
  --counted.in_flight;
  counted.done.notify_all();
  alone = alone && counted.begun == mine;
  if (file == nullptr && alone) reason = file_reason(nullptr, 0);
  return alone;
}

// An open made alone: new opens wait while the ones in flight end (for a
// while: one may wait on a FIFO for ever).
SNDFILE* open_alone(StreamState& s, const std::string& path, int fd, std::string& reason) {
  Opens& counted = opens();
  library_mutex().lock();
  std::unique_lock<std::mutex> hold(counted.mutex);
  bool alone = counted.done.wait_for(hold, std::chrono::seconds(2),
                                     [&] { return counted.in_flight == 0; });
  hold.unlock();
  SNDFILE* file = nullptr;
  if (alone) {
    file = call_open(s, path, fd);
    if (file == nullptr) reason = file_reason(nullptr, 0);
  } else {
    reason = "libsndfile's reason was lost: another file was failing to open at the same time";
  }
  library_mutex().unlock();
  return file;
}

// The open call itself. Returns the handle, or null with libsndfile's text
// in `reason`.
SNDFILE* open_file(StreamState& s, const std::string& path, int fd, std::string& reason) {
  // A file object's callback during an open made alone runs with the library
  // mutex held: opening another file there would wait for itself.
  if (library_mutex().held_here())
    raise(PyExc_RuntimeError, "cannot open a sound file from a file object's callback "
                              "while another is being opened");
  Unlocked unlocked;
  SF_INFO asked = s.info;
  sf_count_t start = fd >= 0 ? lseek(fd, 0, SEEK_CUR) : 0;
  Opens& counted = opens();
  unsigned long long mine = 0;
  bool alone = begin_open(counted, mine);
  SNDFILE* file = call_open(s, path, fd);
  alone = end_open(counted, mine, alone, file, reason);
  if (file == nullptr && !alone) {
    s.info = asked;
    if (rewound(s, path, fd, start)) file = open_alone(s, path, fd, reason);
    else reason = "libsndfile's reason was lost: another file failed to open at the same time";
  }
  // Floats are scaled by full scale and limited to it in both directions, so
  // that float data read from and written back to integer encodings gives
  // back the samples as stored (without it libsndfile scales writes by one
  // step less and lets values beyond full scale wrap around).
  if (file != nullptr) sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return file;
}

[[noreturn]] void raise_errno(int code, PyObject* name);

// OSError(code, "descriptor N ...", N): what makes a descriptor unfit for
// the mode, said before libsndfile is asked (it would answer "Format not
// recognised." for all of them).
[[noreturn]] void raise_unfit(int code, int fd, const char* what) {
  Ref text = check(PyUnicode_FromFormat("descriptor %d %s", fd, what));
  Ref number = check(PyLong_FromLong(fd));
  Ref error = check(PyObject_CallFunction(PyExc_OSError, "iOO", code, text.get(), number.get()));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  fail();
}

void check_descriptor(int fd, int mode, PyObject* name) {
  struct stat found;
  if (fstat(fd, &found) != 0) raise_errno(errno, name);
  if (S_ISDIR(found.st_mode)) raise_errno(EISDIR, name);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) raise_errno(errno, name);
  int access = flags & O_ACCMODE;
  if (mode == SFM_READ && access == O_WRONLY) raise_unfit(EBADF, fd, "is not open for reading");
  if (mode != SFM_READ && access == O_RDONLY) raise_unfit(EBADF, fd, "is not open for writing");
  // libsndfile rewrites a header at the start of the file; with O_APPEND
  // every such write would land at the end instead.
  if (mode != SFM_READ && (flags & O_APPEND))
    raise_unfit(EINVAL, fd, "is open for appending, which would corrupt a sound file's header; "
                            "open it without O_APPEND");
}

// A duplicate of the caller's descriptor, which the stream owns and closes
// (libsndfile reads and writes it, and leaves it open).
int own_duplicate(PyObject* source, int mode) {
  long value = PyLong_AsLong(source);
  if (value == -1 && PyErr_Occurred()) fail();
  if (value < 0 || value > INT_MAX) raise(PyExc_ValueError, "not a valid file descriptor");
  int fd = static_cast<int>(value);
  check_descriptor(fd, mode, source);
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    fail();
  }
  return copy;
}

// The system's reason a path cannot be opened in `mode` (errno), or 0.
int path_problem(const std::string& path, int mode) {
  struct stat found;
  if (stat(path.c_str(), &found) != 0) return mode == SFM_READ || errno != ENOENT ? errno : 0;
  if (S_ISDIR(found.st_mode)) return EISDIR;
  int access = mode == SFM_READ ? R_OK : mode == SFM_WRITE ? W_OK : R_OK | W_OK;
  return faccessat(AT_FDCWD, path.c_str(), access, AT_EACCESS) != 0 ? errno : 0;
}

// OSError(errno, strerror, name): the interpreter picks the subclass
// (FileNotFoundError, IsADirectoryError, PermissionError, ...).
[[noreturn]] void raise_errno(int code, PyObject* name) {
  Ref error = check(PyObject_CallFunction(PyExc_OSError, "isO", code, std::strerror(code), name));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  fail();
}

[[noreturn]] void raise_open_error(StreamState& s, const std::string& path,
                                   const std::string& reason) {
  // A file object's own exception says why better than libsndfile can: the
  // one a callback met, else that of a seek libsndfile was told had failed.
  PendingError error = s.io ? s.io->take_error() : PendingError{};
  if (error.empty() && s.io) error = s.io->take_seek_error();
  if (!error.empty()) {
    error.restore();
    fail();
  }
  if (!path.empty()) {
    if (int code = path_problem(path, s.mode)) raise_errno(code, s.name.get());
  }
  raise_named(s, PyExc_OSError, check(PyUnicode_FromFormat("cannot open %U: %s", s.label.get(),
                                                           reason.c_str())));
}

// What an OSError names: the path or descriptor, or a file object's name
// (None for memory and for file objects without a name).
Ref filename_of(const StreamState& s, PyObject* source, bool named) {
  if (named) return Ref::borrow(s.name.get());
  if (PyObject_CheckBuffer(source) || !has_method(source, "name")) return Ref::borrow(Py_None);
  Ref name = Ref::steal(PyObject_GetAttrString(source, "name"));
  if (!name) PyErr_Clear();
  bool usable = name && (PyUnicode_Check(name.get()) || PyBytes_Check(name.get()) ||
                         PyLong_Check(name.get()));
  return usable ? std::move(name) : Ref::borrow(Py_None);
}

// The source's size in bytes where the system or the memory says it (else 0).
sf_count_t source_size(const StreamState& s, const std::string& path, int fd) {
  struct stat found;
  if (!path.empty()) return stat(path.c_str(), &found) == 0 ? found.st_size : 0;
  if (fd >= 0) return fstat(fd, &found) == 0 ? found.st_size : 0;
  auto* memory = dynamic_cast<MemoryIo*>(s.io.get());
  return memory != nullptr && s.mode == SFM_READ ? memory->length() : 0;
}

}  // namespace

void open_source(StreamState& s, PyObject* source) {
  bool writing = s.mode != SFM_READ;
  std::string path;
  int fd = -1;
  s.name = Ref::borrow(source);
  if (PyBool_Check(source)) raise(PyExc_TypeError, "a sound source cannot be a bool");
  if (PyLong_Check(source)) {
    fd = own_duplicate(source, s.mode);
    s.descriptor.reset(fd);
  } else if (is_path(source)) {
    path = path_bytes(source);
    s.name = check(PyUnicode_DecodeFSDefaultAndSize(path.data(), path.size()));
  } else if (PyObject_IsInstance(source, bytesio_type()) == 1) {
    if (writing) s.io = std::make_unique<DeliveringIo>(Ref::borrow(source), position_of(source));
    else lend_bytesio(s, source);
  } else if (!writing && PyObject_CheckBuffer(source)) {
    lend_buffer(s, source);
  } else if (has_method(source, "read") || has_method(source, "write")) {
    reach_file_object(s, source, writing);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "a sound source is a path, a file descriptor, a bytes-like object or a binary "
                 "file object, not %.100s",
                 Py_TYPE(source)->tp_name);
    fail();
  }
  if (PyErr_Occurred()) fail();
  if (!s.label) s.label = check(PyObject_Repr(s.name.get()));
  s.filename = filename_of(s, source, !path.empty() || fd >= 0);
  s.source_bytes = source_size(s, path, fd);
  std::string reason;
  s.file = open_file(s, path, fd, reason);
  if (s.file == nullptr) {
    // An open that a signal interrupted (Ctrl-C while it waits on a FIFO)
    // ends with the signal's exception.
    check_status(PyErr_CheckSignals());
    raise_open_error(s, path, reason);
  }
}

}  // namespace ondalis::stream
