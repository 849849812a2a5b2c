// The Stream type of the streaming path: one open libsndfile file on any
// source (path, descriptor, memory, file object). Its methods release the
// interpreter lock around every libsndfile call and serialise on the
// stream's own mutex.
#pragma once
#include <Python.h>
#include <sndfile.h>
#include <unistd.h>

#include <limits>
#include <memory>
#include <utility>

#include "../capi/error.hpp"
#include "../capi/ref.hpp"
#include "../chunks/rules.hpp"
#include "buffer.hpp"
#include "io.hpp"
#include "lock.hpp"

namespace ondalis::stream {

// The length libsndfile reports for a stream whose length it does not know
// (a FLAC from a streaming encoder, a pipe); Python sees it as UNKNOWN_LENGTH.
inline constexpr sf_count_t kUnknownLength = std::numeric_limits<sf_count_t>::max();

// A descriptor closed with its holder.
class OwnedFd {
 public:
  OwnedFd() = default;
  ~OwnedFd() { reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

struct StreamState {
  OwnedMutex mutex;
  SNDFILE* file = nullptr;  // null once closed; guarded by `mutex`
  SF_INFO info{};           // as opened; never changes afterwards
  int mode = SFM_READ;
  std::unique_ptr<ExportedBuffer> buffer;  // memory lent by the caller
  std::unique_ptr<Io> io;                  // null for paths and descriptors
  OwnedFd descriptor;  // the duplicate of a caller's descriptor libsndfile reads or writes
  Ref name;                                // the source, or the path as a str
  Ref label;                               // how messages name it (a str)
  Ref filename;  // what an OSError's filename is: the path, the descriptor, a file object's name
  sf_count_t source_bytes = 0;  // the size of the source when known (else 0)
  sf_count_t position = 0;      // the frame reads go on from; guarded by `mutex`
  bool truncate_damage = false;  // a decoder error ends the frames with a warning
  bool damage_reported = false;  // that warning was given
  chunks::Budget chunk_budget{};           // chunks set so far; guarded by `mutex`
  long long clipped = 0;  // float samples beyond [-1, 1] written to an integer encoding
};

struct Stream {
  PyObject_HEAD
  StreamState state;
};

extern PyTypeObject StreamType;

// Moves out the exception a file-object callback met and lets the stream's
// mutex go, with the interpreter lock held again: the collector reads that
// exception (tp_traverse) whenever it holds the lock, so it changes only then.
inline PendingError take_error_and_unlock(StreamState& s) {
  PendingError error = s.io ? s.io->take_error() : PendingError{};
  s.mutex.unlock();
  return error;
}

// Runs `call(file)` on the open file with the interpreter lock released and
// the stream's mutex held; then carries out any exception a file-object
// callback met. ValueError on a closed stream, RuntimeError when a thread
// re-enters its own stream from a callback.
template <class Call>
auto with_file(Stream* self, Call&& call) {
  StreamState& s = self->state;
  if (s.mutex.held_here())
    raise(PyExc_RuntimeError, "the stream is in use by its own file object's callback");
  decltype(call(static_cast<SNDFILE*>(nullptr))) result{};
  bool closed = false;
  {
    Unlocked unlocked;
    s.mutex.lock();
    if (s.file == nullptr) closed = true;
    else result = call(s.file);
  }
  PendingError error = take_error_and_unlock(s);
  if (!error.empty()) {
    error.restore();
    fail();
  }
  if (closed) raise(PyExc_ValueError, "I/O operation on a closed sound file");
  return result;
}

// OSError with libsndfile's text for the file's last error.
// `code`: the system's errno for the failure, when known (else 0).
[[noreturn]] void raise_file_error(Stream* self, const char* what, int code = 0);
// An exception of `type` with `message`, its filename the stream's source
// (the user's path, descriptor or file object's name), and with `code` its
// errno and strerror.
[[noreturn]] void raise_named(const StreamState& s, PyObject* type, const Ref& message,
                              int code = 0);
// io.UnsupportedOperation(text).
[[noreturn]] void raise_unsupported(const char* text);
// The type of the OSErrors raise_named makes (made once, at module
// execution; a new reference, or null with an exception set).
PyObject* make_sndfile_error();
// The reason for the last error of `file` (null: of the last failed open),
// never one of libsndfile's texts for a number outside its table; the
// system's text for `system_code` then, when it is not 0.
std::string file_reason(SNDFILE* file, int system_code);
// The reason for libsndfile's error number `code` (as sf_close answers it).
std::string number_reason(int code);

}  // namespace ondalis::stream
