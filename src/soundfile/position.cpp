// Moving the read and write positions, and flushing the file.
#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/names.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

constexpr const char* kBadMode = "mode should be one of 'r', 'w' or 'rw' only";
constexpr const char* kSeekFailed = "libsndfile error during seek:: {0}";
constexpr const char* kRewindFailed = "libsndfile error while rewinding:: {0}";

// The bits that select which position sf_seek moves: none for 'rw' (both, or
// the only one), SFM_READ for 'r', SFM_WRITE for 'w'.
int position_kind(PyObject* mode) {
  if (mode == nullptr || equal(mode, ONDALIS_NAME("rw"))) return 0;
  if (equal(mode, ONDALIS_NAME("r"))) return SFM_READ;
  if (equal(mode, ONDALIS_NAME("w"))) return SFM_WRITE;
  raise(PyExc_ValueError, kBadMode);
}

Ref move(SNDFILE* file, sf_count_t offset, int whence, const char* failure) {
  sf_count_t position = sf_seek(file, offset, whence);
  if (position == -1) raise_format(PyExc_OSError, failure, py_bytes(sf_strerror(file)));
  return py_int(position);
}

Ref seek(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<3> params("seek", 1, "offset", "whence", "mode");
  auto [offset_arg, whence_arg, mode] = params.parse(args, nargs, kwnames);
  sf_count_t offset = index_int64(offset_arg);
  int whence = whence_arg != nullptr ? index_int32(whence_arg) : SEEK_SET;
  open_file(self);
  // mode's __eq__ may close the object: the file is taken after it.
  const int kind = position_kind(mode);
  return move(open_file(self), offset, whence | kind, kSeekFailed);
}

Ref rewind(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("rewind", 0, "mode");
  auto [mode] = params.parse(args, nargs, kwnames);
  open_file(self);
  const int kind = position_kind(mode);
  return move(open_file(self), 0, SEEK_SET | kind, kRewindFailed);
}

Ref write_sync(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("writeSync", 0);
  params.parse(args, nargs, kwnames);
  sf_write_sync(open_file(self));
  return py_none();
}

}  // namespace

PyMethodDef position_methods[] = {
    ONDALIS_SF_METHOD("seek", seek,
                      "seek($self, offset, whence=0, mode='rw')\n--\n\n"
                      "Moves to frame offset, counted from the start (whence 0), the current\n"
                      "position (1) or the end (2), and returns the new position in frames from\n"
                      "the start. mode 'r' or 'w' moves only the read or the write position of\n"
                      "a file opened with 'rw'; 'rw' moves both.\n"
                      "\n"
                      "Raises ValueError for another mode, IOError when libsndfile cannot seek\n"
                      "there (before the start, beyond the end, a position kind the file was\n"
                      "not opened for) and RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("rewind", rewind,
                      "rewind($self, mode='rw')\n--\n\n"
                      "Moves the position selected by mode ('r', 'w' or 'rw') to the first\n"
                      "frame and returns the new position, 0. Raises ValueError for another\n"
                      "mode, IOError when libsndfile cannot seek, and RuntimeError on a closed\n"
                      "object."),
    ONDALIS_SF_METHOD("writeSync", write_sync,
                      "writeSync($self)\n--\n\n"
                      "Pushes the file's buffers to disk (does nothing for a file opened for\n"
                      "reading). Takes no arguments and returns None. Raises RuntimeError on a\n"
                      "closed object."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
