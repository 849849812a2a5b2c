// What libsndfile reported about the open file, and the description text.
#include <sndfile.h>

#include <cstdio>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../capi/module_ns.hpp"
#include "object.hpp"

namespace ondalis {
namespace {

// A no-argument accessor of the open handle; A names it and reads the value.
template <class A>
Ref accessor(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params(A::name, 0);
  params.parse(args, nargs, kwnames);
  return A::read(open_handle(self));
}

// table[key] for one of the module's id-to-name tables, looked up now.
Ref table_name(PyObject* table_attr, int id) {
  Ref table = module_ns::lookup(table_attr);
  Ref key = py_int(id);
  return getitem(table.get(), key.get());
}

Ref major_format_of(int format) {
  return table_name(ONDALIS_NAME("fileformat_id_to_name"), format & SF_FORMAT_TYPEMASK);
}
Ref encoding_of(int format) {
  return table_name(ONDALIS_NAME("encoding_id_to_name"), format & SF_FORMAT_SUBMASK);
}

// The seekable flag libsndfile keeps for the file (it never changes after
// opening; SndfileHandle has no accessor for it).
int seekable_flag(SndfileHandle& h) {
  SF_INFO info{};
  sf_command(h.rawHandle(), SFC_GET_CURRENT_SF_INFO, &info, sizeof info);
  return info.seekable;
}

#define ONDALIS_ACCESSOR(Type, text, expr)                 \
  struct Type {                                            \
    static constexpr const char* name = text;              \
    static Ref read(SndfileHandle& h) { return expr; }     \
  };
ONDALIS_ACCESSOR(Frames, "frames", py_int(h.frames()))
ONDALIS_ACCESSOR(Format, "format", py_int(h.format()))
ONDALIS_ACCESSOR(Channels, "channels", py_int(h.channels()))
ONDALIS_ACCESSOR(Samplerate, "samplerate", py_int(h.samplerate()))
ONDALIS_ACCESSOR(Seekable, "seekable", py_int(seekable_flag(h)))
ONDALIS_ACCESSOR(Error, "error", py_int(sf_error(h.rawHandle())))
ONDALIS_ACCESSOR(StrError, "strError", py_bytes(sf_strerror(h.rawHandle())))
ONDALIS_ACCESSOR(MajorFormat, "major_format_str", major_format_of(h.format()))
ONDALIS_ACCESSOR(Encoding, "encoding_str", encoding_of(h.format()))
#undef ONDALIS_ACCESSOR

std::string printf_line(const char* fmt, long long value) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, fmt, value);
  return buffer;
}

Ref description(SoundFile* self) {
  if (!is_open(self)) return py_str("invalid sndfile");
  // Everything is taken from the handle first: the table lookups below run
  // Python code that may close the object.
  SndfileHandle& h = self->handle;
  const int channels = h.channels();
  const int samplerate = h.samplerate();
  const long long frames = h.frames();
  const int format = h.format();
  const int seekable = seekable_flag(h);
  Ref file_line =
      self->fd == -1
          ? check(PyUnicode_FromFormat("File        : %U",
                                       py_str(self->filename.data(), self->filename.size()).get()))
          : message_arg(printf_line("File        : %lld (opened by file descriptor)", self->fd));
  Ref major = major_format_of(format);
  Ref encoding = encoding_of(format);
  return check(PyUnicode_FromFormat(
      "----------------------------------------\n%U\nChannels    : %d\nSample rate : %d\n"
      "Frames      : %lld\nRaw Format  : %s\nFile format : %U\nEncoding    : %U\n"
      "Seekable    : %d\n",
      file_line.get(), channels, samplerate, frames,
      printf_line("0x%08llx", static_cast<unsigned>(format)).c_str(), major.get(),
      encoding.get(), seekable));
}

}  // namespace

PyObject* describe(PyObject* self) {
  return guarded([&] { return description(reinterpret_cast<SoundFile*>(self)); });
}

namespace {

const char* mode_text(int mode) {
  return mode == SFM_RDWR ? "rw" : mode == SFM_WRITE ? "w" : "r";
}

Ref representation(SoundFile* self) {
  if (!is_open(self)) return py_str("<Ondalis closed>");
  SndfileHandle& h = self->handle;
  Ref name = self->fd == -1
                 ? check(PyUnicode_FromFormat(
                       "%R", check(PyUnicode_DecodeFSDefaultAndSize(
                                 self->filename.data(),
                                 static_cast<Py_ssize_t>(self->filename.size())))
                                 .get()))
                 : check(PyUnicode_FromFormat("fd %d", self->fd));
  return check(PyUnicode_FromFormat("<Ondalis %U %s %d Hz %d ch %lld frames>", name.get(),
                                    mode_text(self->mode), h.samplerate(), h.channels(),
                                    static_cast<long long>(h.frames())));
}

}  // namespace

PyObject* represent(PyObject* self) {
  return guarded([&] { return representation(reinterpret_cast<SoundFile*>(self)); });
}

PyMethodDef info_methods[] = {
    ONDALIS_SF_METHOD("frames", accessor<Frames>,
                      "frames($self)\n--\n\n"
                      "Returns the number of frames, as libsndfile reported it when the file\n"
                      "was opened (not updated by writing). Takes no arguments. Raises\n"
                      "RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("format", accessor<Format>,
                      "format($self)\n--\n\n"
                      "Returns the libsndfile format code of the file (its major format,\n"
                      "encoding and endianness bits), as reported at opening. Takes no\n"
                      "arguments. Raises RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("channels", accessor<Channels>,
                      "channels($self)\n--\n\n"
                      "Returns the number of channels. Takes no arguments. Raises RuntimeError\n"
                      "on a closed object."),
    ONDALIS_SF_METHOD("samplerate", accessor<Samplerate>,
                      "samplerate($self)\n--\n\n"
                      "Returns the sample rate in Hz. Takes no arguments. Raises RuntimeError\n"
                      "on a closed object."),
    ONDALIS_SF_METHOD("seekable", accessor<Seekable>,
                      "seekable($self)\n--\n\n"
                      "Returns 1 when the file can seek, 0 otherwise (an int). Takes no\n"
                      "arguments. Raises RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("error", accessor<Error>,
                      "error($self)\n--\n\n"
                      "Returns libsndfile's current error number for the file, 0 when there is\n"
                      "none. Takes no arguments. Raises RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("strError", accessor<StrError>,
                      "strError($self)\n--\n\n"
                      "Returns libsndfile's current error text for the file, as bytes. Takes no\n"
                      "arguments. Raises RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("major_format_str", accessor<MajorFormat>,
                      "major_format_str($self)\n--\n\n"
                      "Returns the name of the file's major format, a key of\n"
                      "fileformat_name_to_id such as 'wav'. Takes no arguments. Raises KeyError\n"
                      "for a format the tables lack and RuntimeError on a closed object."),
    ONDALIS_SF_METHOD("encoding_str", accessor<Encoding>,
                      "encoding_str($self)\n--\n\n"
                      "Returns the name of the file's encoding, a key of encoding_name_to_id\n"
                      "such as 'pcm16'. Takes no arguments. Raises KeyError for an encoding the\n"
                      "tables lack and RuntimeError on a closed object."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
