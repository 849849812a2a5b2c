#include "md5.hpp"

#include <algorithm>
#include <cstring>

namespace ondalis::stream {

namespace {

// The 64 additive constants: floor(|sin(i + 1)| * 2^32).
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// The left rotation of each step, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The round function of round `Round` (0..3).
template <int Round>
constexpr uint32_t mix(uint32_t b, uint32_t c, uint32_t d) {
  if constexpr (Round == 0) return (b & c) | (~b & d);
  if constexpr (Round == 1) return (b & d) | (c & ~d);
  if constexpr (Round == 2) return b ^ c ^ d;
  return c ^ (b | ~d);
}

// The message word that step `i` (0..63) adds.
constexpr int word_of(int i) {
  switch (i / 16) {
    case 0: return i;
    case 1: return (5 * i + 1) % 16;
    case 2: return (3 * i + 5) % 16;
    default: return (7 * i) % 16;
  }
}

// The 16 steps of one round, unrolled so that every word index, constant
// and rotation is known to the compiler.
template <int Round>
void run_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t* words) {
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) {
    int i = Round * 16 + j;
    uint32_t sum = a + mix<Round>(b, c, d) + kSine[i] + words[word_of(i)];
    a = d;
    d = c;
    c = b;
    b += rotate_left(sum, kShift[Round][j % 4]);
  }
}

uint32_t little_endian_word(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

}  // namespace

void Md5::compress(const uint8_t* block) {
  uint32_t words[16];
  for (int i = 0; i < 16; ++i) words[i] = little_endian_word(block + 4 * i);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  run_round<0>(a, b, c, d, words);
  run_round<1>(a, b, c, d, words);
  run_round<2>(a, b, c, d, words);
  run_round<3>(a, b, c, d, words);
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::update(const uint8_t* data, std::size_t size) {
  length_ += size;
  if (held_ > 0) {
    std::size_t taken = std::min(size, pending_.size() - held_);
    std::memcpy(pending_.data() + held_, data, taken);
    held_ += taken;
    data += taken;
    size -= taken;
    if (held_ < pending_.size()) return;
    compress(pending_.data());
    held_ = 0;
  }
  for (; size >= 64; data += 64, size -= 64) compress(data);
  std::memcpy(pending_.data(), data, size);
  held_ = size;
}

Md5::Digest Md5::finish() {
  // A one bit, zeros up to 56 bytes into a block, then the length in bits.
  uint64_t bits = length_ * 8;
  const uint8_t one = 0x80;
  update(&one, 1);
  const uint8_t zeros[64] = {};
  update(zeros, (56 - held_ + 64) % 64);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (8 * i));
  update(length, 8);
  Digest digest;
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (8 * (i % 4)));
  return digest;
}

}  // namespace ondalis::stream
