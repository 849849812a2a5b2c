// Text metadata of the file (title, artist, ...), as bytes both ways.
#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/module_ns.hpp"
#include "late_strings.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

constexpr const char* kUnsupportedType =
    "Ondalis::error::set_string called with an unsupported stringtype:{0}";
constexpr const char* kTooLong =
    "ondalis::set_string::your string to be written into {} has length {} exceeding the length "
    "of strings ({}) supported for reading in libsndfile 1.0.28";
constexpr const char* kRefused = "Ondalis::error::setting string of type {0}\nerror messge is:{1}";

// String-type ids asked for: SF_STR_TITLE (1) to SF_STR_GENRE (16).
constexpr int kFirstStringType = 1;
constexpr int kLastStringType = 16;

Ref get_strings(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_strings", 0);
  params.parse(args, nargs, kwnames);
  open_file(self);
  Ref strings = check(PyDict_New());
  for (int id = kFirstStringType; id <= kLastStringType; ++id) {
    // The table lookup runs Python code that may close the object: the
    // file is taken afresh for each string, and its text copied at once.
    const char* text = sf_get_string(open_file(self), id);
    if (text == nullptr) continue;
    Ref value = py_bytes(text);
    Ref table = ONDALIS_LOOKUP("stringtype_id_to_name");
    Ref key = py_int(id);
    Ref name = getitem(table.get(), key.get());
    check_status(PyDict_SetItem(strings.get(), name.get(), value.get()));
  }
  return strings;
}

// Refuses a value longer than libsndfile reads back for the file's major format.
void check_length(SoundFile* self, PyObject* name, PyObject* value) {
  Ref major = call_method(reinterpret_cast<PyObject*>(self),
                                     ONDALIS_NAME("major_format_str"));
  Ref limits = ONDALIS_LOOKUP("max_supported_string_length");
  if (!contains(limits.get(), major.get())) return;
  Ref limit = getitem(limits.get(), major.get());
  Ref size = py_int(length(value));
  if (greater(size.get(), limit.get()))
    raise_format(PyExc_RuntimeError, kTooLong, name, size, limit);
}

// The NUL-terminated bytes of a bytes or bytearray value.
const char* bytes_data(PyObject* value) {
  if (PyByteArray_Check(value)) return PyByteArray_AS_STRING(value);
  char* data;
  Py_ssize_t size;
  check_status(PyBytes_AsStringAndSize(value, &data, &size));
  return data;
}

Ref set_string(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("set_string", 2, "stringtype_name", "string");
  auto [name, value] = params.parse(args, nargs, kwnames);
  open_file(self);
  Ref ids = ONDALIS_LOOKUP("stringtype_name_to_id");
  if (!contains(ids.get(), name))
    raise_format(PyExc_RuntimeError, kUnsupportedType, name);
  check_length(self, name, value);
  ids = ONDALIS_LOOKUP("stringtype_name_to_id");
  int id = to_int32(getitem(ids.get(), name).get());
  // The checks ran Python code (major_format_str, the tables) that may have
  // closed the object.
  const char* data = bytes_data(value);
  int result = sf_set_string(open_file(self), id, data);
  if (result != 0)
    raise_format(PyExc_RuntimeError, kRefused, name, py_bytes(sf_error_number(result)));
  late_strings::note_string(self, id);
  return py_none();
}

Ref set_strings(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("set_strings", 1, "sf_strings_dict");
  auto [strings] = params.parse(args, nargs, kwnames);
  Ref keys = check(PyObject_GetIter(strings));
  while (Ref key = Ref::steal(PyIter_Next(keys.get()))) {
    Ref value = getitem(strings, key.get());
    call_method(reinterpret_cast<PyObject*>(self), ONDALIS_NAME("set_string"),
                           key.get(), value.get());
  }
  if (PyErr_Occurred()) fail();
  return py_none();
}

}  // namespace

PyMethodDef strings_methods[] = {
    ONDALIS_SF_METHOD("get_strings", get_strings,
                      "get_strings($self)\n--\n\n"
                      "Returns the text metadata the file holds: a dict from string-type names\n"
                      "(keys of stringtype_name_to_id, such as 'SF_STR_TITLE') to bytes, {}\n"
                      "when there is none. Takes no arguments. Raises RuntimeError on a closed\n"
                      "object."),
    ONDALIS_SF_METHOD("set_string", set_string,
                      "set_string($self, stringtype_name, string)\n--\n\n"
                      "Stores one metadata string: string (bytes or bytearray) under\n"
                      "stringtype_name, a key of stringtype_name_to_id such as 'SF_STR_TITLE'.\n"
                      "Formats with headers take strings before the first frame is written.\n"
                      "Returns None.\n"
                      "\n"
                      "Raises RuntimeError for an unknown string type, for a string longer than\n"
                      "libsndfile reads back for the file's format\n"
                      "(max_supported_string_length), when libsndfile refuses it (a format\n"
                      "without strings) and on a closed object; TypeError for a str or another\n"
                      "non-bytes value."),
    ONDALIS_SF_METHOD("set_strings", set_strings,
                      "set_strings($self, sf_strings_dict)\n--\n\n"
                      "Stores every entry of sf_strings_dict, a mapping from string-type names\n"
                      "to bytes, with set_string, in the mapping's order. Returns None. Raises\n"
                      "what set_string raises, at the first entry that fails; the entries\n"
                      "before it stay stored."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
