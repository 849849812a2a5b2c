// The clip scan of write_frames: whether np.max(np.abs(data)) > 1.0 would be
// true for `count` samples in memory, that is some |sample| above 1 and no
// NaN (a NaN makes the maximum NaN, which is not greater than 1).
#pragma once
#include <sndfile.h>

#include <cstdint>
#include <vector>

namespace ondalis::clip {

// Whether a libsndfile format code's encoding stores floats (which keep
// samples beyond full scale as they are).
inline bool stores_floats(int format) {
  const int encoding = format & SF_FORMAT_SUBMASK;
  return encoding == SF_FORMAT_FLOAT || encoding == SF_FORMAT_DOUBLE;
}

bool beyond_unit(const double* data, int64_t count);
bool beyond_unit(const float* data, int64_t count);

// How many of `count` samples lie beyond [-1, 1] (a NaN does not): the
// samples libsndfile's clipping limits when they are written to an integer
// encoding.
int64_t count_beyond_unit(const double* data, int64_t count);
int64_t count_beyond_unit(const float* data, int64_t count);

// Samples limited to [-1, 1], a NaN as 0: what every integer encoding can
// take. libsndfile limits floats itself for PCM, FLAC and ALAC only; its
// other codecs wrap a sample beyond full scale around (ADPCM, GSM, G.72x),
// read past a table with it (u-law and A-law: 1e6 crashes the process) or
// hand it on to an encoder that aborts on it (lame). `samples` is filled
// with the limited copy when `data` needs one, and true returned.
bool limited(const double* data, int64_t count, std::vector<double>& samples);
bool limited(const float* data, int64_t count, std::vector<float>& samples);

}  // namespace ondalis::clip
