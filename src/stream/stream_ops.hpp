// The operations of a Stream, shared by its methods, the block iterator and
// the module's one-call functions.
#pragma once
#include <Python.h>
#include <sndfile.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "../capi/ref.hpp"
#include "stream.hpp"

namespace ondalis::stream {

// A new Stream on `source` ("r" or "w"); format, channels and samplerate
// describe what is written, or headerless input (0 for a file with a header).
Ref open_stream(PyObject* source, const char* mode, int format, int channels, int samplerate);
// Frames between the position and the end, or -1 when the length is unknown.
sf_count_t frames_left(Stream* self);
// Up to `frames` frames into `data`; the number read.
sf_count_t read_into(Stream* self, int typenum, void* data, sf_count_t frames);
// A new array of up to `frames` frames (frames < 0: to the end), or the
// filled part of `out` when one is given.
Ref read_frames(Stream* self, sf_count_t frames, int typenum, bool two_d, PyObject* out);
// Writes every frame of `data` (OSError when libsndfile takes fewer).
sf_count_t write_frames(Stream* self, PyObject* data);
sf_count_t seek_frames(Stream* self, sf_count_t frames, int whence);
// Closes the file (once); OSError when libsndfile reports a failure, then
// hands written bytes to an io.BytesIO or file object target.
void close_stream(Stream* self);
// The file's text of string type `id` (empty when it has none).
std::string file_string(Stream* self, int id);
// {string type id: bytes} of every text the file holds.
Ref file_strings(Stream* self);

}  // namespace ondalis::stream

namespace ondalis::stream {
// libsndfile keeps at most this many bytes of a coding history or tag text.
inline constexpr uint32_t kTrailingLimit = 16384;
// The most cue points whose list still fits libsndfile's int datasize.
inline constexpr std::size_t kMaxCuePoints = (INT_MAX - sizeof(uint32_t)) / sizeof(SF_CUE_POINT);
// Stream.metadata(): {record name: tuple of fields or None} (see metadata.cpp).
PyObject* stream_metadata(PyObject* self, PyObject*);
// Stream.copy_metadata(source): offers this (written) stream every text and
// record of `source`, byte for byte.
PyObject* stream_copy_metadata(PyObject* self, PyObject* source);
// Stream.set_record(name, fields): a record for a written stream, as the
// tuple of fields metadata() gives (see metadata_set.cpp).
PyObject* stream_set_record(PyObject* self, PyObject* args);
// Stream.set_string(id, text): a text of string type `id`.
PyObject* stream_set_string(PyObject* self, PyObject* args);
}  // namespace ondalis::stream
