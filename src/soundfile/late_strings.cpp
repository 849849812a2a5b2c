// Strings that reach the file only when libsndfile closes it: see the header.
#include "late_strings.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "../capi/module_ns.hpp"
#include "../capi/protocol.hpp"

namespace ondalis::late_strings {
namespace {

constexpr const char* kLost =
    "Ondalis::error while closing {0}\n\t->{1} did not reach the file (is the disk full?)";

// String-type ids: SF_STR_TITLE (1) to SF_STR_GENRE (16).
constexpr int kFirstType = 1;
constexpr int kLastType = 16;
constexpr uint32_t bit(int id) { return uint32_t{1} << id; }

uint32_t all_set(const StringsSet& set) { return set.with_header | set.after_frames; }

// The string types among `mask` that `file` holds.
Expected held(const SndfileHandle& file, uint32_t mask) {
  Expected found;
  for (int id = kFirstType; id <= kLastType; ++id)
    if ((mask & bit(id)) && file.getString(id) != nullptr) found.push_back(id);
  return found;
}

// The strings of the types among `mask` that `from` holds, set on `to`.
void copy_strings(const SndfileHandle& from, SndfileHandle& to, uint32_t mask) {
  for (int id : held(from, mask)) to.setString(id, from.getString(id));
}

// A growing file in memory, through libsndfile's virtual I/O.
struct MemoryFile {
  std::vector<char> bytes;
  sf_count_t at = 0;

  static MemoryFile& of(void* file) { return *static_cast<MemoryFile*>(file); }
  sf_count_t size() const { return static_cast<sf_count_t>(bytes.size()); }

  static sf_count_t length(void* file) { return of(file).size(); }
  static sf_count_t tell(void* file) { return of(file).at; }
  static sf_count_t seek(sf_count_t offset, int whence, void* file) {
    MemoryFile& m = of(file);
    const sf_count_t base = whence == SEEK_CUR ? m.at : whence == SEEK_END ? m.size() : 0;
    if (base + offset < 0) return -1;
    return m.at = base + offset;
  }
  static sf_count_t read(void* into, sf_count_t count, void* file) {
    MemoryFile& m = of(file);
    const sf_count_t n = std::clamp<sf_count_t>(m.size() - m.at, 0, count);
    if (n > 0) std::memcpy(into, m.bytes.data() + m.at, n);
    m.at += n;
    return n;
  }
  static sf_count_t write(const void* from, sf_count_t count, void* file) {
    MemoryFile& m = of(file);
    if (m.at + count > m.size()) m.bytes.resize(m.at + count);
    if (count > 0) std::memcpy(m.bytes.data() + m.at, from, count);
    m.at += count;
    return count;
  }
};

SF_VIRTUAL_IO memory_io = {MemoryFile::length, MemoryFile::seek, MemoryFile::read,
                           MemoryFile::write, MemoryFile::tell};

// The string types that a file of the object's layout, given its strings
// at the same places, reads back after a close that loses nothing.
Expected rehearsed(SoundFile* self) {
  const StringsSet& set = self->strings_set;
  const SndfileHandle& real = self->handle;
  MemoryFile memory;
  {
    SndfileHandle file(memory_io, &memory, SFM_WRITE, real.format(), real.channels(),
                       real.samplerate());
    if (file.rawHandle() == nullptr) return {};
    copy_strings(real, file, set.with_header);
    const std::vector<short> frame(static_cast<std::size_t>(real.channels()));
    if (set.frames_written || self->mode == SFM_RDWR) file.writef(frame.data(), 1);
    copy_strings(real, file, set.after_frames);
  }  // closed: libsndfile writes what it kept
  memory.at = 0;
  SndfileHandle back(memory_io, &memory, SFM_READ);
  if (back.rawHandle() == nullptr) return {};
  return held(back, all_set(set));
}

// A descriptor, closed when it goes out of scope unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// The closed file, opened anew for reading (an empty handle when libsndfile
// cannot make sense of it any more), or nothing when it cannot be read back
// as a regular file. A descriptor is reopened through /proc (it may be open
// for writing only); O_NONBLOCK keeps the open of a name that now leads to a
// FIFO from waiting for a writer.
std::optional<SndfileHandle> reopened(const SoundFile* self) {
  const std::string path =
      self->fd >= 0 ? "/proc/self/fd/" + std::to_string(self->fd) : self->filename;
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status;
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  // libsndfile closes the descriptor from here on, also when it fails.
  return SndfileHandle(fd.release(), true, SFM_READ);
}

[[noreturn]] void raise_lost(const SoundFile* self, const std::vector<int>& ids) {
  Ref table = ONDALIS_LOOKUP("stringtype_id_to_name");
  Ref names = check(PyList_New(0));
  for (int id : ids) {
    Ref key = py_int(id);
    Ref name = getitem(table.get(), key.get());
    check_status(PyList_Append(names.get(), name.get()));
  }
  Ref separator = py_str(", ");
  Ref joined = check(PyUnicode_Join(separator.get(), names.get()));
  Ref file = py_bytes(self->filename.data(), self->filename.size());
  raise_format(PyExc_OSError, kLost, file, joined);
}

}  // namespace

void note_string(SoundFile* self, int id) {
  if (id < kFirstType || id > kLastType) return;
  StringsSet& set = self->strings_set;
  if (set.frames_written || self->mode == SFM_RDWR) {
    set.after_frames |= bit(id);
    set.with_header &= ~bit(id);
  } else {
    set.with_header |= bit(id);
  }
}

void note_frames(SoundFile* self) { self->strings_set.frames_written = true; }

Expected expected_at_close(SoundFile* self) {
  if (!is_open(self) || self->mode == SFM_READ || all_set(self->strings_set) == 0) return {};
  return rehearsed(self);
}

void check_closed_file(SoundFile* self, const Expected& expected) {
  if (expected.empty()) return;
  std::optional<SndfileHandle> file = reopened(self);
  if (!file) return;
  std::vector<int> lost;
  for (int id : expected)
    if (file->rawHandle() == nullptr || file->getString(id) == nullptr) lost.push_back(id);
  if (!lost.empty()) raise_lost(self, lost);
}

}  // namespace ondalis::late_strings
