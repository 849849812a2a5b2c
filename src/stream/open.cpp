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
#include <vector>

#include "../capi/error.hpp"
#include "open.hpp"

namespace ondalis::stream {

OwnedMutex& library_mutex() {
  static OwnedMutex mutex;
  return mutex;
}

namespace {

// io.BytesIO, imported once (a borrowed type kept for the life of the process).
PyObject* bytesio_type() {
  static PyObject* type = [] {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    return io ? PyObject_GetAttrString(io.get(), "BytesIO") : nullptr;
  }();
  if (type == nullptr) fail();
  return type;
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

// Everything a non-seekable reader holds, read to its end.
std::vector<char> read_to_end(PyObject* reader) {
  std::vector<char> bytes;
  for (;;) {
    Ref chunk = check(PyObject_CallMethod(reader, "read", "(n)", Py_ssize_t{1} << 20));
    ExportedBuffer view(chunk.get());
    if (view.size() == 0) return bytes;
    bytes.insert(bytes.end(), view.data(), view.data() + view.size());
  }
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
  else s.io = std::make_unique<MemoryIo>(read_to_end(file));
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

// The open call itself. Returns the handle, or null with libsndfile's text
// in `reason`.
SNDFILE* open_file(StreamState& s, const std::string& path, int fd, std::string& reason) {
  OwnedMutex& library = library_mutex();
  // A file object's callback during an open runs with the library mutex
  // held: opening another file there would wait for itself.
  if (library.held_here())
    raise(PyExc_RuntimeError, "cannot open a sound file from a file object's callback "
                              "while another is being opened");
  Unlocked unlocked;
  library.lock();
  SNDFILE* file = nullptr;
  if (s.io) file = sf_open_virtual(&Io::table, s.mode, &s.info, s.io.get());
  else if (fd >= 0) file = sf_open_fd(fd, s.mode, &s.info, SF_TRUE);
  else file = sf_open(path.c_str(), s.mode, &s.info);
  if (file == nullptr) reason = sf_strerror(nullptr);
  library.unlock();
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

// A duplicate of the caller's descriptor for libsndfile to own and close
// (it closes the descriptor it is given even when opening fails).
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

// The system's reason a path cannot be read as a file (errno), or 0.
int path_problem(const std::string& path, int mode) {
  struct stat found;
  if (stat(path.c_str(), &found) != 0) return mode == SFM_READ || errno != ENOENT ? errno : 0;
  return S_ISDIR(found.st_mode) ? EISDIR : 0;
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
  PendingError error = s.io ? s.io->take_error() : PendingError{};
  if (!error.empty()) {
    error.restore();
    fail();
  }
  if (!path.empty()) {
    if (int code = path_problem(path, s.mode)) raise_errno(code, s.name.get());
  }
  PyErr_Format(PyExc_OSError, "cannot open %U: %s", s.label.get(), reason.c_str());
  fail();
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
  std::string reason;
  s.file = open_file(s, path, fd, reason);
  if (s.file == nullptr) raise_open_error(s, path, reason);
}

}  // namespace ondalis::stream
