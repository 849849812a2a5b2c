// Text in libsndfile's metadata structures: fixed-width fields (UTF-8 bytes,
// NUL-terminated when shorter than the field), the 256-byte cue name (always
// NUL-terminated), and the trailing text that ends the broadcast and cart
// structures (a uint32 count at S, the bytes at T, room for 256 bytes in the
// declared size B = T + 256; longer texts need a longer structure).
#pragma once
#include <Python.h>
#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../capi/ref.hpp"

namespace ondalis {
struct SoundFile;
}

namespace ondalis::text {

// The text of a field of `width` bytes: up to the first NUL, strict UTF-8.
Ref read_char_field(const char* field, std::size_t width);

// Store `value` in a field of `width` bytes: a false value gives an empty
// field; otherwise value.encode("UTF-8"), which must fit the width (the
// too-long RuntimeError names `field_name` and the command). Returns the
// number of bytes stored.
std::size_t assign_char_field(char* field, PyObject* value, std::size_t width, PyObject* command,
                              const char* field_name);

// Store `value` in a 256-byte string field (at most 255 bytes, cut at an
// embedded NUL, always terminated). Returns the encoded length.
std::size_t assign_string_field(char* field, PyObject* value, PyObject* command,
                                const char* field_name);

// value.encode("UTF-8"), checked to be bytes or bytearray.
Ref encode_utf8(PyObject* value);

// The bytes of an encode_utf8 result (bytes or bytearray); `data` stays valid,
// and NUL-terminated after `size` bytes, while the object lives unchanged.
struct Bytes {
  const char* data;
  std::size_t size;
};
Bytes bytes_of(PyObject* encoded);

struct TrailingLayout {
  std::size_t declared_size;  // B
  std::size_t count_offset;   // S
  std::size_t text_offset;    // T
};

// A zero-filled structure that ends in a trailing text, sized for the text
// it is built with: the declared size for up to 255 bytes, exactly
// T + n + 1 bytes beyond that.
class TrailingStructure {
 public:
  // Encodes `text` (text.encode("UTF-8"), no shortcut for false values) and
  // sizes the structure; texts that libsndfile's int datasize cannot carry
  // raise the too-long RuntimeError naming `field_name`.
  TrailingStructure(const TrailingLayout& layout, PyObject* text, PyObject* command,
                    const char* field_name);
  // The structure's bytes, for the handler to fill the fixed members.
  char* data() { return bytes_.data(); }
  // The datasize for sf_command.
  int size() const { return static_cast<int>(bytes_.size()); }
  // Writes the count, the text bytes and a NUL after them.
  void store_text();

 private:
  TrailingLayout layout_;
  Ref encoded_;
  std::vector<char> bytes_;
};

// The trailing text of `first`, a structure of the declared size that
// libsndfile has filled for the object `self` (sf_command returned 1). A
// count of 256 or more makes a second call with an exactly sized
// structure; if it does not return 1 with the same count, RuntimeError
// `second_call_message` with the command id in place of {0}.
Ref read_trailing_text(const char* first, const TrailingLayout& layout, SoundFile* self,
                       PyObject* command, const char* second_call_message);

}  // namespace ondalis::text
