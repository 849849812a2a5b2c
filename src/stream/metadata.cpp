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
#include <string>
#include <vector>

#include "../capi/boundary.hpp"
#include "stream.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {
namespace {

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

uint32_t count_at(const std::vector<char>& bytes, std::size_t offset) {
  uint32_t count;
  std::memcpy(&count, bytes.data() + offset, sizeof count);
  return count;
}

void set_count_at(std::vector<char>& bytes, std::size_t offset, uint32_t count) {
  std::memcpy(bytes.data() + offset, &count, sizeof count);
}

// The cue list as libsndfile lays it out, a count and the points, sized for
// the points the file announces; its count is never more than its room.
bool cue_bytes(Stream* self, std::vector<char>& bytes) {
  uint32_t count = 0;
  bool has = with_file(self, [&](SNDFILE* f) {
    return sf_command(f, SFC_GET_CUE_COUNT, &count, sizeof count) != 0;
  });
  if (!has || count == 0) return false;
  // Up to 100 points travel in the declared SF_CUES, more in a buffer of
  // exactly their size with the same layout.
  std::size_t room = std::min<std::size_t>(count, kMaxCuePoints);
  std::size_t size = sizeof(uint32_t) + room * sizeof(SF_CUE_POINT);
  bytes.assign(std::max(size, sizeof(SF_CUES)), 0);
  if (!fetch(self, SFC_GET_CUE, bytes)) return false;
  set_count_at(bytes, 0, static_cast<uint32_t>(std::min<std::size_t>(count_at(bytes, 0), room)));
  return true;
}

Ref cue_points(Stream* self) {
  Ref points = check(PyList_New(0));
  std::vector<char> bytes;
  if (!cue_bytes(self, bytes)) return points;
  for (uint32_t i = 0; i < count_at(bytes, 0); ++i) {
    SF_CUE_POINT p;
    std::memcpy(&p, bytes.data() + sizeof(uint32_t) + i * sizeof p, sizeof p);
    append(points, tuple(integer(p.indx), integer(p.position), integer(p.fcc_chunk),
                         integer(p.chunk_start), integer(p.block_start),
                         integer(p.sample_offset), text(p.name)));
  }
  return points;
}

Ref byte(char value) { return integer(static_cast<int8_t>(value)); }

// libsndfile's instrument record; its loop count kept within the 16 loops
// the record has room for.
bool instrument_bytes(Stream* self, std::vector<char>& bytes) {
  bytes.assign(sizeof(SF_INSTRUMENT), 0);
  if (!fetch(self, SFC_GET_INSTRUMENT, bytes)) return false;
  SF_INSTRUMENT in;
  std::memcpy(&in, bytes.data(), sizeof in);
  in.loop_count = std::min(std::max(in.loop_count, 0), 16);
  std::memcpy(bytes.data(), &in, sizeof in);
  return true;
}

Ref instrument(Stream* self) {
  std::vector<char> bytes;
  if (!instrument_bytes(self, bytes)) return Ref::borrow(Py_None);
  SF_INSTRUMENT in;
  std::memcpy(&in, bytes.data(), sizeof in);
  Ref loops = check(PyList_New(0));
  for (int i = 0; i < in.loop_count; ++i)
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
bool fetch_trailing(Stream* self, int command, std::vector<char>& bytes, std::size_t count_offset,
                    std::size_t text_at, std::size_t& text_size) {
  if (!fetch(self, command, bytes)) return false;
  uint32_t count = count_at(bytes, count_offset);
  std::size_t room = bytes.size() - text_at;
  // A larger count than libsndfile keeps is not one it filled.
  if (count > room && count <= kTrailingLimit) {
    std::vector<char> larger(text_at + count + 1);
    if (fetch(self, command, larger)) bytes.swap(larger);
  }
  text_size = std::min<std::size_t>(count, bytes.size() - text_at);
  set_count_at(bytes, count_offset, static_cast<uint32_t>(text_size));
  return true;
}

bool broadcast_bytes(Stream* self, std::vector<char>& bytes, std::size_t& n) {
  bytes.assign(sizeof(SF_BROADCAST_INFO), 0);
  return fetch_trailing(self, SFC_GET_BROADCAST_INFO, bytes,
                        offsetof(SF_BROADCAST_INFO, coding_history_size),
                        offsetof(SF_BROADCAST_INFO, coding_history), n);
}

Ref broadcast(Stream* self) {
  std::vector<char> bytes;
  std::size_t n;
  if (!broadcast_bytes(self, bytes, n)) return Ref::borrow(Py_None);
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

bool cart_bytes(Stream* self, std::vector<char>& bytes, std::size_t& n) {
  bytes.assign(sizeof(SF_CART_INFO), 0);
  return fetch_trailing(self, SFC_GET_CART_INFO, bytes, offsetof(SF_CART_INFO, tag_text_size),
                        offsetof(SF_CART_INFO, tag_text), n);
}

Ref cart(Stream* self) {
  std::vector<char> bytes;
  std::size_t n;
  if (!cart_bytes(self, bytes, n)) return Ref::borrow(Py_None);
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

bool channel_map_bytes(Stream* self, std::vector<char>& bytes) {
  int channels = self->state.info.channels;
  if (channels <= 0 || channels > 1024) return false;
  bytes.assign(static_cast<std::size_t>(channels) * sizeof(int32_t), 0);
  return fetch(self, SFC_GET_CHANNEL_MAP_INFO, bytes);
}

Ref channel_map(Stream* self) {
  int channels = self->state.info.channels;
  std::vector<char> bytes;
  if (!channel_map_bytes(self, bytes)) return Ref::borrow(Py_None);
  Ref map = check(PyList_New(0));
  for (int i = 0; i < channels; ++i) {
    int32_t position;
    std::memcpy(&position, bytes.data() + i * sizeof position, sizeof position);
    append(map, integer(position));
  }
  return map;
}

// A record that libsndfile both reports and takes: its bytes are fetched
// from one file and offered to another unchanged, so nothing is lost to a
// conversion through Python values.
struct Carried {
  int set;
  bool (*get)(Stream*, std::vector<char>&);
};

template <bool (*Get)(Stream*, std::vector<char>&, std::size_t&)>
bool trailing_bytes(Stream* self, std::vector<char>& bytes) {
  std::size_t n;
  return Get(self, bytes, n);
}

constexpr Carried kCarried[] = {
    {SFC_SET_CUE, cue_bytes},
    {SFC_SET_INSTRUMENT, instrument_bytes},
    {SFC_SET_BROADCAST_INFO, trailing_bytes<broadcast_bytes>},
    {SFC_SET_CART_INFO, trailing_bytes<cart_bytes>},
    {SFC_SET_CHANNEL_MAP_INFO, channel_map_bytes},
};

// What a format does not keep, libsndfile refuses or drops; the caller
// judges what was kept by reading the finished file back.
void offer(Stream* target, int command, std::vector<char>& bytes) {
  with_file(target, [&](SNDFILE* f) {
    return sf_command(f, command, bytes.data(), static_cast<int>(bytes.size()));
  });
}

void offer_string(Stream* target, int id, const std::string& text) {
  with_file(target, [&](SNDFILE* f) { return sf_set_string(f, id, text.c_str()); });
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

PyObject* stream_copy_metadata(PyObject* object, PyObject* source) {
  return guarded([&] {
    if (!PyObject_TypeCheck(source, &StreamType))
      raise(PyExc_TypeError, "copy_metadata() takes the Stream to copy from");
    auto* target = reinterpret_cast<Stream*>(object);
    auto* from = reinterpret_cast<Stream*>(source);
    for (int id = SF_STR_FIRST; id <= SF_STR_LAST; ++id) {
      std::string text = file_string(from, id);
      if (!text.empty()) offer_string(target, id, text);
    }
    for (const Carried& record : kCarried) {
      std::vector<char> bytes;
      if (record.get(from, bytes)) offer(target, record.set, bytes);
    }
    return Ref::borrow(Py_None);
  });
}

}  // namespace ondalis::stream
