// The chunks of a stream's file. libsndfile lists the chunks it met while
// reading the header; nothing it reports is trusted: an id is at most the 64
// bytes of its field, and a chunk is read into a buffer that doubles up to the
// size the file announces, so a size that claims more than the file holds
// never sizes a buffer beyond twice what is there, and is reported.
#include "chunks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../capi/boundary.hpp"
#include "../chunks/rules.hpp"
#include "stream.hpp"

namespace ondalis::stream {
namespace {

// One chunk as libsndfile reports it.
struct Found {
  std::string id;           // empty when libsndfile cannot tell it (see describe)
  uint32_t size = 0;        // as the file announces it
  std::vector<char> data;   // read by read_chunk
  bool complete = true;     // whether the file held `size` bytes
  int status = 0;           // libsndfile's answer to the last read
};

// The id and size of the chunk at `it`, on a file read through virtual I/O
// when `virtual_io`; `wanted` is the id iterated over (empty: all).
// sf_get_chunk_size leaves the id unset; sf_get_chunk_data fills it, reading
// at most one byte here. Through virtual I/O libsndfile divides by the
// bytes it reads, so an empty chunk there is never asked for data: its id is
// the one iterated over, or stays unknown.
bool describe(SF_CHUNK_ITERATOR* it, Found& found, const std::string& wanted, bool virtual_io) {
  SF_CHUNK_INFO info{};
  if (sf_get_chunk_size(it, &info) != 0) return false;
  found.size = info.datalen;
  found.id = wanted;
  if (found.size == 0 && virtual_io) return true;
  char first = 0;
  SF_CHUNK_INFO named{};
  named.data = &first;
  named.datalen = found.size == 0 ? 0 : 1;
  if (sf_get_chunk_data(it, &named) != 0) return false;
  found.id.assign(named.id, std::min<std::size_t>(named.id_size, sizeof named.id));
  return true;
}

// The first `n` bytes of the chunk at `it`; false when the file ends first
// or libsndfile fails. libsndfile does not say how much it read: a byte it
// did not read keeps the buffer's fill, so the last byte is checked under a
// fill of 0 and, when it reads 0, again under 0xff.
bool read_prefix(SF_CHUNK_ITERATOR* it, Found& found, std::size_t n) {
  for (char fill : {'\0', '\xff'}) {
    found.data.assign(n, fill);
    SF_CHUNK_INFO info{};
    info.datalen = static_cast<unsigned>(n);  // never more than the uint32_t size
    info.data = found.data.data();
    found.status = sf_get_chunk_data(it, &info);
    if (found.status != 0) return false;
    if (n == 0 || found.data[n - 1] != fill) return true;
  }
  return false;
}

constexpr std::size_t kFirstRead = 1 << 16;

void read_chunk(SF_CHUNK_ITERATOR* it, Found& found) {
  if (found.size == 0) return;  // nothing to read (and see describe)
  std::size_t n = std::min<std::size_t>(found.size, kFirstRead);
  while (read_prefix(it, found, n)) {
    if (n == found.size) return;
    n = std::min<std::size_t>(found.size, 2 * n);
  }
  found.complete = false;
}

// Every chunk of `id` (every chunk when empty), read when `with_data`, on a
// file read through virtual I/O when `virtual_io`. The
// iterators are libsndfile's own, freed with the file.
std::vector<Found> collect(SNDFILE* f, const std::string& id, bool with_data, bool virtual_io) {
  SF_CHUNK_INFO query{};
  std::memcpy(query.id, id.data(), std::min(id.size(), sizeof query.id));
  query.id_size = static_cast<unsigned>(id.size());
  std::vector<Found> all;
  for (SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(f, id.empty() ? nullptr : &query);
       it != nullptr; it = sf_next_chunk_iterator(it)) {
    Found found;
    if (!describe(it, found, id, virtual_io)) continue;
    if (with_data) read_chunk(it, found);
    bool unreadable = !found.complete || found.status != 0;
    all.push_back(std::move(found));
    if (unreadable) break;
  }
  return all;
}

Stream* as_stream(PyObject* object) { return reinterpret_cast<Stream*>(object); }

// An id as Python shows it: ASCII, any other byte as a lone surrogate (as
// os.fsdecode shows a file name that is not UTF-8).
Ref id_text(const std::string& id) {
  return check(PyUnicode_DecodeASCII(id.data(), static_cast<Py_ssize_t>(id.size()),
                                     "surrogateescape"));
}

void append(Ref& list, Ref value) { check_status(PyList_Append(list.get(), value.get())); }

[[noreturn]] void raise_unreadable(Stream* self, const Found& found) {
  if (found.status != 0)
    PyErr_Format(PyExc_OSError, "cannot read the '%s' chunk of %U: %s", found.id.c_str(),
                 self->state.label.get(), number_reason(found.status).c_str());
  else
    PyErr_Format(PyExc_OSError,
                 "the '%s' chunk of %U claims %u bytes, more than the file holds",
                 found.id.c_str(), self->state.label.get(), found.size);
  fail();
}

}  // namespace

PyObject* stream_chunks(PyObject* object, PyObject*) {
  return guarded([&] {
    Stream* self = as_stream(object);
    bool virtual_io = self->state.io != nullptr;
    std::vector<Found> all =
        with_file(self, [&](SNDFILE* f) { return collect(f, "", false, virtual_io); });
    Ref list = check(PyList_New(0));
    for (const Found& found : all) {
      Ref size = check(PyLong_FromUnsignedLong(found.size));
      Ref id = found.id.empty() ? Ref::borrow(Py_None) : id_text(found.id);
      Ref pair = check(PyTuple_Pack(2, id.get(), size.get()));
      append(list, std::move(pair));
    }
    return list;
  });
}

PyObject* stream_chunk_data(PyObject* object, PyObject* id) {
  return guarded([&] {
    Stream* self = as_stream(object);
    std::string wanted = chunks::checked_id(id);
    // libsndfile reads a chunk's bytes by seeking back to them.
    if (!self->state.info.seekable)
      raise(PyExc_ValueError, "cannot read a chunk's bytes from a stream that cannot seek");
    bool virtual_io = self->state.io != nullptr;
    std::vector<Found> all =
        with_file(self, [&](SNDFILE* f) { return collect(f, wanted, true, virtual_io); });
    Ref list = check(PyList_New(0));
    for (const Found& found : all) {
      if (!found.complete || found.status != 0) raise_unreadable(self, found);
      append(list, check(PyBytes_FromStringAndSize(found.data.data(),
                                                   static_cast<Py_ssize_t>(found.data.size()))));
    }
    return list;
  });
}

PyObject* stream_set_chunk(PyObject* object, PyObject* args) {
  PyObject *id, *data;
  if (!PyArg_ParseTuple(args, "OO:set_chunk", &id, &data)) return nullptr;
  return guarded([&] {
    Stream* self = as_stream(object);
    StreamState& s = self->state;
    std::string name = chunks::checked_id(id);
    ExportedBuffer bytes(data);
    auto size = static_cast<std::size_t>(bytes.size());
    int status = 0;
    chunks::Refusal refusal = with_file(self, [&](SNDFILE* f) {
      return chunks::set_checked(f, s.info.format, s.mode == SFM_READ, name, bytes.data(),
                                 size, s.chunk_budget, status);
    });
    chunks::report(refusal, status, name, size, s.chunk_budget);
    return Ref::borrow(Py_None);
  });
}

}  // namespace ondalis::stream
