// The clip scan of write_frames: whether np.max(np.abs(data)) > 1.0 would be
// true for `count` samples in memory, that is some |sample| above 1 and no
// NaN (a NaN makes the maximum NaN, which is not greater than 1).
#pragma once
#include <cstdint>

namespace ondalis::clip {

bool beyond_unit(const double* data, int64_t count);
bool beyond_unit(const float* data, int64_t count);

// How many of `count` samples lie beyond [-1, 1] (a NaN does not): the
// samples libsndfile's clipping limits when they are written to an integer
// encoding.
int64_t count_beyond_unit(const double* data, int64_t count);
int64_t count_beyond_unit(const float* data, int64_t count);

}  // namespace ondalis::clip
