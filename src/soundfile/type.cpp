// The Ondalis type: joins the per-concern method tables and makes it ready.
#include <vector>

#include "../capi/signed_method.hpp"
#include "object.hpp"

namespace ondalis {

namespace lifetime {
extern newfunc const new_function;
extern destructor const dealloc_function;
extern destructor const finalize_function;
}  // namespace lifetime

PyTypeObject SoundFileType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

namespace {

std::vector<PyMethodDef>& joined_methods() {
  static std::vector<PyMethodDef> methods;
  return methods;
}

void join_methods() {
  std::vector<PyMethodDef>& out = joined_methods();
  for (PyMethodDef* table :
       {lifetime_methods, info_methods, read_methods, write_methods, position_methods,
        strings_methods, cues_methods, settings_methods, command_methods, scalar_methods,
        struct_methods, cue_methods, instrument_methods, broadcast_methods, cart_methods,
        channel_map_methods, chunk_methods})
    for (PyMethodDef* m = table; m->ml_name != nullptr; ++m) out.push_back(*m);
  out.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
}

constexpr const char* kDoc =
    "Ondalis(filename, mode='r', format=0, channels=0, samplerate=0, *args, **kwargs)\n--\n\n"
    "A sound file opened through libsndfile. Creating one opens the file; the\n"
    "object returned owns libsndfile's handle until close() or the end of a with\n"
    "block.\n"
    "\n"
    "filename: a path (str, bytes or path-like; '~' is expanded) or an open file\n"
    "descriptor (int), which is never closed by this object. mode: 'r', 'w' or\n"
    "'rw'. format, channels, samplerate: required for writing and for raw files;\n"
    "format is a libsndfile format code such as construct_format('wav', 'pcm16').\n"
    "Further arguments are accepted and ignored, for subclasses.\n"
    "\n"
    "Raises ValueError for a bad mode, a missing format when writing or more than\n"
    "SF_MAX_CHANNELS channels, and IOError (OSError) when libsndfile cannot open\n"
    "the file.";

PyObject* default_dtype = nullptr;

}  // namespace

void set_read_default_dtype(PyObject* dtype) {
  Py_XINCREF(dtype);
  Py_XSETREF(default_dtype, dtype);
}

PyObject* read_default_dtype() { return default_dtype; }

bool ready_type() {
  if (SoundFileType.tp_flags & Py_TPFLAGS_READY) return true;
  join_methods();
  SoundFileType.tp_name = "_ondalis.Ondalis";
  SoundFileType.tp_basicsize = sizeof(SoundFile);
  SoundFileType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  SoundFileType.tp_doc = kDoc;
  SoundFileType.tp_new = lifetime::new_function;
  SoundFileType.tp_dealloc = lifetime::dealloc_function;
  SoundFileType.tp_finalize = lifetime::finalize_function;
  SoundFileType.tp_str = describe;
  SoundFileType.tp_repr = represent;
  SoundFileType.tp_methods = joined_methods().data();
  // read_frames's default dtype is the numpy.float64 object, which its
  // text signature cannot give inspect.
  return PyType_Ready(&SoundFileType) == 0 && sign_method(&SoundFileType, "read_frames");
}

}  // namespace ondalis
