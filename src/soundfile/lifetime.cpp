// Opening, closing and lifetime of Ondalis objects.
#include <fcntl.h>
#include <sys/stat.h>

#include <new>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/module_ns.hpp"
#include "late_strings.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

constexpr const char* kTooManyChannels = "Ondalis:: max number of channels exceeded {} > {}!";
constexpr const char* kNeedsFormat = "Ondalis::opening for writing requires a format argument !";
constexpr const char* kBadMode = "Ondalis::mode {0} not recognized";
constexpr const char* kOpenFailed = "Ondalis::error while opening {0}\n\t->{1}";
// Reasons given in place of libsndfile's text when a file is refused
// before libsndfile is asked.
constexpr const char* kIsDirectory = "is a directory";
constexpr const char* kNotForReading = "not open for reading";
constexpr const char* kNotForWriting = "not open for writing";
constexpr const char* kAppending =
    "opened with O_APPEND: header rewrites would land at the end of the file";
constexpr const char* kNoPickle = "no default __reduce__ due to non-trivial __cinit__";

void check_channels(int channels) {
  Ref limit = ONDALIS_LOOKUP("SF_MAX_CHANNELS");
  Ref given = py_int(channels);
  if (greater(given.get(), limit.get()))
    raise_format(PyExc_ValueError, kTooManyChannels, given, limit);
}

int open_mode(PyObject* mode, int format) {
  int sf_mode = 0;
  if (equal(mode, ONDALIS_NAME("r"))) return SFM_READ;
  if (equal(mode, ONDALIS_NAME("w"))) sf_mode = SFM_WRITE;
  else if (equal(mode, ONDALIS_NAME("rw"))) sf_mode = SFM_RDWR;
  else {
    Ref text = check(PyObject_Str(mode));
    raise_format(PyExc_ValueError, kBadMode, text);
  }
  if (format == 0) raise(PyExc_ValueError, kNeedsFormat);
  return sf_mode;
}

// The interpreter's own posixpath.expanduser (borrowed, kept for the life of
// the process), or null where there is none.
PyObject* original_expanduser() {
  static PyObject* original = [] {
    Ref posixpath = Ref::steal(PyImport_ImportModule("posixpath"));
    PyObject* found = posixpath ? PyObject_GetAttrString(posixpath.get(), "expanduser") : nullptr;
    if (found == nullptr) PyErr_Clear();
    return found;
  }();
  return original;
}

// Whether expanduser would hand `path` back unchanged: the interpreter's own
// function returns a str or bytes that does not start with a tilde as it is.
bool needs_no_expansion(PyObject* expanduser, PyObject* path) {
  if (expanduser != original_expanduser()) return false;
  if (PyUnicode_CheckExact(path))
    return PyUnicode_GET_LENGTH(path) == 0 || PyUnicode_READ_CHAR(path, 0) != '~';
  if (PyBytes_CheckExact(path)) return PyBytes_GET_SIZE(path) == 0 || PyBytes_AS_STRING(path)[0] != '~';
  return false;
}

// os.path.expanduser(filename), as bytes: a str is encoded as the file system
// does (os.fsencode), so a name from os.listdir that is not valid UTF-8
// comes back as the bytes it was. The call is skipped when it
// could not change the path (the common case of opening many files).
std::string expanded_path(PyObject* filename) {
  Ref os = ONDALIS_LOOKUP("os");
  Ref path = attr(os.get(), ONDALIS_NAME("path"));
  Ref expanduser = attr(path.get(), ONDALIS_NAME("expanduser"));
  Ref expanded = needs_no_expansion(expanduser.get(), filename)
                     ? Ref::borrow(filename)
                     : call(expanduser.get(), filename);
  Ref encoded = PyUnicode_Check(expanded.get())
                    ? check(PyUnicode_EncodeFSDefault(expanded.get()))
                    : std::move(expanded);
  char* data;
  Py_ssize_t size;
  check_status(PyBytes_AsStringAndSize(encoded.get(), &data, &size));
  return std::string(data, size);
}

// A handle on the caller's descriptor `fd`, which stays open whatever
// happens. libsndfile closes the descriptor it was given when opening fails,
// even when told not to, so it is given a duplicate (same open file, same
// offset) to own and close instead. Without a duplicate (a bad descriptor)
// it is given `fd` itself and reports the failure.
SndfileHandle open_descriptor(int fd, int mode, int format, int channels, int samplerate) {
  const int own = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (own < 0) return SndfileHandle(fd, false, mode, format, channels, samplerate);
  return SndfileHandle(own, true, mode, format, channels, samplerate);
}

bool is_directory(const struct stat& status) { return S_ISDIR(status.st_mode); }

// Why the descriptor cannot serve `mode`, or null when libsndfile may try
// (also for a bad descriptor, which libsndfile reports). A descriptor that
// appends would make every header rewrite land at the end of the file.
const char* descriptor_refusal(int fd, int mode) {
  struct stat status;
  if (fstat(fd, &status) == 0 && is_directory(status)) return kIsDirectory;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return nullptr;
  const int access = flags & O_ACCMODE;
  if ((mode & SFM_READ) && access == O_WRONLY) return kNotForReading;
  if ((mode & SFM_WRITE) && access == O_RDONLY) return kNotForWriting;
  if ((mode & SFM_WRITE) && (flags & O_APPEND)) return kAppending;
  return nullptr;
}

// Why the path cannot be opened, or null when libsndfile may try.
const char* path_refusal(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && is_directory(status) ? kIsDirectory : nullptr;
}

// OSError "Ondalis::error while opening {0}\n\t->{1}": the name the object was
// opened by and the reason, both as bytes.
[[noreturn]] void raise_open_failed(const SoundFile* self, const char* reason) {
  Ref name = py_bytes(self->filename.data(), self->filename.size());
  Ref why = py_bytes(reason);
  raise_format(PyExc_OSError, kOpenFailed, name, why);
}

void open_file_of(SoundFile* self, PyObject* filename, int mode, int format, int channels,
                  int samplerate) {
  if (PyLong_Check(filename)) {
    int fd = index_int32(filename);
    if (const char* refusal = fd >= 0 ? descriptor_refusal(fd, mode) : nullptr)
      raise_open_failed(self, refusal);
    self->handle = open_descriptor(fd, mode, format, channels, samplerate);
    self->fd = fd;
  } else {
    self->filename = expanded_path(filename);
    if (const char* refusal = path_refusal(self->filename.c_str()))
      raise_open_failed(self, refusal);
    self->handle = SndfileHandle(self->filename.c_str(), mode, format, channels, samplerate);
  }
  if (self->handle.rawHandle() == nullptr)
    raise_open_failed(self, sf_strerror(self->handle.rawHandle()));
  self->mode = mode;
}

// The constructor's arguments, parsed and converted before the object exists.
struct OpenArguments {
  PyObject* filename;  // borrowed from the call
  PyObject* mode;      // borrowed; 'r' when left out
  int format;
  int channels;
  int samplerate;
};

int int_or_zero(PyObject* value) { return value != nullptr ? index_int32(value) : 0; }

OpenArguments parse_arguments(PyObject* args, PyObject* kwargs) {
  static Params<5> params = Params<5>("__cinit__", 1, "filename", "mode", "format", "channels",
                                      "samplerate")
                                .ignoring_extra();
  auto [filename, mode, format, channels, samplerate] = params.parse(args, kwargs);
  return OpenArguments{filename, or_default(mode, ONDALIS_NAME("r")), int_or_zero(format),
                       int_or_zero(channels), int_or_zero(samplerate)};
}

void open_object(SoundFile* self, const OpenArguments& a) {
  check_channels(a.channels);
  int sf_mode = open_mode(a.mode, a.format);
  open_file_of(self, a.filename, sf_mode, a.format, a.channels, a.samplerate);
  call_method(reinterpret_cast<PyObject*>(self), ONDALIS_NAME("set_auto_clipping"),
                         Py_True);
}

// Arguments first, then the object: a call with bad arguments creates no
// object. Once it exists, a failure destroys it (through close()).
PyObject* soundfile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    OpenArguments arguments = parse_arguments(args, kwargs);
    Ref object = check(type->tp_alloc(type, 0));
    auto* self = reinterpret_cast<SoundFile*>(object.get());
    new (&self->handle) SndfileHandle();
    self->fd = -1;
    new (&self->filename) std::string();
    open_object(self, arguments);
    return object;
  });
}

// OSError for a failed sf_close, which answers a libsndfile error code, or
// -1 when close(2) failed, which leaves errno set.
void check_close_status(int status) {
  if (status == 0) return;
  if (status < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    fail();
  }
  raise(PyExc_OSError, sf_error_number(status));
}

// Releases the handle, then closes its libsndfile file and raises OSError
// when that fails or when strings that libsndfile writes at close did not
// reach the file: the object is closed either way.
void close_handle(SoundFile* self) {
  const late_strings::Expected expected = late_strings::expected_at_close(self);
  SNDFILE* file = self->handle.takeOwnership();
  self->handle = SndfileHandle();  // in case takeOwnership refused a shared handle
  if (file == nullptr) return;     // never opened: sf_close would reset sf_strerror(NULL)
  check_close_status(sf_close(file));
  late_strings::check_closed_file(self, expected);
}

// Called once before the memory goes: runs close() through method lookup.
// Nothing escapes: a failure (of close, or of interning its name) is
// reported as unraisable, and the exception being handled, if any, is kept.
void soundfile_finalize(PyObject* self) noexcept {
  PreservedError pending;
  Ref result = Ref::steal(
      guarded([&] { return check(PyObject_CallMethodNoArgs(self, ONDALIS_NAME("close"))); }));
  if (!result) PyErr_WriteUnraisable(self);
}

void soundfile_dealloc(PyObject* object) {
  if (PyObject_CallFinalizerFromDealloc(object) < 0) return;  // resurrected
  auto* self = reinterpret_cast<SoundFile*>(object);
  self->handle.~SndfileHandle();  // closes the file if still open
  self->filename.~basic_string();
  Py_TYPE(object)->tp_free(object);
}

Ref close(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("close", 0);
  params.parse(args, nargs, kwnames);
  close_handle(self);
  return py_none();
}

Ref enter(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("__enter__", 0);
  params.parse(args, nargs, kwnames);
  return Ref::borrow(reinterpret_cast<PyObject*>(self));
}

Ref exit(SoundFile* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0)
    raise(PyExc_TypeError, "__exit__() takes no keyword arguments");
  call_method(reinterpret_cast<PyObject*>(self), ONDALIS_NAME("close"));
  return py_none();
}

Ref get_name(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_name", 0);
  params.parse(args, nargs, kwnames);
  return py_bytes(self->filename.data(), self->filename.size());
}

Ref refuse_pickle(SoundFile*, PyObject* const*, Py_ssize_t, PyObject*) {
  raise(PyExc_TypeError, kNoPickle);
}

}  // namespace

PyMethodDef lifetime_methods[] = {
    ONDALIS_SF_METHOD("close", close,
                      "close($self)\n--\n\n"
                      "Closes the sound file (libsndfile finishes writing its header). Takes no\n"
                      "arguments and returns None; does nothing on a closed object. Raises\n"
                      "OSError when libsndfile reports that closing failed (libsndfile's text,\n"
                      "or errno when the system's close failed) and when strings set on the\n"
                      "object, which libsndfile writes at close, do not read back from the\n"
                      "file (a full disk); the object is closed anyway."),
    ONDALIS_SF_METHOD("__enter__", enter, "__enter__($self)\n--\n\n"
                                          "Returns the object itself, for a with block. Takes\n"
                                          "no arguments and raises nothing."),
    ONDALIS_SF_METHOD("__exit__", exit,
                      "__exit__($self, *args)\n--\n\n"
                      "Closes the file at the end of a with block, through close. args: the\n"
                      "exception details, ignored. Returns None, so an exception of the block\n"
                      "is not suppressed; raises only what close raises."),
    ONDALIS_SF_METHOD("get_name", get_name,
                      "get_name($self)\n--\n\n"
                      "Returns the path the file was opened by, after '~' expansion, as bytes\n"
                      "(a str encoded as os.fsencode does; b'' when opened by descriptor).\n"
                      "Takes no arguments and raises nothing; works on a closed object too."),
    ONDALIS_SF_METHOD("__reduce__", refuse_pickle,
                      "__reduce__($self)\n--\n\n"
                      "Refuses pickling: always raises TypeError, since an open libsndfile file\n"
                      "cannot be copied. Takes no arguments and never returns."),
    ONDALIS_SF_METHOD("__setstate__", refuse_pickle,
                      "__setstate__($self, state)\n--\n\n"
                      "Refuses unpickling: state is ignored and TypeError is always raised.\n"
                      "Never returns."),
    {nullptr, nullptr, 0, nullptr},
};

namespace lifetime {
extern const newfunc new_function = soundfile_new;
extern const destructor dealloc_function = soundfile_dealloc;
extern const destructor finalize_function = soundfile_finalize;
}  // namespace lifetime

}  // namespace ondalis
