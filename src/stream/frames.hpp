// Frame arrays of the streaming path: numpy arrays of (frames[, channels])
// samples of one of the four element types libsndfile reads and writes.
#pragma once
#include <Python.h>
#include <sndfile.h>

#include <cstddef>

#include "../capi/numpy.hpp"
#include "../capi/ref.hpp"

namespace ondalis::stream {

// libsndfile's typed frame calls, chosen by numpy type number.
sf_count_t read_typed(SNDFILE* file, int typenum, void* data, sf_count_t frames);
sf_count_t write_typed(SNDFILE* file, int typenum, const void* data, sf_count_t frames);

// Bytes per sample of a type number the stream takes.
inline std::size_t item_size(int typenum) {
  return typenum == NPY_FLOAT64 ? 8 : typenum == NPY_INT16 ? 2 : 4;
}

// A numpy type number the stream takes (ValueError for another).
int checked_typenum(PyObject* value);

// A new uninitialised array of `frames` frames: (frames,) for one channel
// unless `two_d`, else (frames, channels).
Ref new_frames(sf_count_t frames, int channels, int typenum, bool two_d);
// Shrinks a new array that nobody else holds to its first `frames` frames.
void shrink(Ref& array, sf_count_t frames);
// Grows a new array that nobody else holds to `frames` frames.
void grow(Ref& array, sf_count_t frames);

// `out` checked as an array frames can be read into: an ndarray of a type
// libsndfile reads, C-contiguous, aligned, writable, in native byte order,
// of shape (n,) for one channel or (n, channels).
PyArrayObject* checked_out(PyObject* out, int channels);
// `data` checked as an array frames can be written from (the same rules, not
// writable); its frame count.
sf_count_t checked_in(PyObject* data, int channels);

// The first `frames` frames of `array` (the array itself when that is all).
Ref first_frames(PyArrayObject* array, sf_count_t frames);
// Sets frames [from, to) of a C-contiguous frame array to `value`.
void fill_frames(PyArrayObject* array, sf_count_t from, sf_count_t to, int channels, double value);

}  // namespace ondalis::stream
