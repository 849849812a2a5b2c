// Module functions for the format catalogue, format codes, versions and
// libsndfile's log. They call libsndfile with a null file handle only.
#include <sndfile.h>

#include <vector>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/message.hpp"
#include "../capi/module_ns.hpp"
#include "catalogue.hpp"

namespace ondalis {
namespace {

// The version the module's contract fixes for _ondalis_version, whatever
// version the package has (that one is meson.build's project version).
#define ONDALIS_CONTRACT_MAJOR 1
#define ONDALIS_CONTRACT_MINOR 5
#define ONDALIS_CONTRACT_MICRO 3
#define ONDALIS_TEXT(x) ONDALIS_TEXT_OF(x)
#define ONDALIS_TEXT_OF(x) #x
#define ONDALIS_CONTRACT_VERSION_TEXT                                                  \
  "(" ONDALIS_TEXT(ONDALIS_CONTRACT_MAJOR) ", " ONDALIS_TEXT(ONDALIS_CONTRACT_MINOR) ", " \
      ONDALIS_TEXT(ONDALIS_CONTRACT_MICRO) ")"

constexpr const char* kFormatUnknown =
    "Format {0:x} supported by libsndfile but not yet supported by Ondalis";
constexpr const char* kEncodingUnknown = "Encoding {0:x} supported by libsndfile but not by Ondalis";
constexpr const char* kNotKnown = "Ondalis::File format {0} not known by Ondalis";
constexpr const char* kNotSupported = "Ondalis::File format {0}:{1:x} not supported by libsndfile";

using Function = Ref (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

std::vector<int> formats_from_libsndfile() {
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  std::vector<int> ids;
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
    ids.push_back(info.format);
  }
  return ids;
}

std::vector<int> sub_formats_for_major(int major) {
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof count);
  SF_INFO check_info{};
  check_info.samplerate = 44100;
  check_info.channels = 1;
  std::vector<int> ids;
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &info, sizeof info);
    check_info.format = (major & SF_FORMAT_TYPEMASK) | info.format;
    if (sf_format_check(&check_info)) ids.push_back(info.format);
  }
  return ids;
}

void warn(PyObject* message) {
  Ref warnings = ONDALIS_LOOKUP("warnings");
  call_method(warnings.get(), ONDALIS_NAME("warn"), message);
}

// Names of `ids` in the table `table_name` (masked with `mask`); ids the
// table lacks are reported by a warning and left out.
Ref names_of(const std::vector<int>& ids, PyObject* table_name, int mask,
             const char* unknown_message) {
  Ref result = check(PyList_New(0));
  for (int id : ids) {
    Ref table = module_ns::lookup(table_name);
    Ref key = py_int(id);
    Ref masked = py_int(id & mask);
    if (contains(table.get(), key.get())) {
      Ref name = getitem(table.get(), masked.get());
      check_status(PyList_Append(result.get(), name.get()));
    } else {
      warn(format(unknown_message, masked).get());
    }
  }
  return result;
}

Ref get_ondalis_version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_ondalis_version", 0);
  params.parse(args, nargs, kwnames);
  return ONDALIS_LOOKUP("_ondalis_version");
}

Ref get_sndfile_formats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_sndfile_formats", 0);
  params.parse(args, nargs, kwnames);
  return names_of(formats_from_libsndfile(), ONDALIS_NAME("fileformat_id_to_name"), SF_FORMAT_TYPEMASK,
                  kFormatUnknown);
}

// The major-format id named or given by `major`.
Ref resolve_major(PyObject* major) {
  Ref id_to_name = ONDALIS_LOOKUP("fileformat_id_to_name");
  if (contains(id_to_name.get(), major)) return Ref::borrow(major);
  Ref name_to_id = ONDALIS_LOOKUP("fileformat_name_to_id");
  if (contains(name_to_id.get(), major))
    return getitem(name_to_id.get(), major);
  Ref text = check(PyObject_Str(major));
  raise_format(PyExc_ValueError, kNotKnown, text);
}

// `id in get_sndfile_formats_from_libsndfile()`, compared as list membership
// compares (each listed id against `id`).
bool offered_by_libsndfile(PyObject* id) {
  for (int known : formats_from_libsndfile()) {
    Ref candidate = py_int(known);
    if (check_status(PyObject_RichCompareBool(candidate.get(), id, Py_EQ))) return true;
  }
  return false;
}

Ref get_sndfile_encodings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("get_sndfile_encodings", 1, "major");
  auto [major] = params.parse(args, nargs, kwnames);
  Ref id = resolve_major(major);
  if (!offered_by_libsndfile(id.get())) {
    Ref id_to_name = ONDALIS_LOOKUP("fileformat_id_to_name");
    Ref name = getitem(id_to_name.get(), id.get());
    raise_format(PyExc_ValueError, kNotSupported, name, id);
  }
  return names_of(sub_formats_for_major(index_int32(id.get())), ONDALIS_NAME("encoding_id_to_name"),
                  SF_FORMAT_SUBMASK, kEncodingUnknown);
}

Ref construct_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("construct_format", 2, "major", "encoding");
  auto [major, encoding] = params.parse(args, nargs, kwnames);
  Ref majors = ONDALIS_LOOKUP("fileformat_name_to_id");
  int major_id = to_int32(getitem(majors.get(), major).get());
  Ref encodings = ONDALIS_LOOKUP("encoding_name_to_id");
  int encoding_id = to_int32(getitem(encodings.get(), encoding).get());
  return py_int(major_id | encoding_id);
}

// text.split(separator), which must give exactly `expected` pieces (the
// interpreter's unpacking messages otherwise).
Ref split_exactly(PyObject* text, const char* separator, Py_ssize_t expected) {
  Ref sep = py_str(separator);
  Ref parts = check(PyUnicode_Split(text, sep.get(), -1));
  Py_ssize_t n = PyList_GET_SIZE(parts.get());
  if (n < expected) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", expected,
                 n);
    fail();
  }
  if (n > expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    fail();
  }
  return parts;
}

Ref int_of(PyObject* text) { return check(PyLong_FromUnicodeObject(text, 10)); }

Ref parse_version(PyObject* text) {
  Ref dash = py_str("-");
  Ref pieces = check(PyUnicode_Split(text, dash.get(), -1));
  Ref number = check(PySequence_GetItem(pieces.get(), 1));
  Ref parts = split_exactly(number.get(), ".", 3);
  PyObject* micro = PyList_GET_ITEM(parts.get(), 2);
  Ref micro_text = Ref::borrow(micro);
  Ref prerelease = py_str("0");
  Ref micro_int = Ref::steal(PyLong_FromUnicodeObject(micro, 10));
  if (!micro_int) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) fail();
    PyErr_Clear();
    Ref pre = split_exactly(micro, "pre", 2);
    micro_text = Ref::borrow(PyList_GET_ITEM(pre.get(), 0));
    prerelease = Ref::borrow(PyList_GET_ITEM(pre.get(), 1));
  }
  Ref major = int_of(PyList_GET_ITEM(parts.get(), 0));
  Ref minor = int_of(PyList_GET_ITEM(parts.get(), 1));
  Ref micro_value = int_of(micro_text.get());
  Ref pre_value = int_of(prerelease.get());
  return check(PyTuple_Pack(4, major.get(), minor.get(), micro_value.get(), pre_value.get()));
}

Ref get_sndfile_version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_sndfile_version", 0);
  params.parse(args, nargs, kwnames);
  char buffer[256] = {};
  sf_command(nullptr, SFC_GET_LIB_VERSION, buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = 0;
  return parse_version(py_str(buffer).get());
}

Ref get_sf_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_sf_log", 0);
  params.parse(args, nargs, kwnames);
  char buffer[2048] = {};
  sf_command(nullptr, SFC_GET_LOG_INFO, buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = 0;
  return check(PyObject_Str(py_bytes(buffer).get()));
}

#define ONDALIS_FUNCTION(name, body, doc) ONDALIS_METHOD(name, PyObject, body, doc)

PyMethodDef version_function[] = {
    ONDALIS_FUNCTION("get_ondalis_version", get_ondalis_version,
                     "get_ondalis_version()\n--\n\n"
                     "Returns the package version: the tuple in the module attribute\n"
                     "_ondalis_version, normally " ONDALIS_CONTRACT_VERSION_TEXT
                     ". Takes no arguments; raises\n"
                     "NameError if that attribute was deleted."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef catalogue_functions[] = {
    ONDALIS_FUNCTION("get_sndfile_version", get_sndfile_version,
                     "get_sndfile_version()\n--\n\n"
                     "Returns the version of the libsndfile in use as a tuple of four ints,\n"
                     "(major, minor, micro, prerelease). Takes no arguments. Raises ValueError\n"
                     "or IndexError if libsndfile's version text is not of the form\n"
                     "libsndfile-X.Y.Z[preN]."),
    ONDALIS_FUNCTION("get_sndfile_encodings", get_sndfile_encodings,
                     "get_sndfile_encodings(major)\n--\n\n"
                     "Returns the names of the encodings (keys of encoding_name_to_id) that\n"
                     "libsndfile accepts for one major format, in libsndfile's order. major: a\n"
                     "name from get_sndfile_formats() such as 'wav', or the major format's id\n"
                     "such as 0x10000.\n"
                     "\n"
                     "Raises ValueError for a format the module does not know or libsndfile\n"
                     "does not offer. Warns (UserWarning) about encodings the tables lack,\n"
                     "which are left out."),
    ONDALIS_FUNCTION("get_sf_log", get_sf_log,
                     "get_sf_log()\n--\n\n"
                     "Returns libsndfile's internal log of calls without a file, for diagnosing\n"
                     "a failed open, as the printable form of its bytes (a str starting with\n"
                     "b'). Takes no arguments and raises nothing of its own."),
    ONDALIS_FUNCTION("get_sndfile_formats", get_sndfile_formats,
                     "get_sndfile_formats()\n--\n\n"
                     "Returns the names of the major formats (keys of fileformat_name_to_id)\n"
                     "handled by both libsndfile and this module, in libsndfile's order. Takes\n"
                     "no arguments. Warns (UserWarning) about formats the tables lack, which\n"
                     "are left out; raises nothing of its own."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef construct_function[] = {
    ONDALIS_FUNCTION("construct_format", construct_format,
                     "construct_format(major, encoding)\n--\n\n"
                     "Returns the libsndfile format code (an int) for a major format and an\n"
                     "encoding. major: a key of fileformat_name_to_id, such as 'wav'; encoding:\n"
                     "a key of encoding_name_to_id, such as 'pcm16'. The code carries no\n"
                     "endianness bits.\n"
                     "\n"
                     "Raises KeyError for a name the tables lack (the major format is looked up\n"
                     "first)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_functions(PyObject* module, PyMethodDef* table) {
  Ref name = check(PyModule_GetNameObject(module));
  for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
    Ref function = check(PyCMethod_New(def, module, name.get(), nullptr));
    check_status(PyModule_AddObjectRef(module, def->ml_name, function.get()));
  }
}

void bind_version_function(PyObject* module) {
  Ref version = check(Py_BuildValue("(iii)", ONDALIS_CONTRACT_MAJOR, ONDALIS_CONTRACT_MINOR,
                                    ONDALIS_CONTRACT_MICRO));
  check_status(PyModule_AddObjectRef(module, "_ondalis_version", version.get()));
  add_functions(module, version_function);
}
void bind_catalogue_functions(PyObject* module) { add_functions(module, catalogue_functions); }
void bind_construct_format(PyObject* module) { add_functions(module, construct_function); }

}  // namespace ondalis
