// Fixed-width and trailing text fields of libsndfile structures.
#include "textfields.hpp"

#include <climits>
#include <cstring>

#include "../capi/message.hpp"
#include "../capi/protocol.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"

namespace ondalis::text {
namespace {

constexpr const char* kTooLong = "Ondalis::error:: {0} is too long ({1}) in {2}, maximum length is {3}";
constexpr std::size_t kStringFieldWidth = 256;
// libsndfile keeps a coding history or tag text in a structure with room for
// 16 KiB and copies the count it reports from there; a larger count is not a
// text it holds (libsndfile 1.2.0 leaves the tag text count of a cart chunk
// without tag text uninitialised), and asking for it would make libsndfile
// copy past its own structure.
constexpr std::size_t kLibraryTextRoom = 16 * 1024;

[[noreturn]] void raise_too_long(const char* field_name, std::size_t length, PyObject* command,
                                 std::size_t maximum) {
  Ref name = commands::command_name(command);
  raise_format(PyExc_RuntimeError, kTooLong, field_name, length, name, maximum);
}

uint32_t read_count(const char* structure, std::size_t offset) {
  uint32_t count;
  std::memcpy(&count, structure + offset, sizeof count);
  return count;
}

// The text as an immutable bytes object. The structure is sized from its
// length, and the handler runs Python code (integer conversions of other
// fields) before store_text copies it: a bytearray that grew meanwhile would
// overflow the buffer.
Ref frozen(Ref encoded) {
  if (PyBytes_Check(encoded.get())) return encoded;
  return check(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(encoded.get()),
                                         PyByteArray_GET_SIZE(encoded.get())));
}

}  // namespace

Bytes bytes_of(PyObject* encoded) {
  if (PyBytes_Check(encoded))
    return {PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))};
  return {PyByteArray_AS_STRING(encoded), static_cast<std::size_t>(PyByteArray_GET_SIZE(encoded))};
}

Ref encode_utf8(PyObject* value) {
  Ref utf8 = py_str("UTF-8");
  Ref encoded = call_method(value, ONDALIS_NAME("encode"), utf8.get());
  if (!PyBytes_Check(encoded.get()) && !PyByteArray_Check(encoded.get())) {
    PyErr_Format(PyExc_TypeError, "encode() returned %.200s, expected bytes",
                 Py_TYPE(encoded.get())->tp_name);
    fail();
  }
  return encoded;
}

Ref read_char_field(const char* field, std::size_t width) {
  const void* nul = std::memchr(field, 0, width);
  std::size_t n = nul != nullptr ? static_cast<const char*>(nul) - field : width;
  return py_str(field, static_cast<Py_ssize_t>(n));
}

namespace {

// value.encode("UTF-8") for a text to store in `field`, or null for a false
// value, which leaves the field empty (a NUL in its first byte).
Ref encoded_or_empty(char* field, PyObject* value) {
  if (truth(value)) return encode_utf8(value);
  field[0] = 0;
  return Ref();
}

}  // namespace

std::size_t assign_char_field(char* field, PyObject* value, std::size_t width, PyObject* command,
                              const char* field_name) {
  Ref encoded = encoded_or_empty(field, value);
  if (!encoded) return 0;
  Bytes text = bytes_of(encoded.get());
  if (text.size > width) raise_too_long(field_name, text.size, command, width);
  std::memcpy(field, text.data, text.size);
  if (text.size < width) field[text.size] = 0;
  return text.size;
}

std::size_t assign_string_field(char* field, PyObject* value, PyObject* command,
                                const char* field_name) {
  Ref encoded = encoded_or_empty(field, value);
  if (!encoded) return 0;
  Bytes text = bytes_of(encoded.get());
  if (text.size > kStringFieldWidth - 1)
    raise_too_long(field_name, text.size, command, kStringFieldWidth - 1);
  const void* nul = std::memchr(text.data, 0, text.size);
  std::size_t copied = nul != nullptr ? static_cast<const char*>(nul) - text.data : text.size;
  std::memcpy(field, text.data, copied);
  field[copied] = 0;
  return text.size;
}

TrailingStructure::TrailingStructure(const TrailingLayout& layout, PyObject* text,
                                     PyObject* command, const char* field_name)
    : layout_(layout), encoded_(frozen(encode_utf8(text))) {
  std::size_t n = bytes_of(encoded_.get()).size;
  // libsndfile's datasize is an int: the structure may not outgrow INT_MAX.
  std::size_t maximum = static_cast<std::size_t>(INT_MAX) - layout.text_offset - 1;
  if (n > maximum) raise_too_long(field_name, n, command, maximum);
  std::size_t declared_room = layout.declared_size - layout.text_offset;
  bytes_.assign(n + 1 > declared_room ? layout.text_offset + n + 1 : layout.declared_size, 0);
}

void TrailingStructure::store_text() {
  Bytes text = bytes_of(encoded_.get());
  uint32_t count = static_cast<uint32_t>(text.size);
  std::memcpy(bytes_.data() + layout_.count_offset, &count, sizeof count);
  std::memcpy(bytes_.data() + layout_.text_offset, text.data, text.size);
  bytes_[layout_.text_offset + text.size] = 0;
}

Ref read_trailing_text(const char* first, const TrailingLayout& layout, SoundFile* self,
                       PyObject* command, const char* second_call_message) {
  uint32_t count = read_count(first, layout.count_offset);
  std::size_t declared_room = layout.declared_size - layout.text_offset;
  if (count < declared_room)
    return py_str(first + layout.text_offset, static_cast<Py_ssize_t>(count));
  if (count > kLibraryTextRoom) raise_format(PyExc_RuntimeError, second_call_message, command);
  std::size_t size = layout.text_offset + static_cast<std::size_t>(count) + 1;
  if (size > static_cast<std::size_t>(INT_MAX)) raise_format(PyExc_RuntimeError, second_call_message, command);
  std::vector<char> full(size, 0);
  // The object's file is taken after the id's conversion, which may close it.
  int id = commands::command_id(command);
  int ret = sf_command(open_file(self), id, full.data(), static_cast<int>(size));
  if (ret != 1 || read_count(full.data(), layout.count_offset) != count)
    raise_format(PyExc_RuntimeError, second_call_message, command);
  return py_str(full.data() + layout.text_offset, static_cast<Py_ssize_t>(count));
}

}  // namespace ondalis::text
