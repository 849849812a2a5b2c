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
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "../capi/boundary.hpp"
#include "../capi/convert.hpp"
#include "../module/record_classes.hpp"
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

// The fields of one record, in the order of its class's one description
// (src/module/record_classes.hpp), each taken with the record's name and
// the field's for messages.
class Fields {
 public:
  Fields(PyObject* fields, std::string name, std::span<const records::Field> described)
      : name_(std::move(name)), described_(described) {
    if (!PyTuple_Check(fields) ||
        PyTuple_GET_SIZE(fields) != static_cast<Py_ssize_t>(described_.size()))
      value_error(name_ + ": a tuple of " + std::to_string(described_.size()) +
                  " fields is required");
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
      value_error(label(i) + ": " + std::to_string(bytes.size()) +
                  " bytes of UTF-8 do not fit its " + std::to_string(room));
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

  std::string label(std::size_t i) const { return name_ + " " + described_[i].name; }

  [[noreturn]] void value_error(const std::string& message) const {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    fail();
  }

 private:
  template <class T>
  static const char* type_name() {
    if constexpr (std::is_same_v<T, int8_t>) return "char";
    else if constexpr (std::is_same_v<T, int16_t>) return "short";
    else if constexpr (std::is_same_v<T, int32_t>) return "int";
    else if constexpr (std::is_same_v<T, uint32_t>) return "uint32_t";
    else return "uint64_t";
  }

  std::string name_;
  std::span<const records::Field> described_;
  PyObject* fields_ = nullptr;
};

// The position of a field of a record class, checked at compile time.
template <const records::RecordClass& Class>
consteval std::size_t at(std::string_view field) {
  const std::size_t i = records::find_field(Class, field);
  if (i == Class.fields.size()) throw "not a field of this record class";
  return i;
}

// The one value of a channel position or a string, as a record of one field.
constexpr records::Field kPosition[] = {{"position", "int"}};
constexpr records::Field kText[] = {{"text", "str"}};

std::vector<char> cue_list(Stream*, PyObject* points) {
  using records::kCuePoint;
  Ref items = check(PySequence_Fast(points, "cue points: a list is required"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (static_cast<std::size_t>(n) > kMaxCuePoints)
    raise(PyExc_ValueError, "cue points: more than libsndfile's datasize can carry");
  constexpr std::size_t kHeader = offsetof(SF_CUES, cue_points);
  std::vector<char> bytes(std::max(kHeader + n * sizeof(SF_CUE_POINT), sizeof(SF_CUES)), 0);
  uint32_t count = static_cast<uint32_t>(n);
  std::memcpy(bytes.data(), &count, sizeof count);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Fields f(PySequence_Fast_GET_ITEM(items.get(), i), "cue point " + std::to_string(i),
             kCuePoint.fields);
    SF_CUE_POINT p{};
    p.indx = f.integer<int32_t>(at<kCuePoint>("indx"));
    p.position = f.integer<uint32_t>(at<kCuePoint>("position"));
    p.fcc_chunk = f.integer<int32_t>(at<kCuePoint>("fcc_chunk"));
    p.chunk_start = f.integer<int32_t>(at<kCuePoint>("chunk_start"));
    p.block_start = f.integer<int32_t>(at<kCuePoint>("block_start"));
    p.sample_offset = f.integer<uint32_t>(at<kCuePoint>("sample_offset"));
    f.text(at<kCuePoint>("name"), p.name, true);
    std::memcpy(bytes.data() + kHeader + i * sizeof p, &p, sizeof p);
  }
  return bytes;
}

std::vector<char> instrument(Stream*, PyObject* fields) {
  using records::kInstrument;
  using records::kInstrumentLoop;
  Fields f(fields, "instrument", kInstrument.fields);
  SF_INSTRUMENT in{};
  in.gain = f.integer<int32_t>(at<kInstrument>("gain"));
  in.basenote = static_cast<char>(f.integer<int8_t>(at<kInstrument>("basenote")));
  in.detune = static_cast<char>(f.integer<int8_t>(at<kInstrument>("detune")));
  in.velocity_lo = static_cast<char>(f.integer<int8_t>(at<kInstrument>("velocity_lo")));
  in.velocity_hi = static_cast<char>(f.integer<int8_t>(at<kInstrument>("velocity_hi")));
  in.key_lo = static_cast<char>(f.integer<int8_t>(at<kInstrument>("key_lo")));
  in.key_hi = static_cast<char>(f.integer<int8_t>(at<kInstrument>("key_hi")));
  Ref loops = f.sequence(at<kInstrument>("loops"), std::size(in.loops));
  in.loop_count = static_cast<int>(PySequence_Fast_GET_SIZE(loops.get()));
  for (int i = 0; i < in.loop_count; ++i) {
    Fields loop(PySequence_Fast_GET_ITEM(loops.get(), i), "instrument loop " + std::to_string(i),
                kInstrumentLoop.fields);
    in.loops[i].mode = loop.integer<int32_t>(at<kInstrumentLoop>("mode"));
    in.loops[i].start = loop.integer<uint32_t>(at<kInstrumentLoop>("start"));
    in.loops[i].end = loop.integer<uint32_t>(at<kInstrumentLoop>("end"));
    in.loops[i].count = loop.integer<uint32_t>(at<kInstrumentLoop>("count"));
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
  using records::kBroadcastInfo;
  Fields f(fields, "broadcast", kBroadcastInfo.fields);
  SF_BROADCAST_INFO b{};
  f.text(at<kBroadcastInfo>("description"), b.description);
  f.text(at<kBroadcastInfo>("originator"), b.originator);
  f.text(at<kBroadcastInfo>("originator_reference"), b.originator_reference);
  f.text(at<kBroadcastInfo>("origination_date"), b.origination_date);
  f.text(at<kBroadcastInfo>("origination_time"), b.origination_time);
  uint64_t reference = f.integer<uint64_t>(at<kBroadcastInfo>("time_reference"));
  b.time_reference_low = static_cast<uint32_t>(reference);
  b.time_reference_high = static_cast<uint32_t>(reference >> 32);
  b.version = f.integer<int16_t>(at<kBroadcastInfo>("version"));
  PyObject* umid = f.item(at<kBroadcastInfo>("umid"));
  if (!PyBytes_Check(umid) || PyBytes_GET_SIZE(umid) > static_cast<Py_ssize_t>(sizeof b.umid))
    f.value_error(f.label(at<kBroadcastInfo>("umid")) + ": bytes of at most 64 are required");
  std::memcpy(b.umid, PyBytes_AS_STRING(umid), PyBytes_GET_SIZE(umid));
  b.loudness_value = f.integer<int16_t>(at<kBroadcastInfo>("loudness_value"));
  b.loudness_range = f.integer<int16_t>(at<kBroadcastInfo>("loudness_range"));
  b.max_true_peak_level = f.integer<int16_t>(at<kBroadcastInfo>("max_true_peak_level"));
  b.max_momentary_loudness = f.integer<int16_t>(at<kBroadcastInfo>("max_momentary_loudness"));
  b.max_shortterm_loudness = f.integer<int16_t>(at<kBroadcastInfo>("max_shortterm_loudness"));
  return with_trailing(b, f, at<kBroadcastInfo>("coding_history"),
                       offsetof(SF_BROADCAST_INFO, coding_history_size),
                       offsetof(SF_BROADCAST_INFO, coding_history));
}

std::vector<char> cart(Stream*, PyObject* fields) {
  using records::kCartInfo;
  using records::kCartTimer;
  Fields f(fields, "cart", kCartInfo.fields);
  SF_CART_INFO c{};
  f.text(at<kCartInfo>("version"), c.version);
  f.text(at<kCartInfo>("title"), c.title);
  f.text(at<kCartInfo>("artist"), c.artist);
  f.text(at<kCartInfo>("cut_id"), c.cut_id);
  f.text(at<kCartInfo>("client_id"), c.client_id);
  f.text(at<kCartInfo>("category"), c.category);
  f.text(at<kCartInfo>("classification"), c.classification);
  f.text(at<kCartInfo>("out_cue"), c.out_cue);
  f.text(at<kCartInfo>("start_date"), c.start_date);
  f.text(at<kCartInfo>("start_time"), c.start_time);
  f.text(at<kCartInfo>("end_date"), c.end_date);
  f.text(at<kCartInfo>("end_time"), c.end_time);
  f.text(at<kCartInfo>("producer_app_id"), c.producer_app_id);
  f.text(at<kCartInfo>("producer_app_version"), c.producer_app_version);
  f.text(at<kCartInfo>("user_def"), c.user_def);
  c.level_reference = f.integer<int32_t>(at<kCartInfo>("level_reference"));
  Ref timers = f.sequence(at<kCartInfo>("post_timers"), std::size(c.post_timers));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(timers.get()); ++i) {
    Fields timer(PySequence_Fast_GET_ITEM(timers.get(), i), "cart timer " + std::to_string(i),
                 kCartTimer.fields);
    constexpr std::size_t usage = at<kCartTimer>("usage");
    timer.text(usage, c.post_timers[i].usage);
    if (c.post_timers[i].usage[0] == 0)
      timer.value_error(timer.label(usage) + ": a timer needs a usage");
    c.post_timers[i].value = timer.integer<int32_t>(at<kCartTimer>("value"));
  }
  f.text(at<kCartInfo>("url"), c.url);
  return with_trailing(c, f, at<kCartInfo>("tag_text"), offsetof(SF_CART_INFO, tag_text_size),
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
    int32_t position = Fields(one.get(), "channel map", kPosition).integer<int32_t>(0);
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
    std::string value(Fields(one.get(), "string", kText).utf8(0));
    bool taken =
        with_file(self, [&](SNDFILE* f) { return sf_set_string(f, id, value.c_str()) == 0; });
    return py_bool(taken);
  });
}

}  // namespace ondalis::stream
