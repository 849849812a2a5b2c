// Ondalis.set_chunk: a chunk added to a file being written, through
// libsndfile's chunk interface, with the checks the streaming path makes
// (src/chunks/rules.hpp). A method of ours, outside the command table.
#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../chunks/rules.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

Ref set_chunk(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("set_chunk", 2, "id", "data");
  auto [id, data] = params.parse(args, nargs, kwnames);
  std::string name = chunks::checked_id(id);
  if (!PyObject_CheckBuffer(data)) {
    PyErr_Format(PyExc_TypeError, "chunk data must be bytes-like, not %s",
                 Py_TYPE(data)->tp_name);
    fail();
  }
  Ref bytes = check(PyBytes_FromObject(data));
  // The conversions ran no Python code of the caller's, but take the file now.
  SNDFILE* file = open_file(self);
  auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()));
  int status = 0;
  // The object does not know its mode: a file opened for reading holds
  // frames (refused as such) or is refused by libsndfile.
  chunks::Refusal refusal =
      chunks::set_checked(file, self->handle.format(), false, name,
                          PyBytes_AS_STRING(bytes.get()), size, self->chunk_budget, status);
  chunks::report(refusal, status, name, size, self->chunk_budget);
  return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef chunk_methods[] = {
    ONDALIS_SF_METHOD("set_chunk", set_chunk,
                      "set_chunk($self, id, data)\n--\n\n"
                      "Adds a chunk to a file opened for writing, before its first frame is\n"
                      "written: id is 4 printable ASCII characters (str or bytes), data is\n"
                      "bytes-like. libsndfile writes chunks to WAV, WAVEX, RF64 and AIFF\n"
                      "files, pads each with NULs to a multiple of 4 bytes, and writes the\n"
                      "chunks that carry the format and metadata (fmt, data, LIST, bext, ...)\n"
                      "itself. Raises ValueError for a bad id, another format, a chunk\n"
                      "libsndfile writes itself, a chunk after frames, more than 20 chunks or\n"
                      "more than 40960 bytes of chunks in one file; OSError when libsndfile\n"
                      "refuses it; RuntimeError on a closed object. Returns None."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
