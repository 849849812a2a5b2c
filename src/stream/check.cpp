// check(): a source decoded to its end in rounds, each with the interpreter
// lock released, and for a FLAC stream its decoded samples hashed as they
// come. FLAC keeps in STREAMINFO the MD5 of its audio as signed
// little-endian integers of its bit depth, each in the fewest whole bytes
// that hold it, channels interleaved; libsndfile hands the samples out
// left-aligned in 32-bit integers, and never compares the signature itself.
#include "check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../capi/boundary.hpp"
#include "md5.hpp"
#include "stream.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {

namespace {

// Frames per read, and reads per round between two looks at Ctrl-C.
constexpr sf_count_t kBlockFrames = 4096;
constexpr int kBlocksPerRound = 256;

// What the start of a FLAC stream says: its bit depth and its signature.
struct FlacHead {
  int bits = 0;
  Md5::Digest signature{};
};

constexpr std::size_t kId3Header = 10;
// libsndfile skips ID3v2 tags before a stream, one after the other.
constexpr int kMostId3Tags = 16;

// The bytes an ID3v2 tag takes (header, body and footer) from its 10-byte
// header; 0 when the bytes are not one.
sf_count_t id3_size(const uint8_t* header) {
  if (std::memcmp(header, "ID3", 3) != 0) return 0;
  sf_count_t body = sf_count_t{header[6] & 0x7fu} << 21 | sf_count_t{header[7] & 0x7fu} << 14 |
                    sf_count_t{header[8] & 0x7fu} << 7 | sf_count_t{header[9] & 0x7fu};
  bool footer = (header[5] & 0x10) != 0;
  return kId3Header + body + (footer ? kId3Header : 0);
}

// The first bytes of a source, read beside libsndfile: a path through a
// descriptor of our own (a regular file only: a FIFO is never read twice),
// a descriptor with pread from where the stream began, memory and file
// objects through the stream's I/O, its position put back for libsndfile.
class HeadReader {
 public:
  HeadReader(StreamState& s, PyObject* source, sf_count_t descriptor_start) : s_(s) {
    if (s.io) return;
    if (PyLong_Check(source)) {
      fd_ = s.descriptor.get();
      base_ = descriptor_start;
      return;
    }
    Ref path = check(PyUnicode_EncodeFSDefault(s.name.get()));
    Unlocked unlocked;
    own_.reset(::open(PyBytes_AS_STRING(path.get()), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat found;
    if (own_.get() >= 0 && fstat(own_.get(), &found) == 0 && S_ISREG(found.st_mode)) fd_ = own_.get();
  }

  // Whether `size` bytes at `offset` were read into `into` (called with the
  // interpreter lock released).
  bool operator()(sf_count_t offset, uint8_t* into, std::size_t size) {
    auto wanted = static_cast<sf_count_t>(size);
    if (s_.io) return through_io(offset, into, wanted);
    if (fd_ < 0 || base_ < 0) return false;
    return pread(fd_, into, size, base_ + offset) == static_cast<ssize_t>(size);
  }

 private:
  bool through_io(sf_count_t offset, uint8_t* into, sf_count_t size) {
    Io& io = *s_.io;
    sf_count_t back = io.tell();
    if (back < 0) return false;
    bool read = io.seek(offset, SEEK_SET) == offset && io.read(into, size) == size;
    return io.seek(back, SEEK_SET) == back && read;
  }

  StreamState& s_;
  int fd_ = -1;
  sf_count_t base_ = 0;
  OwnedFd own_;
};

// The bit depth and signature of the FLAC stream that begins the source
// (after any ID3v2 tags): "fLaC", then STREAMINFO, the first metadata block.
std::optional<FlacHead> flac_head(HeadReader& read_at) {
  sf_count_t at = 0;
  uint8_t tag[kId3Header];
  for (int n = 0; n < kMostId3Tags && read_at(at, tag, sizeof tag); ++n) {
    sf_count_t size = id3_size(tag);
    if (size == 0) break;
    at += size;
  }
  // The marker, the block header (last-block flag and type 0, 24-bit
  // length), and the 34 bytes of STREAMINFO.
  uint8_t head[4 + 4 + 34];
  if (!read_at(at, head, sizeof head) || std::memcmp(head, "fLaC", 4) != 0) return std::nullopt;
  unsigned length = unsigned{head[5]} << 16 | unsigned{head[6]} << 8 | head[7];
  if ((head[4] & 0x7f) != 0 || length < 34) return std::nullopt;
  const uint8_t* info = head + 8;
  FlacHead found;
  // Sample rate (20 bits), channels - 1 (3), bits per sample - 1 (5),
  // total samples (36), from byte 10 on; the signature ends the block.
  found.bits = ((info[12] & 0x01) << 4 | info[13] >> 4) + 1;
  std::memcpy(found.signature.data(), info + 18, found.signature.size());
  return found;
}

// The running state of one check.
struct Checked {
  sf_count_t frames = 0;
  std::string reason;        // libsndfile's, when decoding stopped on an error
  std::optional<FlacHead> flac;
  Md5 md5;
  std::vector<int> block;
  std::vector<uint8_t> bytes;  // one block's samples as FLAC hashes them

  void hash(sf_count_t samples) {
    int width = (flac->bits + 7) / 8, shift = 32 - flac->bits;
    bytes.resize(static_cast<std::size_t>(samples) * width);
    switch (width) {
      case 1: pack<1>(samples, shift); break;
      case 2: pack<2>(samples, shift); break;
      case 3: pack<3>(samples, shift); break;
      default: pack<4>(samples, shift); break;
    }
    md5.update(bytes.data(), bytes.size());
  }

  // The samples of `block` as FLAC hashes them, `Width` bytes each (a loop
  // the compiler unrolls and vectorises for each width).
  template <int Width>
  void pack(sf_count_t samples, int shift) {
    uint8_t* out = bytes.data();
    for (sf_count_t i = 0; i < samples; ++i, out += Width) {
      auto value = static_cast<uint32_t>(block[i] >> shift);
      for (int b = 0; b < Width; ++b) out[b] = static_cast<uint8_t>(value >> (8 * b));
    }
  }
};

// One round of reads; whether the end came (or an error: `reason` says).
bool decode_round(SNDFILE* file, Checked& c, int channels) {
  for (int n = 0; n < kBlocksPerRound; ++n) {
    sf_count_t got = sf_readf_int(file, c.block.data(), kBlockFrames);
    c.frames += got;
    if (c.flac && got > 0) c.hash(got * channels);
    if (got < kBlockFrames) {
      if (sf_error(file) != SF_ERR_NO_ERROR) c.reason = file_reason(file, 0);
      return true;
    }
  }
  return false;
}

std::string open_log(SNDFILE* file) {
  std::string log(16384, '\0');
  sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
  log.resize(std::strlen(log.c_str()));
  return log;
}

// Sets `value` (a new reference, or null with an exception set) as `key`.
void set_item(Ref& dict, const char* key, PyObject* value) {
  Ref held = check(value);
  check_status(PyDict_SetItemString(dict.get(), key, held.get()));
}

PyObject* bytes_or_none(bool present, const uint8_t* data, std::size_t size) {
  if (!present) return Py_NewRef(Py_None);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

PyObject* text_or_none(const std::string& text) {
  if (text.empty()) return Py_NewRef(Py_None);
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

Ref checked_result(Checked& c, const SF_INFO& info, sf_count_t announced, const std::string& log) {
  Ref result = check(PyDict_New());
  Md5::Digest digest = c.md5.finish();
  bool flac = c.flac.has_value();
  set_item(result, "frames", PyLong_FromLongLong(c.frames));
  set_item(result, "announced", PyLong_FromLongLong(announced));
  set_item(result, "reason", text_or_none(c.reason));
  set_item(result, "signature", bytes_or_none(flac, flac ? c.flac->signature.data() : nullptr, 16));
  set_item(result, "digest", bytes_or_none(flac, digest.data(), digest.size()));
  set_item(result, "log", text_or_none(log));
  set_item(result, "format", PyLong_FromLong(info.format));
  set_item(result, "channels", PyLong_FromLong(info.channels));
  return result;
}

// Where a descriptor stands: a stream on it begins there (-1 for a source
// that is no descriptor, or one that cannot tell).
sf_count_t descriptor_start(PyObject* source) {
  if (!PyLong_Check(source) || PyBool_Check(source)) return -1;
  long fd = PyLong_AsLong(source);
  if (fd == -1 && PyErr_Occurred()) fail();
  return fd >= 0 && fd <= INT_MAX ? lseek(static_cast<int>(fd), 0, SEEK_CUR) : -1;
}

}  // namespace

PyObject* check_source(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"source", "format", "channels", "samplerate", nullptr};
  PyObject* source;
  int format = 0, channels = 0, samplerate = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|iii:check", const_cast<char**>(names),
                                   &source, &format, &channels, &samplerate))
    return nullptr;
  return guarded([&] {
    sf_count_t start = descriptor_start(source);
    Ref object = open_stream(source, "r", format, channels, samplerate);
    auto* stream = reinterpret_cast<Stream*>(object.get());
    StreamState& s = stream->state;
    sf_count_t announced = frames_left(stream);
    Checked c;
    c.block.resize(static_cast<std::size_t>(kBlockFrames * s.info.channels));
    std::optional<HeadReader> head;
    if ((s.info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC) head.emplace(s, source, start);
    std::string log = with_file(stream, [&](SNDFILE* file) {
      if (head) c.flac = flac_head(*head);
      return open_log(file);
    });
    // A file object's seek that failed while the head was read leaves
    // nothing for libsndfile to report.
    if (s.io) s.io->take_seek_error();
    while (!with_file(stream, [&](SNDFILE* file) { return decode_round(file, c, s.info.channels); }))
      check_status(PyErr_CheckSignals());
    close_stream(stream);
    return checked_result(c, s.info, announced, log);
  });
}

PyObject* md5_digest(PyObject*, PyObject* data) {
  return guarded([&] {
    ExportedBuffer view(data);
    Md5 md5;
    {
      Unlocked unlocked;
      md5.update(reinterpret_cast<const uint8_t*>(view.data()), static_cast<std::size_t>(view.size()));
    }
    Md5::Digest digest = md5.finish();
    return check(bytes_or_none(true, digest.data(), digest.size()));
  });
}

}  // namespace ondalis::stream
