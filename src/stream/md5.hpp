// MD5 (RFC 1321): the digest FLAC keeps of its decoded audio in STREAMINFO.
// Fed in pieces of any size; plain C++, callable without the interpreter lock.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace ondalis::stream {

class Md5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  void update(const uint8_t* data, std::size_t size);
  // The digest of everything fed so far; the object is spent afterwards.
  Digest finish();

 private:
  void compress(const uint8_t* block);

  std::array<uint32_t, 4> state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  uint64_t length_ = 0;  // bytes fed
  std::array<uint8_t, 64> pending_{};  // the start of a block not yet compressed
  std::size_t held_ = 0;               // bytes of it in use
};

}  // namespace ondalis::stream
