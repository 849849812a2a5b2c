// Cart chunk commands: SF_CART_INFO to and from the SfCartInfo record with
// its SfCartTimer post timers. The tag text is a trailing text: up to 255
// bytes fit the declared 2308-byte structure, longer ones travel in an
// exactly sized structure with the same layout.
#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "handlers.hpp"
#include "textfields.hpp"

namespace ondalis {
namespace {

static_assert(sizeof(SF_CART_TIMER) == 8);
static_assert(sizeof(SF_CART_INFO) == 2308);
static_assert(offsetof(SF_CART_INFO, level_reference) == 680);
static_assert(offsetof(SF_CART_INFO, post_timers) == 684);
static_assert(offsetof(SF_CART_INFO, reserved) == 748);
static_assert(offsetof(SF_CART_INFO, url) == 1024);
static_assert(offsetof(SF_CART_INFO, tag_text_size) == 2048);
static_assert(offsetof(SF_CART_INFO, tag_text) == 2052);

constexpr text::TrailingLayout kLayout{sizeof(SF_CART_INFO), offsetof(SF_CART_INFO, tag_text_size),
                                       offsetof(SF_CART_INFO, tag_text)};
constexpr std::size_t kTimers = sizeof(SF_CART_INFO::post_timers) / sizeof(SF_CART_TIMER);
static_assert(kTimers == 8);

using CartInfo = commands::RecordKind<records::kCartInfo>;
using CartTimer = commands::RecordKind<records::kCartTimer>;

constexpr const char* kSecondCall =
    "Ondalis::error:: second call to {0} for extended tag text failed, this should not happen";
constexpr const char* kTooManyTimers =
    "Ondalis::error:: command {0} post_times is too big ({1}) maximum size is 8";

// The fifteen text fields from version to user_def, in structure order.
#define ONDALIS_CART_TEXT(m) ONDALIS_TEXT_MEMBER(SF_CART_INFO, m)
constexpr commands::TextMember kTextMembers[] = {
    ONDALIS_CART_TEXT(version),         ONDALIS_CART_TEXT(title),
    ONDALIS_CART_TEXT(artist),          ONDALIS_CART_TEXT(cut_id),
    ONDALIS_CART_TEXT(client_id),       ONDALIS_CART_TEXT(category),
    ONDALIS_CART_TEXT(classification),  ONDALIS_CART_TEXT(out_cue),
    ONDALIS_CART_TEXT(start_date),      ONDALIS_CART_TEXT(start_time),
    ONDALIS_CART_TEXT(end_date),        ONDALIS_CART_TEXT(end_time),
    ONDALIS_CART_TEXT(producer_app_id), ONDALIS_CART_TEXT(producer_app_version),
    ONDALIS_CART_TEXT(user_def),
};
#undef ONDALIS_CART_TEXT
static_assert(commands::all_fields<records::kCartInfo>(kTextMembers));

Ref timer_record(const SF_CART_TIMER& timer) {
  return CartTimer::build(
      {text::read_char_field(timer.usage, sizeof timer.usage), py_int(timer.value)});
}

// The record with the timers in use appended to its post_timers; the tag
// text is set later.
Ref cart_record(const SF_CART_INFO& info) {
  using C = CartInfo;
  C::Values values;
  for (const commands::TextMember& m : kTextMembers)
    values[C::find(m.name)] = commands::read_text_member(&info, m);
  values[C::index("level_reference")] = py_int(info.level_reference);
  values[C::index("post_timers")] = check(PyList_New(0));
  values[C::index("url")] = text::read_char_field(info.url, sizeof info.url);
  values[C::index("tag_text")] = py_none();
  Ref record = C::build(values);
  for (const SF_CART_TIMER& timer : info.post_timers) {
    if (timer.usage[0] == 0) continue;  // not in use
    Ref entry = timer_record(timer);
    commands::append_to(record.get(), ONDALIS_FIELD(C, "post_timers"), entry.get());
  }
  return record;
}

Ref cart_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_cart_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  open_file(self);
  return commands::get_with_trailing_text<SF_CART_INFO>(self, command, kLayout, cart_record,
                                                        ONDALIS_FIELD(CartInfo, "tag_text"),
                                                        kSecondCall);
}

// Timer j from the record's post_timers, every attribute fetched anew.
void fill_timer(SF_CART_TIMER& timer, PyObject* arg, Py_ssize_t j, PyObject* command) {
  PyObject* timers = ONDALIS_FIELD(CartInfo, "post_timers");
  Ref usage = commands::member_item_attribute(arg, timers, j, ONDALIS_FIELD(CartTimer, "usage"));
  text::assign_char_field(timer.usage, usage.get(), sizeof timer.usage, command,
                          "post_timers.usage");
  Ref value = commands::member_item_attribute(arg, timers, j, ONDALIS_FIELD(CartTimer, "value"));
  Ref checked = commands::check_int32_range(value.get(), command, "post_timers.value");
  timer.value = to_int32(checked.get(), "int");
}

// The fixed members of the structure, in structure order.
void fill_fixed_members(SF_CART_INFO& info, PyObject* arg, PyObject* command) {
  commands::assign_text_members(&info, kTextMembers, arg, command);
  Ref level = attr(arg, ONDALIS_FIELD(CartInfo, "level_reference"));
  Ref checked = commands::check_int32_range(level.get(), command, "level_reference");
  info.level_reference = to_int32(checked.get(), "int");
  Py_ssize_t m = length(attr(arg, ONDALIS_FIELD(CartInfo, "post_timers")).get());
  if (m > static_cast<Py_ssize_t>(kTimers)) {
    Ref name = commands::command_name(command);
    raise_format(PyExc_RuntimeError, kTooManyTimers, name, m);
  }
  for (Py_ssize_t j = 0; j < m; ++j) fill_timer(info.post_timers[j], arg, j, command);
  Ref url = attr(arg, ONDALIS_FIELD(CartInfo, "url"));
  text::assign_char_field(info.url, url.get(), sizeof info.url, command, "url");
}

Ref cart_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_cart_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  commands::set_with_trailing_text<SF_CART_INFO>(self, command, arg, kLayout, fill_fixed_members,
                                                 CartInfo::text("tag_text"));
  return py_none();
}

}  // namespace

PyMethodDef cart_methods[] = {
    ONDALIS_SF_METHOD("_cart_get_command", cart_get,
                      "_cart_get_command($self, command)\n--\n\n"
                      "Returns the file's cart chunk (the command id command,\n"
                      "SFC_GET_CART_INFO) as an SfCartInfo record with the post timers in use\n"
                      "and the whole tag text, or None when the file has none. Raises\n"
                      "UnicodeDecodeError for a text that is not UTF-8 and RuntimeError on a\n"
                      "closed object."),
    ONDALIS_SF_METHOD("_cart_set_command", cart_set,
                      "_cart_set_command($self, command, arg)\n--\n\n"
                      "Stores the cart chunk of arg (the attributes of SfCartInfo, at most 8\n"
                      "post timers, a tag text of any length) with the command id command\n"
                      "(SFC_SET_CART_INFO); returns None. WAV and RF64 files take it before the\n"
                      "first frame is written.\n"
                      "\n"
                      "Raises RuntimeError for a text longer than its field, more than 8\n"
                      "timers, a value out of the 32-bit range, when libsndfile refuses and on\n"
                      "a closed object; AttributeError or TypeError for members that do not\n"
                      "convert."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
