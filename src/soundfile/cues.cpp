// The cue markers of a file as plain (sample offset, name) pairs.
#include <cstring>
#include <limits>
#include <vector>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

// libsndfile's cue record: a 32-bit count followed by the points; its
// published form holds 100 points.
constexpr std::size_t kCountSize = sizeof(uint32_t);
constexpr std::size_t kPublishedPoints = 100;
static_assert(sizeof(SF_CUE_POINT) == 280);
static_assert(offsetof(SF_CUES, cue_points) == kCountSize);
static_assert(sizeof(SF_CUES) == kCountSize + kPublishedPoints * sizeof(SF_CUE_POINT));

// The most points whose record size still fits libsndfile's int datasize.
constexpr std::size_t kMaxPoints =
    (std::numeric_limits<int>::max() - kCountSize) / sizeof(SF_CUE_POINT);

// libsndfile's marker count; false when the file has no cue information.
bool cue_count(SNDFILE* file, int32_t& count) {
  count = 0;
  return sf_command(file, SFC_GET_CUE_COUNT, &count, sizeof count) != 0;
}

Ref get_cue_count(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_cue_count", 0);
  params.parse(args, nargs, kwnames);
  int32_t count;
  return py_int(cue_count(open_file(self), count) ? count : 0);
}

// A zero-filled cue record with room for every marker the file has (at least
// the published 100), so libsndfile never writes nor we read beyond it.
std::vector<unsigned char> cue_record(SNDFILE* file) {
  int32_t count;
  cue_count(file, count);
  std::size_t points = static_cast<uint32_t>(count);
  if (points > kMaxPoints) raise(PyExc_RuntimeError, "Ondalis::error::too many cue markers");
  if (points < kPublishedPoints) points = kPublishedPoints;
  return std::vector<unsigned char>(kCountSize + points * sizeof(SF_CUE_POINT), 0);
}

// (sample_offset, name) of one point; the name ends at its first NUL.
Ref marker(const SF_CUE_POINT& point) {
  Ref offset = py_uint(point.sample_offset);
  Ref name = check(PyUnicode_DecodeASCII(point.name, strnlen(point.name, sizeof point.name),
                                         "strict"));
  return check(PyTuple_Pack(2, offset.get(), name.get()));
}

Ref get_cue_mrks(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("get_cue_mrks", 0);
  params.parse(args, nargs, kwnames);
  SNDFILE* file = open_file(self);
  std::vector<unsigned char> record = cue_record(file);
  const std::size_t capacity = (record.size() - kCountSize) / sizeof(SF_CUE_POINT);
  if (sf_command(file, SFC_GET_CUE, record.data(), static_cast<int>(record.size())) == 0)
    return check(PyList_New(0));
  uint32_t count;
  std::memcpy(&count, record.data(), sizeof count);
  if (count > capacity) count = static_cast<uint32_t>(capacity);
  Ref markers = check(PyList_New(count));
  for (uint32_t i = 0; i < count; ++i) {
    SF_CUE_POINT point;
    std::memcpy(&point, record.data() + kCountSize + i * sizeof point, sizeof point);
    PyList_SET_ITEM(markers.get(), i, marker(point).release());
  }
  return markers;
}

}  // namespace

PyMethodDef cues_methods[] = {
    ONDALIS_SF_METHOD("get_cue_count", get_cue_count,
                      "get_cue_count($self)\n--\n\n"
                      "Returns the number of cue markers in the file, 0 when there are none or\n"
                      "libsndfile cannot tell. Takes no arguments. Raises RuntimeError on a\n"
                      "closed object."),
    ONDALIS_SF_METHOD("get_cue_mrks", get_cue_mrks,
                      "get_cue_mrks($self)\n--\n\n"
                      "Returns the cue markers of an AIFF or WAV file as a list of (position,\n"
                      "name) tuples, position being the marker's sample offset; [] when there\n"
                      "are none. Names are not retrieved for WAV files (they come back empty).\n"
                      "Takes no arguments. Raises UnicodeDecodeError for a name that is not\n"
                      "ASCII and RuntimeError on a closed object."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
