// The checks of rules.hpp, and the ids libsndfile writes itself.
#include "rules.hpp"

#include <cstring>
#include <string_view>

#include "../capi/error.hpp"
#include "../capi/ref.hpp"

namespace ondalis::chunks {
namespace {

// The chunks libsndfile writes itself, from the format and the metadata it
// is given (texts, cue points, instrument, broadcast extension, cart, channel
// map, peak), for each family of formats it can add chunks to. Found by
// writing a file of each format with every text and record libsndfile takes
// (and float samples, for PEAK) and listing its chunks; tests/test_chunks.py
// does the same and checks that nothing outside these lists appears. A chunk
// of one of these ids carried from another file would be written twice (a
// second fmt chunk makes a WAV that libsndfile no longer opens), so set_chunk
// refuses them and convert carries only the others.
struct Family {
  const char* name;
  const char* ids;  // 4-byte ids, one after the other
  int majors[3];    // the major formats of the family (0: none)
};

constexpr Family kFamilies[] = {
    {"riff", "RIFFRF64WAVEds64fmt factdataPEAKLISTbextcartcue smplJUNK",
     {SF_FORMAT_WAV, SF_FORMAT_WAVEX, SF_FORMAT_RF64}},
    {"aiff", "FORMAIFFAIFCFVERCOMMSSNDMARKINSTNAMEAUTH(c) ANNOCOMTAPPLPEAKchanbasc",
     {SF_FORMAT_AIFF, 0, 0}},
};

const Family* family_of(int format) {
  int major = format & SF_FORMAT_TYPEMASK;
  for (const Family& family : kFamilies)
    for (int m : family.majors)
      if (m != 0 && m == major) return &family;
  return nullptr;
}

bool listed(const char* ids, const std::string& id) {
  for (std::string_view all(ids); !all.empty(); all.remove_prefix(4))
    if (all.substr(0, 4) == id) return true;
  return false;
}

bool printable_ascii(std::string_view id) {
  for (char c : id)
    if (c < 0x20 || c > 0x7e) return false;
  return id.size() == 4;
}

}  // namespace

std::string checked_id(PyObject* id) {
  std::string text;
  if (PyUnicode_Check(id)) {
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(id, &n);
    if (utf8 == nullptr) fail();
    text.assign(utf8, static_cast<std::size_t>(n));
  } else if (PyBytes_Check(id) || PyByteArray_Check(id)) {
    Ref bytes = check(PyBytes_FromObject(id));
    text.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  } else {
    PyErr_Format(PyExc_TypeError, "a chunk id must be str or bytes, not %s", Py_TYPE(id)->tp_name);
    fail();
  }
  if (!printable_ascii(text)) {
    PyErr_Format(PyExc_ValueError, "a chunk id is 4 printable ASCII characters, not %R", id);
    fail();
  }
  return text;
}

const char* written_ids(int format) {
  const Family* family = family_of(format);
  return family == nullptr ? nullptr : family->ids;
}

namespace {

// The frames the open file holds, written so far or found in it.
sf_count_t frames_held(SNDFILE* file) {
  SF_INFO now{};
  if (sf_command(file, SFC_GET_CURRENT_SF_INFO, &now, sizeof now) != 0) return 0;
  return now.frames;
}

Refusal refusal(int format, bool reading, sf_count_t frames, const std::string& id,
                std::size_t size, const Budget& budget) {
  const char* reserved = written_ids(format);
  if (reserved == nullptr) return Refusal::format;
  if (reading) return Refusal::reading;
  // libsndfile does not refuse a chunk set after frames: it grows the header
  // over the audio already written.
  if (frames > 0) return Refusal::after_frames;
  if (listed(reserved, id)) return Refusal::written_by_libsndfile;
  if (budget.count >= kMaxChunks) return Refusal::too_many;
  if (size > kMaxChunkBytes || stored_size(size) + budget.bytes > kMaxChunkBytes)
    return Refusal::too_large;
  return Refusal::none;
}

int store(SNDFILE* file, const std::string& id, const char* data, std::size_t size) {
  SF_CHUNK_INFO info{};
  std::memcpy(info.id, id.data(), id.size());
  info.id_size = static_cast<unsigned>(id.size());
  info.datalen = static_cast<unsigned>(size);  // at most kMaxChunkBytes, checked
  // libsndfile copies the bytes at once; it wants a pointer even for none.
  static const char kEmpty = 0;
  info.data = const_cast<char*>(size == 0 ? &kEmpty : data);
  return sf_set_chunk(file, &info);
}

}  // namespace

Refusal set_checked(SNDFILE* file, int format, bool reading, const std::string& id,
                    const char* data, std::size_t size, Budget& budget, int& status) {
  status = 0;
  Refusal found = refusal(format, reading, frames_held(file), id, size, budget);
  if (found != Refusal::none) return found;
  status = store(file, id, data, size);
  if (status == 0) {
    budget.count += 1;
    budget.bytes += stored_size(size);
  }
  return Refusal::none;
}

void report(Refusal refusal, int status, const std::string& id, std::size_t size,
            const Budget& budget) {
  switch (refusal) {
    case Refusal::none:
      break;
    case Refusal::format:
      raise(PyExc_ValueError, "libsndfile writes chunks only to WAV, WAVEX, RF64 and AIFF files");
    case Refusal::reading:
      raise(PyExc_ValueError, "cannot set a chunk: the file is open for reading");
    case Refusal::after_frames:
      raise(PyExc_ValueError,
            "cannot set a chunk after audio frames: libsndfile takes chunks only before the "
            "first frame is written (it does not refuse later ones, it writes them over the "
            "audio)");
    case Refusal::written_by_libsndfile:
      PyErr_Format(PyExc_ValueError,
                   "libsndfile writes the '%s' chunk itself (from the format and the "
                   "metadata): it cannot be set", id.c_str());
      fail();
    case Refusal::too_many:
      PyErr_Format(PyExc_ValueError, "a file takes at most %u chunks (libsndfile's limit)",
                   kMaxChunks);
      fail();
    case Refusal::too_large:
      PyErr_Format(PyExc_ValueError,
                   "the chunks of a file take at most %zu bytes together (libsndfile's header "
                   "room): '%s' of %zu bytes does not fit beside the %zu already set",
                   kMaxChunkBytes, id.c_str(), size, budget.bytes);
      fail();
  }
  if (status != 0) {
    PyErr_Format(PyExc_OSError, "libsndfile refused the '%s' chunk: %s", id.c_str(),
                 sf_error_number(status));
    fail();
  }
}

PyObject* written_id_table() {
  Ref table = check(PyDict_New());
  for (const Family& family : kFamilies) {
    Ref ids = check(PyList_New(0));
    for (std::string_view all(family.ids); !all.empty(); all.remove_prefix(4)) {
      Ref id = check(PyUnicode_FromStringAndSize(all.data(), 4));
      check_status(PyList_Append(ids.get(), id.get()));
    }
    Ref frozen = check(PyList_AsTuple(ids.get()));
    Ref entry = check(Py_BuildValue("(sO)", family.name, frozen.get()));
    for (int major : family.majors) {
      if (major == 0) continue;
      Ref key = check(PyLong_FromLong(major));
      check_status(PyDict_SetItem(table.get(), key.get(), entry.get()));
    }
  }
  return table.release();
}

}  // namespace ondalis::chunks
