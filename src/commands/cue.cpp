// Cue point commands: libsndfile's cue list (SF_CUES: a uint32 count and the
// points right after it) to and from a list of SfCuePoint records. Up to 100
// points travel in the declared SF_CUES; longer lists in a buffer of exactly
// 4 + 280 * n bytes with the same layout.
#include <sndfile.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "handlers.hpp"
#include "textfields.hpp"

namespace ondalis {
namespace {

static_assert(sizeof(SF_CUE_POINT) == 280);
static_assert(offsetof(SF_CUE_POINT, name) == 24);
static_assert(offsetof(SF_CUES, cue_points) == 4);
static_assert(sizeof(SF_CUES) == 28004);

constexpr std::size_t kDeclaredPoints = 100;
constexpr std::size_t kHeaderSize = offsetof(SF_CUES, cue_points);
// The most points whose list still fits libsndfile's int datasize.
constexpr std::size_t kMaxPoints = (INT_MAX - kHeaderSize) / sizeof(SF_CUE_POINT);
static_assert(kMaxPoints == 7669584);

using CuePoint = commands::RecordKind<records::kCuePoint>;

constexpr const char* kTooManyPoints =
    "Ondalis::error:: too many cue points ({0}) in {1}, maximum is {2}";

// A zero-filled cue list with room for `points` points: the declared SF_CUES
// for up to 100, an exactly sized buffer beyond. Points are copied in and out
// whole, so the longer buffer is never addressed past a declared array.
class CueList {
 public:
  explicit CueList(std::size_t points)
      : large_(points > kDeclaredPoints ? kHeaderSize + points * sizeof(SF_CUE_POINT) : 0, 0) {
    if (large_.empty()) std::memset(&declared_, 0, sizeof declared_);
  }
  char* data() { return large_.empty() ? reinterpret_cast<char*>(&declared_) : large_.data(); }
  int size() const {
    return static_cast<int>(large_.empty() ? sizeof declared_ : large_.size());
  }
  std::size_t capacity() const { return (size() - kHeaderSize) / sizeof(SF_CUE_POINT); }

  uint32_t count() {
    uint32_t count;
    std::memcpy(&count, data(), sizeof count);
    return count;
  }
  void set_count(uint32_t count) { std::memcpy(data(), &count, sizeof count); }
  SF_CUE_POINT point(std::size_t i) {
    SF_CUE_POINT point;
    std::memcpy(&point, data() + kHeaderSize + i * sizeof point, sizeof point);
    return point;
  }
  void set_point(std::size_t i, const SF_CUE_POINT& point) {
    std::memcpy(data() + kHeaderSize + i * sizeof point, &point, sizeof point);
  }

 private:
  SF_CUES declared_;
  std::vector<char> large_;
};

Ref cue_record(const SF_CUE_POINT& point) {
  return CuePoint::build({py_int(point.indx), py_uint(point.position), py_int(point.fcc_chunk),
                     py_int(point.chunk_start), py_int(point.block_start),
                     py_uint(point.sample_offset),
                     text::read_char_field(point.name, sizeof point.name)});
}

Ref cue_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_cue_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  uint32_t count = 0;
  Ref points = check(PyList_New(0));
  if (sf_command(open_file(self), SFC_GET_CUE_COUNT, &count, sizeof count) == 0) return points;
  // A count that no datasize can carry asks for as many points as one can.
  CueList list(count < kMaxPoints ? count : kMaxPoints);
  int id = commands::command_id(command);  // may run Python code that closes the object
  if (sf_command(open_file(self), id, list.data(), list.size()) != 1) return points;
  std::size_t n = list.count() < list.capacity() ? list.count() : list.capacity();
  for (std::size_t i = 0; i < n; ++i) {
    Ref point = cue_record(list.point(i));
    check_status(PyList_Append(points.get(), point.get()));
  }
  return points;
}

// Point i of the list from arg[i], member by member.
SF_CUE_POINT cue_point_from(PyObject* arg, Py_ssize_t i, PyObject* command) {
  using commands::item_attribute;
  auto int_member = [&](PyObject* name) {
    return to_int32(item_attribute(arg, i, name).get(), "int");
  };
  auto uint_member = [&](PyObject* name) {
    return to_uint32(item_attribute(arg, i, name).get(), "unsigned int");
  };
  SF_CUE_POINT point;
  std::memset(&point, 0, sizeof point);
  point.indx = int_member(ONDALIS_FIELD(CuePoint, "indx"));
  point.position = uint_member(ONDALIS_FIELD(CuePoint, "position"));
  point.fcc_chunk = int_member(ONDALIS_FIELD(CuePoint, "fcc_chunk"));
  point.chunk_start = int_member(ONDALIS_FIELD(CuePoint, "chunk_start"));
  point.block_start = int_member(ONDALIS_FIELD(CuePoint, "block_start"));
  point.sample_offset = uint_member(ONDALIS_FIELD(CuePoint, "sample_offset"));
  Ref name = item_attribute(arg, i, ONDALIS_FIELD(CuePoint, "name"));
  text::assign_string_field(point.name, name.get(), command, "name");
  return point;
}

Ref cue_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_cue_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  Py_ssize_t n = length(arg);
  if (static_cast<std::size_t>(n) > kMaxPoints) {
    Ref name = commands::command_name(command);
    raise_format(PyExc_RuntimeError, kTooManyPoints, n, name, kMaxPoints);
  }
  CueList list(n);
  list.set_count(static_cast<uint32_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) list.set_point(i, cue_point_from(arg, i, command));
  commands::send_checked(self, command, list.data(), list.size());
  return py_none();
}

}  // namespace

PyMethodDef cue_methods[] = {
    ONDALIS_SF_METHOD("_cue_get_command", cue_get,
                      "_cue_get_command($self, command)\n--\n\n"
                      "Returns the file's cue points (the command id command, SFC_GET_CUE) as a\n"
                      "list of SfCuePoint records, [] when the file has none or libsndfile\n"
                      "refuses. Raises UnicodeDecodeError for a name that is not UTF-8 and\n"
                      "RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("_cue_set_command", cue_set,
                      "_cue_set_command($self, command, arg)\n--\n\n"
                      "Stores the cue points of the sequence arg (objects with the attributes\n"
                      "of SfCuePoint; any number of them) with the command id command\n"
                      "(SFC_SET_CUE); returns None. Formats with headers take them before the\n"
                      "first frame is written.\n"
                      "\n"
                      "Raises RuntimeError for a name longer than 255 UTF-8 bytes, when\n"
                      "libsndfile refuses the list and on a closed object; AttributeError,\n"
                      "TypeError or OverflowError for points whose members do not convert."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
