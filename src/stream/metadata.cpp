// The metadata of a stream, read leniently for info(): a text ends at its
// first NUL (a trailing text within its count), bytes that are not UTF-8 are
// replaced (U+FFFD), and each record comes back as a tuple of its fields in
// record order (ids of loop modes and channel positions as numbers), for
// the package to turn into its record classes. Every size libsndfile
// reports is checked before it sizes a buffer.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../capi/boundary.hpp"
#include "stream.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {
namespace {

// libsndfile keeps at most this many bytes of a coding history or tag text;
// a larger count is not one it filled.
constexpr uint32_t kTrailingLimit = 16384;

Ref text(const char* data, std::size_t width) {
  const void* nul = std::memchr(data, 0, width);
  std::size_t n = nul ? static_cast<const char*>(nul) - data : width;
  return check(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(n), "replace"));
}

template <std::size_t N>
Ref text(const char (&field)[N]) {
  return text(field, N);
}

Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }

// Sends `command` with `size` zeroed bytes; the bytes when libsndfile answers 1.
bool fetch(Stream* self, int command, std::vector<char>& bytes) {
  std::fill(bytes.begin(), bytes.end(), 0);
  return with_file(self, [&](SNDFILE* f) {
    return sf_command(f, command, bytes.data(), static_cast<int>(bytes.size())) == 1;
  });
}

template <class Struct>
bool fetch(Stream* self, int command, Struct& structure) {
  std::vector<char> bytes(sizeof structure);
  if (!fetch(self, command, bytes)) return false;
  std::memcpy(&structure, bytes.data(), sizeof structure);
  return true;
}

// A tuple of the given owned values.
template <class... Refs>
Ref tuple(Refs&&... values) {
  Ref t = check(PyTuple_New(sizeof...(Refs)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(t.get(), i++, values.release()), ...);
  return t;
}

void append(Ref& list, Ref value) { check_status(PyList_Append(list.get(), value.get())); }

Ref cue_points(Stream* self) {
  uint32_t count = 0;
  Ref points = check(PyList_New(0));
  bool has = with_file(self, [&](SNDFILE* f) {
    return sf_command(f, SFC_GET_CUE_COUNT, &count, sizeof count) != 0;
  });
  constexpr std::size_t kMax = (INT_MAX - sizeof(uint32_t)) / sizeof(SF_CUE_POINT);
  if (!has || count == 0) return points;
  std::size_t n = count < kMax ? count : kMax;
  std::vector<char> bytes(sizeof(uint32_t) + n * sizeof(SF_CUE_POINT));
  if (!fetch(self, SFC_GET_CUE, bytes)) return points;
  uint32_t filled;
  std::memcpy(&filled, bytes.data(), sizeof filled);
  for (std::size_t i = 0; i < std::min<std::size_t>(filled, n); ++i) {
    SF_CUE_POINT p;
    std::memcpy(&p, bytes.data() + sizeof(uint32_t) + i * sizeof p, sizeof p);
    append(points, tuple(integer(p.indx), integer(p.position), integer(p.fcc_chunk),
                         integer(p.chunk_start), integer(p.block_start),
                         integer(p.sample_offset), text(p.name)));
  }
  return points;
}

Ref byte(char value) { return integer(static_cast<int8_t>(value)); }

Ref instrument(Stream* self) {
  SF_INSTRUMENT in;
  if (!fetch(self, SFC_GET_INSTRUMENT, in)) return Ref::borrow(Py_None);
  Ref loops = check(PyList_New(0));
  int n = std::min(std::max(in.loop_count, 0), 16);
  for (int i = 0; i < n; ++i)
    append(loops, tuple(integer(in.loops[i].mode), integer(in.loops[i].start),
                        integer(in.loops[i].end), integer(in.loops[i].count)));
  return tuple(integer(in.gain), byte(in.basenote), byte(in.detune), byte(in.velocity_lo),
               byte(in.velocity_hi), byte(in.key_lo), byte(in.key_hi), std::move(loops));
}

Ref loop_info(Stream* self) {
  SF_LOOP_INFO info;
  if (!fetch(self, SFC_GET_LOOP_INFO, info)) return Ref::borrow(Py_None);
  Ref future = check(PyList_New(0));
  for (int value : info.future) append(future, integer(value));
  return tuple(integer(info.time_sig_num), integer(info.time_sig_den), integer(info.loop_mode),
               integer(info.num_beats), check(PyFloat_FromDouble(info.bpm)),
               integer(info.root_key), std::move(future));
}

// A structure that ends in a trailing text (count at `count_at`, bytes at
// `text_at`, 256 bytes of room in the declared size): fetched, and fetched
// again at the size the count asks for when it is larger and believable.
bool fetch_trailing(Stream* self, int command, std::vector<char>& bytes, std::size_t count_at,
                    std::size_t text_at, std::size_t& text_size) {
  if (!fetch(self, command, bytes)) return false;
  uint32_t count;
  std::memcpy(&count, bytes.data() + count_at, sizeof count);
  std::size_t room = bytes.size() - text_at;
  if (count > room && count <= kTrailingLimit) {
    std::vector<char> larger(text_at + count + 1);
    if (fetch(self, command, larger)) bytes.swap(larger);
  }
  text_size = std::min<std::size_t>(count, bytes.size() - text_at);
  return true;
}

Ref broadcast(Stream* self) {
  std::vector<char> bytes(sizeof(SF_BROADCAST_INFO));
  std::size_t n;
  if (!fetch_trailing(self, SFC_GET_BROADCAST_INFO, bytes,
                      offsetof(SF_BROADCAST_INFO, coding_history_size),
                      offsetof(SF_BROADCAST_INFO, coding_history), n))
    return Ref::borrow(Py_None);
  SF_BROADCAST_INFO b;
  std::memcpy(&b, bytes.data(), sizeof b);
  uint64_t time_reference = (uint64_t{b.time_reference_high} << 32) | b.time_reference_low;
  Ref umid = check(PyBytes_FromStringAndSize(b.umid, sizeof b.umid));
  return tuple(text(b.description), text(b.originator), text(b.originator_reference),
               text(b.origination_date), text(b.origination_time),
               check(PyLong_FromUnsignedLongLong(time_reference)), integer(b.version),
               std::move(umid), integer(b.loudness_value), integer(b.loudness_range),
               integer(b.max_true_peak_level), integer(b.max_momentary_loudness),
               integer(b.max_shortterm_loudness),
               text(bytes.data() + offsetof(SF_BROADCAST_INFO, coding_history), n));
}

Ref cart(Stream* self) {
  std::vector<char> bytes(sizeof(SF_CART_INFO));
  std::size_t n;
  if (!fetch_trailing(self, SFC_GET_CART_INFO, bytes, offsetof(SF_CART_INFO, tag_text_size),
                      offsetof(SF_CART_INFO, tag_text), n))
    return Ref::borrow(Py_None);
  SF_CART_INFO c;
  std::memcpy(&c, bytes.data(), sizeof c);
  Ref timers = check(PyList_New(0));
  for (const SF_CART_TIMER& t : c.post_timers)
    if (t.usage[0] != 0) append(timers, tuple(text(t.usage), integer(t.value)));
  return tuple(text(c.version), text(c.title), text(c.artist), text(c.cut_id),
               text(c.client_id), text(c.category), text(c.classification), text(c.out_cue),
               text(c.start_date), text(c.start_time), text(c.end_date), text(c.end_time),
               text(c.producer_app_id), text(c.producer_app_version), text(c.user_def),
               integer(c.level_reference), std::move(timers), text(c.url),
               text(bytes.data() + offsetof(SF_CART_INFO, tag_text), n));
}

Ref channel_map(Stream* self) {
  int channels = self->state.info.channels;
  if (channels <= 0 || channels > 1024) return Ref::borrow(Py_None);
  std::vector<char> bytes(static_cast<std::size_t>(channels) * sizeof(int32_t));
  if (!fetch(self, SFC_GET_CHANNEL_MAP_INFO, bytes)) return Ref::borrow(Py_None);
  Ref map = check(PyList_New(0));
  for (int i = 0; i < channels; ++i) {
    int32_t position;
    std::memcpy(&position, bytes.data() + i * sizeof position, sizeof position);
    append(map, integer(position));
  }
  return map;
}

void put(Ref& dict, const char* key, Ref value) {
  check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

}  // namespace

PyObject* stream_metadata(PyObject* object, PyObject*) {
  return guarded([&] {
    auto* self = reinterpret_cast<Stream*>(object);
    Ref found = check(PyDict_New());
    put(found, "cue_points", cue_points(self));
    put(found, "instrument", instrument(self));
    put(found, "loop_info", loop_info(self));
    put(found, "broadcast", broadcast(self));
    put(found, "cart", cart(self));
    put(found, "channel_map", channel_map(self));
    return found;
  });
}

}  // namespace ondalis::stream
