// The steps that the structure command handlers share: sending a zero-filled
// libsndfile structure, building records by calling the record class (looked
// up in the module namespace at each use) with keyword arguments in the
// class's field order, reading values back from the attributes and items of
// what the caller passes in, and moving fixed-width text members.
#pragma once
#include <Python.h>
#include <sndfile.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "../capi/error.hpp"
#include "../capi/module_ns.hpp"
#include "../capi/ref.hpp"
#include "../module/record_classes.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "textfields.hpp"

namespace ondalis::commands {

// The helpers below take the object, not its file: converting the command
// id, building records and reading the caller's values run Python code that
// may close the object, so the file is taken right before each sf_command
// (RuntimeError "no valid soundfilehandle" when it is gone by then).

// Zero-fills `structure` and sends `command` with it and its size; true when
// libsndfile answers 1 (the structure then holds its answer).
template <class Struct>
bool fetch_structure(SoundFile* self, PyObject* command, Struct& structure) {
  std::memset(&structure, 0, sizeof structure);
  int id = command_id(command);
  return sf_command(open_file(self), id, &structure, sizeof structure) == 1;
}

// Sends `command` with `size` bytes at `data` and checks the result with
// _check_command_retval(ret, command, 0).
inline void send_checked(SoundFile* self, PyObject* command, void* data, int size) {
  int id = command_id(command);
  int ret = sf_command(open_file(self), id, data, size);
  check_retval(ret, command, 0);
}

// A record class as the handlers use it, from its one description
// (src/module/record_classes.hpp): the class is looked up in the module
// namespace at each use and called with keyword arguments in field order;
// the keyword tuple and the interned names are made once and kept for the
// life of the process.
template <const records::RecordClass& Class>
class RecordKind {
 public:
  static constexpr std::size_t N = Class.fields.size();
  using Values = std::array<Ref, N>;

  // The index of a field, checked at compile time: a name the class lacks
  // does not compile.
  static consteval std::size_t index(std::string_view field) {
    const std::size_t i = records::find_field(Class, field);
    if (i == N) throw "not a field of this record class";
    return i;
  }

  // The name of a field as C text, checked at compile time.
  static consteval const char* text(std::string_view field) {
    return Class.fields[index(field)].name;
  }

  // The index of a field named at run time, N when there is none (pair it
  // with a static_assert of all_fields over the table the name comes from).
  static constexpr std::size_t find(std::string_view field) {
    return records::find_field(Class, field);
  }

  // The interned name of field i.
  static PyObject* name(std::size_t i) { return interned(field_names_[i], Class.fields[i].name); }

  // Class(field_1=values[0], ...) for a braced list of exactly one value per
  // field, in field order (evaluated left to right, as any braced list is).
  template <std::size_t K>
  static Ref build(Ref (&&values)[K]) {
    static_assert(K == N, "one value per field of the record class");
    Values all;
    for (std::size_t i = 0; i < N; ++i) all[i] = std::move(values[i]);
    return build(all);
  }

  // Class(field_1=values[0], ..., field_N=values[N-1])
  static Ref build(const Values& values) {
    Ref kind = module_ns::lookup(interned(class_name_, Class.name));
    std::array<PyObject*, N + 1> vector{};
    for (std::size_t i = 0; i < N; ++i) vector[i + 1] = values[i].get();
    return check(PyObject_Vectorcall(kind.get(), vector.data() + 1,
                                     PY_VECTORCALL_ARGUMENTS_OFFSET, keywords()));
  }

 private:
  static PyObject* keywords() {
    if (keywords_ != nullptr) return keywords_;
    Ref tuple = check(PyTuple_New(N));
    for (std::size_t i = 0; i < N; ++i)
      PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(name(i)).release());
    keywords_ = tuple.release();
    return keywords_;
  }

  static inline PyObject* class_name_ = nullptr;
  static inline std::array<PyObject*, N> field_names_{};
  static inline PyObject* keywords_ = nullptr;
};

// The interned name of a record field, checked at compile time.
#define ONDALIS_FIELD(Kind, field) Kind::name(Kind::index(field))

// Whether every entry of `members` (each with a `name`) names a field of
// `Class`, for static_assert next to a member table.
template <const records::RecordClass& Class, class Member, std::size_t K>
constexpr bool all_fields(const Member (&members)[K]) {
  for (const Member& m : members)
    if (records::find_field(Class, m.name) == Class.fields.size()) return false;
  return true;
}

// getattr(sequence[i], name): the item is fetched anew for every attribute,
// as the expression `sequence[i].name` would fetch it.
inline Ref item_attribute(PyObject* sequence, Py_ssize_t i, PyObject* name) {
  Ref entry = item(sequence, i);
  return attr(entry.get(), name);
}

// getattr(getattr(record, list_name)[i], name), everything fetched anew.
inline Ref member_item_attribute(PyObject* record, PyObject* list_name, Py_ssize_t i,
                                 PyObject* name) {
  Ref list = attr(record, list_name);
  return item_attribute(list.get(), i, name);
}

// getattr(record, list_name).append(value)
inline void append_to(PyObject* record, PyObject* list_name, PyObject* value) {
  Ref list = attr(record, list_name);
  call_method(list.get(), ONDALIS_NAME("append"), value);
}

// A fixed-width text member of a libsndfile structure: the record attribute
// (and field name in messages) it carries, its offset and its width.
struct TextMember {
  const char* name;
  std::size_t offset;
  std::size_t width;
};
#define ONDALIS_TEXT_MEMBER(Struct, m) {#m, offsetof(Struct, m), sizeof(Struct::m)}

// The text that member `m` of `structure` holds.
inline Ref read_text_member(const void* structure, const TextMember& m) {
  return text::read_char_field(static_cast<const char*>(structure) + m.offset, m.width);
}

// Each member of `members`, in order, from the record attribute of its name.
template <std::size_t K>
void assign_text_members(void* structure, const TextMember (&members)[K], PyObject* record,
                         PyObject* command) {
  for (const TextMember& m : members) {
    Ref value = attr(record, m.name);
    text::assign_char_field(static_cast<char*>(structure) + m.offset, value.get(), m.width,
                            command, m.name);
  }
}

// The get side of a structure that ends in a trailing text: the record that
// `build` makes from the structure libsndfile filled, whose `text_attribute`
// is then set to the trailing text; None when libsndfile does not answer 1.
template <class Struct>
Ref get_with_trailing_text(SoundFile* self, PyObject* command, const text::TrailingLayout& layout,
                           Ref (*build)(const Struct&), PyObject* text_attribute,
                           const char* second_call_message) {
  Struct structure;
  if (!fetch_structure(self, command, structure)) return py_none();
  Ref record = build(structure);
  Ref text = text::read_trailing_text(reinterpret_cast<const char*>(&structure), layout, self,
                                      command, second_call_message);
  check_status(PyObject_SetAttr(record.get(), text_attribute, text.get()));
  return record;
}

// The set side: the record's `text_attribute` sizes the structure, `fill`
// stores the fixed members (everything before the count) into a zero-filled
// declared structure, which is copied to the front of the sized one; then the
// text goes in and the structure to libsndfile, checked.
template <class Struct>
void set_with_trailing_text(SoundFile* self, PyObject* command, PyObject* arg,
                            const text::TrailingLayout& layout,
                            void (*fill)(Struct&, PyObject*, PyObject*),
                            const char* text_attribute) {
  Ref text = attr(arg, text_attribute);
  text::TrailingStructure structure(layout, text.get(), command, text_attribute);
  Struct fixed;
  std::memset(&fixed, 0, sizeof fixed);
  fill(fixed, arg, command);
  std::memcpy(structure.data(), &fixed, layout.count_offset);
  structure.store_text();
  send_checked(self, command, structure.data(), structure.size());
}

}  // namespace ondalis::commands
