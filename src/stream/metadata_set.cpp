// Texts and records for a stream being written, given as the tuples of
// fields that metadata() returns (ids of loop modes and channel positions as
// numbers; texts as str). Each value is checked against the libsndfile
// structure member it fills: an integer outside the member's type, a text
// that is not UTF-8, holds a NUL or does not fit its field raises
// ValueError naming the record and the field, before libsndfile is asked.
// The setters answer whether libsndfile took the record; whether the
// format keeps it shows only in the finished file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "../capi/boundary.hpp"
#include "../capi/convert.hpp"
#include "stream.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {
namespace {

// ValueError "<what>: <the conversion's own message>", chained to it.
[[noreturn]] void reraise_as_value_error(const std::string& what) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref cause = Ref::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  Ref reason = check(PyObject_Str(cause.get()));
  PyErr_Format(PyExc_ValueError, "%s: %U", what.c_str(), reason.get());
  PyObject *new_type, *new_value, *new_traceback;
  PyErr_Fetch(&new_type, &new_value, &new_traceback);
  PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
  PyException_SetCause(new_value, cause.release());
  PyErr_Restore(new_type, new_value, new_traceback);
  fail();
}

// The fields of one record, each taken with the record's name and the
// field's for messages.
class Fields {
 public:
  Fields(PyObject* fields, std::string name, std::initializer_list<const char*> labels)
      : name_(std::move(name)), labels_(labels) {
    if (!PyTuple_Check(fields) || PyTuple_GET_SIZE(fields) != static_cast<Py_ssize_t>(labels_.size()))
      raise_format_error("a tuple of " + std::to_string(labels_.size()) + " fields");
    fields_ = fields;
  }

  PyObject* item(std::size_t i) const { return PyTuple_GET_ITEM(fields_, i); }

  template <class T>
  T integer(std::size_t i) const {
    try {
      return to_int<T>(item(i), type_name<T>());
    } catch (const python_error&) {
      reraise_as_value_error(label(i));
    }
  }

  // The UTF-8 bytes of text field i into `field` of `width` bytes; a text
  // of exactly `width` bytes fills it without a NUL unless `terminated`.
  void text(std::size_t i, char* field, std::size_t width, bool terminated = false) const {
    std::string_view bytes = utf8(i);
    std::size_t room = terminated ? width - 1 : width;
    if (bytes.size() > room)
      value_error(label(i) + ": " + std::to_string(bytes.size()) + " bytes of UTF-8 do not fit its " +
                  std::to_string(room));
    std::memset(field, 0, width);
    std::memcpy(field, bytes.data(), bytes.size());
  }

  template <std::size_t N>
  void text(std::size_t i, char (&field)[N], bool terminated = false) const {
    text(i, field, N, terminated);
  }

  // Text field i as UTF-8, valid while the tuple lives; no NUL inside.
  std::string_view utf8(std::size_t i) const {
    PyObject* value = item(i);
    if (!PyUnicode_Check(value)) value_error(label(i) + ": a str is required");
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) reraise_as_value_error(label(i));
    std::string_view bytes(data, static_cast<std::size_t>(size));
    if (bytes.find('\0') != std::string_view::npos)
      value_error(label(i) + ": a text holds no NUL");
    return bytes;
  }

  // Item i as a sequence of at most `most` items.
  Ref sequence(std::size_t i, std::size_t most) const {
    Ref items = check(PySequence_Fast(item(i), "a list is required"));
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())) > most)
      value_error(label(i) + ": at most " + std::to_string(most) + " items");
    return items;
  }

  std::string label(std::size_t i) const { return name_ + " " + labels_[i]; }

  [[noreturn]] void value_error(const std::string& message) const {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    fail();
  }

 private:
  [[noreturn]] void raise_format_error(const std::string& shape) const {
    value_error(name_ + ": " + shape + " is required");
  }

  template <class T>
  static const char* type_name() {
    if constexpr (std::is_same_v<T, int8_t>) return "char";
    else if constexpr (std::is_same_v<T, int16_t>) return "short";
    else if constexpr (std::is_same_v<T, int32_t>) return "int";
    else if constexpr (std::is_same_v<T, uint32_t>) return "uint32_t";
    else return "uint64_t";
  }

  std::string name_;
  std::vector<const char*> labels_;
  PyObject* fields_ = nullptr;
};

std::vector<char> cue_list(Stream*, PyObject* points) {
  Ref items = check(PySequence_Fast(points, "cue points: a list is required"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  constexpr std::size_t kHeader = offsetof(SF_CUES, cue_points);
  std::vector<char> bytes(std::max(kHeader + n * sizeof(SF_CUE_POINT), sizeof(SF_CUES)), 0);
  uint32_t count = static_cast<uint32_t>(n);
  std::memcpy(bytes.data(), &count, sizeof count);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Fields f(PySequence_Fast_GET_ITEM(items.get(), i), "cue point " + std::to_string(i),
             {"indx", "position", "fcc_chunk", "chunk_start", "block_start", "sample_offset",
              "name"});
    SF_CUE_POINT p{};
    p.indx = f.integer<int32_t>(0);
    p.position = f.integer<uint32_t>(1);
    p.fcc_chunk = f.integer<int32_t>(2);
    p.chunk_start = f.integer<int32_t>(3);
    p.block_start = f.integer<int32_t>(4);
    p.sample_offset = f.integer<uint32_t>(5);
    f.text(6, p.name, true);
    std::memcpy(bytes.data() + kHeader + i * sizeof p, &p, sizeof p);
  }
  return bytes;
}

std::vector<char> instrument(Stream*, PyObject* fields) {
  Fields f(fields, "instrument",
           {"gain", "basenote", "detune", "velocity_lo", "velocity_hi", "key_lo", "key_hi",
            "loops"});
  SF_INSTRUMENT in{};
  in.gain = f.integer<int32_t>(0);
  char* bytes[] = {&in.basenote, &in.detune, &in.velocity_lo, &in.velocity_hi, &in.key_lo,
                   &in.key_hi};
  for (std::size_t i = 0; i < std::size(bytes); ++i)
    *bytes[i] = static_cast<char>(f.integer<int8_t>(i + 1));
  Ref loops = f.sequence(7, std::size(in.loops));
  in.loop_count = static_cast<int>(PySequence_Fast_GET_SIZE(loops.get()));
  for (int i = 0; i < in.loop_count; ++i) {
    Fields loop(PySequence_Fast_GET_ITEM(loops.get(), i), "instrument loop " + std::to_string(i),
                {"mode", "start", "end", "count"});
    in.loops[i].mode = loop.integer<int32_t>(0);
    in.loops[i].start = loop.integer<uint32_t>(1);
    in.loops[i].end = loop.integer<uint32_t>(2);
    in.loops[i].count = loop.integer<uint32_t>(3);
  }
  std::vector<char> out(sizeof in);
  std::memcpy(out.data(), &in, sizeof in);
  return out;
}

// A structure ending in a trailing text (count at `count_at`, bytes at
// `text_at`): the fixed part `head`, then the text of field `i`, sized for it.
template <class Struct>
std::vector<char> with_trailing(const Struct& head, const Fields& f, std::size_t i,
                                std::size_t count_at, std::size_t text_at) {
  std::string_view text = f.utf8(i);
  if (text.size() > kTrailingLimit)
    f.value_error(f.label(i) + ": " + std::to_string(text.size()) +
                  " bytes of UTF-8 are more than libsndfile keeps (" +
                  std::to_string(kTrailingLimit) + ")");
  std::vector<char> bytes(std::max(sizeof head, text_at + text.size() + 1), 0);
  std::memcpy(bytes.data(), &head, text_at);
  uint32_t count = static_cast<uint32_t>(text.size());
  std::memcpy(bytes.data() + count_at, &count, sizeof count);
  std::memcpy(bytes.data() + text_at, text.data(), text.size());
  return bytes;
}

std::vector<char> broadcast(Stream*, PyObject* fields) {
  Fields f(fields, "broadcast",
           {"description", "originator", "originator_reference", "origination_date",
            "origination_time", "time_reference", "version", "umid", "loudness_value",
            "loudness_range", "max_true_peak_level", "max_momentary_loudness",
            "max_shortterm_loudness", "coding_history"});
  SF_BROADCAST_INFO b{};
  f.text(0, b.description);
  f.text(1, b.originator);
  f.text(2, b.originator_reference);
  f.text(3, b.origination_date);
  f.text(4, b.origination_time);
  uint64_t reference = f.integer<uint64_t>(5);
  b.time_reference_low = static_cast<uint32_t>(reference);
  b.time_reference_high = static_cast<uint32_t>(reference >> 32);
  b.version = f.integer<int16_t>(6);
  PyObject* umid = f.item(7);
  if (!PyBytes_Check(umid) || PyBytes_GET_SIZE(umid) > static_cast<Py_ssize_t>(sizeof b.umid))
    f.value_error(f.label(7) + ": bytes of at most 64 are required");
  std::memcpy(b.umid, PyBytes_AS_STRING(umid), PyBytes_GET_SIZE(umid));
  int16_t* loudness[] = {&b.loudness_value, &b.loudness_range, &b.max_true_peak_level,
                         &b.max_momentary_loudness, &b.max_shortterm_loudness};
  for (std::size_t i = 0; i < std::size(loudness); ++i) *loudness[i] = f.integer<int16_t>(8 + i);
  return with_trailing(b, f, 13, offsetof(SF_BROADCAST_INFO, coding_history_size),
                       offsetof(SF_BROADCAST_INFO, coding_history));
}

std::vector<char> cart(Stream*, PyObject* fields) {
  Fields f(fields, "cart",
           {"version", "title", "artist", "cut_id", "client_id", "category", "classification",
            "out_cue", "start_date", "start_time", "end_date", "end_time", "producer_app_id",
            "producer_app_version", "user_def", "level_reference", "post_timers", "url",
            "tag_text"});
  SF_CART_INFO c{};
  char* texts[] = {c.version, c.title, c.artist, c.cut_id, c.client_id, c.category,
                   c.classification, c.out_cue, c.start_date, c.start_time, c.end_date,
                   c.end_time, c.producer_app_id, c.producer_app_version, c.user_def};
  std::size_t widths[] = {sizeof c.version, sizeof c.title, sizeof c.artist, sizeof c.cut_id,
                          sizeof c.client_id, sizeof c.category, sizeof c.classification,
                          sizeof c.out_cue, sizeof c.start_date, sizeof c.start_time,
                          sizeof c.end_date, sizeof c.end_time, sizeof c.producer_app_id,
                          sizeof c.producer_app_version, sizeof c.user_def};
  for (std::size_t i = 0; i < std::size(texts); ++i) f.text(i, texts[i], widths[i]);
  c.level_reference = f.integer<int32_t>(15);
  Ref timers = f.sequence(16, std::size(c.post_timers));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(timers.get()); ++i) {
    Fields timer(PySequence_Fast_GET_ITEM(timers.get(), i), "cart timer " + std::to_string(i),
                 {"usage", "value"});
    timer.text(0, c.post_timers[i].usage);
    if (c.post_timers[i].usage[0] == 0) timer.value_error(timer.label(0) + ": a timer needs a usage");
    c.post_timers[i].value = timer.integer<int32_t>(1);
  }
  f.text(17, c.url);
  return with_trailing(c, f, 18, offsetof(SF_CART_INFO, tag_text_size),
                       offsetof(SF_CART_INFO, tag_text));
}

std::vector<char> channel_map(Stream* self, PyObject* positions) {
  Ref items = check(PySequence_Fast(positions, "channel map: a list is required"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (n != self->state.info.channels) {
    PyErr_Format(PyExc_ValueError, "channel map: %zd positions for %d channels", n,
                 self->state.info.channels);
    fail();
  }
  std::vector<char> bytes(n * sizeof(int32_t));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref one = check(PyTuple_Pack(1, PySequence_Fast_GET_ITEM(items.get(), i)));
    int32_t position = Fields(one.get(), "channel map", {"position"}).integer<int32_t>(0);
    std::memcpy(bytes.data() + i * sizeof position, &position, sizeof position);
  }
  return bytes;
}

struct Setter {
  const char* name;
  int command;
  std::vector<char> (*pack)(Stream*, PyObject*);
};

constexpr Setter kSetters[] = {
    {"cue_points", SFC_SET_CUE, cue_list},
    {"instrument", SFC_SET_INSTRUMENT, instrument},
    {"broadcast", SFC_SET_BROADCAST_INFO, broadcast},
    {"cart", SFC_SET_CART_INFO, cart},
    {"channel_map", SFC_SET_CHANNEL_MAP_INFO, channel_map},
};

const Setter& setter(const char* name) {
  for (const Setter& s : kSetters)
    if (std::strcmp(s.name, name) == 0) return s;
  PyErr_Format(PyExc_ValueError, "no record is called %s", name);
  fail();
}

}  // namespace

PyObject* stream_set_record(PyObject* object, PyObject* args) {
  const char* name;
  PyObject* fields;
  if (!PyArg_ParseTuple(args, "sO:set_record", &name, &fields)) return nullptr;
  return guarded([&] {
    auto* self = reinterpret_cast<Stream*>(object);
    const Setter& s = setter(name);
    std::vector<char> bytes = s.pack(self, fields);
    bool taken = with_file(self, [&](SNDFILE* f) {
      return sf_command(f, s.command, bytes.data(), static_cast<int>(bytes.size())) == SF_TRUE;
    });
    return py_bool(taken);
  });
}

PyObject* stream_set_string(PyObject* object, PyObject* args) {
  int id;
  PyObject* text;
  if (!PyArg_ParseTuple(args, "iO:set_string", &id, &text)) return nullptr;
  return guarded([&] {
    auto* self = reinterpret_cast<Stream*>(object);
    Ref one = check(PyTuple_Pack(1, text));
    std::string value(Fields(one.get(), "string", {"text"}).utf8(0));
    bool taken = with_file(self, [&](SNDFILE* f) { return sf_set_string(f, id, value.c_str()) == 0; });
    return py_bool(taken);
  });
}

}  // namespace ondalis::stream
