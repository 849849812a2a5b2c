// Where a stream's bytes live when they are not a path or a descriptor:
// memory (a buffer the caller lends, an io.BytesIO's own buffer, bytes read
// from a pipe, bytes written for an object without a name) or a seekable
// Python file object reached through its methods. libsndfile reaches either
// through its virtual I/O table; the callbacks run with the interpreter lock
// released, and only the file-object ones take it back.
#pragma once
#include <Python.h>
#include <sndfile.h>

#include <memory>
#include <vector>

#include "../capi/ref.hpp"

namespace ondalis::stream {

// A Python exception carried out of a callback (taken and restored whole).
class PendingError {
 public:
  bool empty() const { return type_ == nullptr; }
  // Takes the interpreter's current exception; keeps only the first one.
  void take();
  // Sets it as the interpreter's exception again and empties this holder.
  void restore();
  // Moves the exception out, without touching reference counts (safe with
  // the interpreter lock released).
  PendingError release() {
    PendingError out;
    std::swap(out.type_, type_);
    std::swap(out.value_, value_);
    std::swap(out.traceback_, traceback_);
    return out;
  }
  PendingError() = default;
  PendingError(PendingError&& other) noexcept { *this = std::move(other); }
  PendingError& operator=(PendingError&& other) noexcept {
    std::swap(type_, other.type_);
    std::swap(value_, other.value_);
    std::swap(traceback_, other.traceback_);
    return *this;
  }
  ~PendingError() { clear(); }  // drops an exception nobody restored (the lock must be held)
  // Drops it now.
  void clear();
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(type_);
    Py_VISIT(value_);
    Py_VISIT(traceback_);
    return 0;
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

class Io {
 public:
  // `file`: the Python file object the Io reads and writes through, or hands
  // its bytes to at the end; null for memory alone.
  explicit Io(Ref file = Ref()) : file_(std::move(file)) {}
  virtual ~Io() = default;
  virtual sf_count_t length() = 0;
  virtual sf_count_t seek(sf_count_t offset, int whence) = 0;
  virtual sf_count_t read(void* data, sf_count_t count) = 0;
  virtual sf_count_t write(const void* data, sf_count_t count) = 0;
  virtual sf_count_t tell() = 0;
  // After a successful close of a written stream, with the interpreter lock
  // held: hands the bytes to their owner (an io.BytesIO, a file object).
  virtual void deliver() {}
  // The exception a callback met, if any (moved out, with the interpreter
  // lock held: the collector reads it).
  PendingError take_error() { return error_.release(); }
  // The OSError of the last seek that failed, which libsndfile was told of
  // as a failed seek and may have got over (moved out, with the interpreter
  // lock held).
  PendingError take_seek_error() { return seek_error_.release(); }
  // The collector's visit of the Python objects this Io holds.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(file_.get());
    if (int found = error_.traverse(visit, arg)) return found;
    return seek_error_.traverse(visit, arg);
  }
  // Drops them; only once libsndfile has closed the file, which calls back
  // into this Io until then.
  void clear() {
    file_ = Ref();
    error_.clear();
    seek_error_.clear();
  }
  // libsndfile's table of callbacks, each forwarding to an Io.
  static SF_VIRTUAL_IO table;

 protected:
  Ref file_;
  PendingError error_;
  PendingError seek_error_;
};

// Bytes in memory. Reading: `size` bytes at `data`, which the owner keeps
// alive and in place (a Python buffer exported for the stream's life, or
// `owned`); the caller may still write to a lent buffer, even through an out
// array that lies over it, so reads copy with copy_bytes. Writing: a growing
// array of our own.
class MemoryIo : public Io {
 public:
  // A read-only view of `size` bytes.
  MemoryIo(const char* data, sf_count_t size) : data_(data), size_(size) {}
  // Bytes of our own (a pipe's whole content, or an empty store to write into
  // that is handed to `file` at the end).
  explicit MemoryIo(std::vector<char> owned, Ref file = Ref());

  sf_count_t length() override { return size_; }
  sf_count_t seek(sf_count_t offset, int whence) override;
  sf_count_t read(void* data, sf_count_t count) override;
  sf_count_t write(const void* data, sf_count_t count) override;
  sf_count_t tell() override { return position_; }
  // What was written (the whole store).
  const std::vector<char>& written() const { return owned_; }

 private:
  std::vector<char> owned_;
  const char* data_;
  sf_count_t size_;
  sf_count_t position_ = 0;
  bool writable_ = false;
};

// A seekable binary file object; offsets count from where it stood when the
// stream was opened.
class FileObjectIo : public Io {
 public:
  FileObjectIo(Ref file, sf_count_t base) : Io(std::move(file)), base_(base) {}

  sf_count_t length() override;
  sf_count_t seek(sf_count_t offset, int whence) override;
  sf_count_t read(void* data, sf_count_t count) override;
  sf_count_t write(const void* data, sf_count_t count) override;
  sf_count_t tell() override;

 protected:
  // Runs `body` with the interpreter lock taken; a Python exception it
  // raises is kept for the caller and `failed` returned instead. After the
  // first exception no more Python code runs.
  template <class Body>
  sf_count_t guarded_call(sf_count_t failed, Body&& body);
  // One call of read(count): the bytes it gave, copied to `data`.
  sf_count_t read_some(char* data, sf_count_t count);

 private:
  sf_count_t absolute_tell();
  sf_count_t end_position();
  // False when the file object's seek() raised OSError (a failed seek).
  bool seek_to(sf_count_t position);

  sf_count_t base_;
};

// A binary file object that cannot seek (a pipe, a socket), read as
// libsndfile asks for its bytes and kept so that it can seek back over them:
// the first kMemoryBytes in memory, the rest in a temporary file that has no
// name. A long stream costs disk, not memory. A seek only moves the
// position; a read more than kLookAhead bytes past what the stream has given
// finds nothing, as a pipe would, so libsndfile's look past a header's
// claimed data (for chunks after it) does not read a long stream through,
// and describing an endless stream reads kLookAhead bytes of it.
class SpoolIo : public FileObjectIo {
 public:
  static constexpr sf_count_t kMemoryBytes = sf_count_t{4} << 20;
  static constexpr sf_count_t kLookAhead = sf_count_t{16} << 20;
  explicit SpoolIo(Ref file) : FileObjectIo(std::move(file), 0) {}
  ~SpoolIo() override;
  SpoolIo(const SpoolIo&) = delete;
  SpoolIo& operator=(const SpoolIo&) = delete;

  // The stream's length when it ends within kLookAhead bytes (read for it),
  // else the unknown length: a longer stream's end is not read for it.
  sf_count_t length() override;
  sf_count_t seek(sf_count_t offset, int whence) override;
  sf_count_t read(void* data, sf_count_t count) override;
  sf_count_t write(const void*, sf_count_t) override { return 0; }
  sf_count_t tell() override { return position_; }

 private:
  // Reads on until `end` bytes are held or the stream has ended.
  void fill_to(sf_count_t end);
  // Keeps `n` bytes that came next.
  void keep(const char* data, sf_count_t n);
  // Copies `n` held bytes from `at` to `data`.
  void copy_out(sf_count_t at, char* data, sf_count_t n);

  std::vector<char> memory_;
  int spool_ = -1;  // the temporary file, once the stream outgrows memory
  sf_count_t held_ = 0;
  sf_count_t position_ = 0;
  bool ended_ = false;
};

// A memory store written for an object without a name; deliver() writes the
// bytes to `target` with target.write(), after seeking it back to where it
// stood (for an io.BytesIO or a seekable file object) when `start` >= 0.
class DeliveringIo : public MemoryIo {
 public:
  DeliveringIo(Ref target, sf_count_t start)
      : MemoryIo(std::vector<char>{}, std::move(target)), start_(start) {}
  void deliver() override;

 private:
  sf_count_t start_;
};

}  // namespace ondalis::stream
