// The Ondalis object: one owned libsndfile handle, the descriptor it was
// opened by (or -1) and the path it was opened by, as bytes (or empty).
#pragma once
#include <Python.h>
#include <sndfile.hh>

#include <cstdint>
#include <string>

#include "../capi/message.hpp"
#include "../chunks/rules.hpp"

namespace ondalis {

// The string types set on the object (bit n for id n), by where libsndfile
// puts them: with the header (before any frame) or after the audio data
// (src/soundfile/late_strings.hpp).
struct StringsSet {
  uint32_t with_header;
  uint32_t after_frames;
  bool frames_written;
};

// The members are constructed when the object is allocated and destroyed
// when it is freed (src/soundfile/lifetime.cpp). SndfileHandle is libsndfile's
// own reference-counted value: an empty one holds no file, and assigning an
// empty one closes the file it held.
struct SoundFile {
  PyObject_HEAD
  SndfileHandle handle;  // empty before an open and after close
  int fd;
  std::string filename;
  chunks::Budget chunk_budget;  // chunks set so far: zeroed by tp_alloc
  int mode;                     // SFM_READ, SFM_WRITE or SFM_RDWR once open
  StringsSet strings_set;       // zeroed by tp_alloc
};

extern PyTypeObject SoundFileType;

// The closed object's error, shared by every method that needs a file.
inline constexpr const char* kNoHandle = "Ondalis::error::no valid soundfilehandle";
[[noreturn]] inline void raise_no_handle() { raise(PyExc_RuntimeError, kNoHandle); }

// Whether the object holds a libsndfile handle (it is open).
inline bool is_open(const SoundFile* self) { return static_cast<bool>(self->handle); }

// The open handle, or RuntimeError "Ondalis::error::no valid soundfilehandle".
inline SndfileHandle& open_handle(SoundFile* self) {
  if (!is_open(self)) raise_no_handle();
  return self->handle;
}

// The libsndfile file of an open object (same error when closed).
inline SNDFILE* open_file(SoundFile* self) { return open_handle(self).rawHandle(); }

// The file of an open object, or null when closed (for null-handle commands).
inline SNDFILE* file_or_null(SoundFile* self) {
  return is_open(self) ? self->handle.rawHandle() : nullptr;
}

// Method tables, one per concern; the type joins them when it is made ready.
extern PyMethodDef lifetime_methods[];
extern PyMethodDef settings_methods[];
extern PyMethodDef info_methods[];
extern PyMethodDef read_methods[];
extern PyMethodDef write_methods[];
extern PyMethodDef position_methods[];
extern PyMethodDef strings_methods[];
extern PyMethodDef cues_methods[];
extern PyMethodDef command_methods[];      // commands/dispatch.cpp
extern PyMethodDef scalar_methods[];       // commands/scalar.cpp
extern PyMethodDef struct_methods[];       // commands/structs.cpp
extern PyMethodDef cue_methods[];          // commands/cue.cpp
extern PyMethodDef instrument_methods[];   // commands/instrument.cpp
extern PyMethodDef broadcast_methods[];    // commands/broadcast.cpp
extern PyMethodDef cart_methods[];         // commands/cart.cpp
extern PyMethodDef channel_map_methods[];  // commands/channel_map.cpp
extern PyMethodDef chunk_methods[];        // soundfile/chunks.cpp

// The object's description (str()).
PyObject* describe(PyObject* self);
// repr(): <Ondalis 'name' r 44100 Hz 2 ch 44100 frames>, or <Ondalis closed>.
PyObject* represent(PyObject* self);

// Makes the type ready (once); returns false with an exception set.
bool ready_type();

// Captures the default dtype of read_frames (np.float64 as found at init).
void set_read_default_dtype(PyObject* dtype);
PyObject* read_default_dtype();  // borrowed

}  // namespace ondalis

#define ONDALIS_SF_METHOD(name, body, doc) ONDALIS_METHOD(name, ::ondalis::SoundFile, body, doc)
