// Handlers for the commands that exchange one small fixed libsndfile
// structure: format descriptions, the current file information, dither
// settings and the position of an embedded file. Each converts between the
// structure and one record object.
#include <sndfile.h>

#include "../capi/args.hpp"
#include "../capi/boundary.hpp"
#include "../soundfile/object.hpp"
#include "checks.hpp"
#include "handlers.hpp"
#include "textfields.hpp"

namespace ondalis {
namespace {

static_assert(sizeof(SF_FORMAT_INFO) == 24);
static_assert(sizeof(SF_INFO) == 32);
static_assert(sizeof(SF_DITHER_INFO) == 24);
static_assert(sizeof(SF_EMBED_FILE_INFO) == 16);

using FormatInfo = commands::RecordKind<records::kFormatInfo>;
using Info = commands::RecordKind<records::kInfo>;
using DitherInfo = commands::RecordKind<records::kDitherInfo>;
using EmbedFileInfo = commands::RecordKind<records::kEmbedFileInfo>;

// sf_command(file, command, &info, sizeof info), whose answer is an error
// code; with the object's file, or none for a null `self`. The file is taken
// once the command id is converted: its __index__ may have closed the object.
template <class Info>
void exchange(SoundFile* self, PyObject* command, Info& info) {
  const int32_t id = commands::command_id(command);
  SNDFILE* file = self != nullptr ? open_file(self) : nullptr;
  commands::check_retcode(sf_command(file, id, &info, sizeof info), command);
}

// The structure a command fills for the open file.
template <class Info>
Info fetch(SoundFile* self, PyObject* command) {
  open_file(self);
  Info info{};
  exchange(self, command, info);
  return info;
}

// Sets record.<name> to the text libsndfile points at; a null pointer leaves
// the record's None. The text stays libsndfile's: it is copied, never freed.
void set_text(PyObject* record, PyObject* name, const char* text) {
  if (text == nullptr) return;
  Ref value = py_str(text);
  check_status(PyObject_SetAttr(record, name, value.get()));
}

Ref format_get(SoundFile*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_format_get_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  SF_FORMAT_INFO info{};
  info.format = index_int32(arg);
  // libsndfile answers format queries from its own tables, never from a file.
  exchange(nullptr, command, info);
  // An index given in `format` comes back replaced by the format code.
  Ref record = FormatInfo::build({py_int(info.format), py_none(), py_none()});
  set_text(record.get(), ONDALIS_FIELD(FormatInfo, "name"), info.name);
  set_text(record.get(), ONDALIS_FIELD(FormatInfo, "extension"), info.extension);
  return record;
}

Ref current_sf_info(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<0> params("_get_current_sf_info", 0);
  params.parse(args, nargs, kwnames);
  Ref command = py_int(SFC_GET_CURRENT_SF_INFO);
  auto info = fetch<SF_INFO>(self, command.get());
  return Info::build({py_int(info.frames), py_int(info.samplerate), py_int(info.channels),
                     py_int(info.format), py_int(info.sections), py_int(info.seekable)});
}

Ref dither_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_dither_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  auto info = fetch<SF_DITHER_INFO>(self, command);
  Ref record = DitherInfo::build({py_int(info.type), py_float(info.level), py_none()});
  set_text(record.get(), ONDALIS_FIELD(DitherInfo, "name"), info.name);
  return record;
}

Ref dither_set(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<2> params("_dither_set_command", 2, "command", "arg");
  auto [command, arg] = params.parse(args, nargs, kwnames);
  open_file(self);
  SF_DITHER_INFO info{};
  info.type = to_int32(attr(arg, ONDALIS_FIELD(DitherInfo, "type")).get());
  info.level = to_double(attr(arg, ONDALIS_FIELD(DitherInfo, "level")).get());
  // `encoded` owns the name's bytes until libsndfile has answered; a
  // bytearray is copied, as converting the command id may resize it.
  Ref encoded = check(PyBytes_FromObject(
      text::encode_utf8(attr(arg, ONDALIS_FIELD(DitherInfo, "name")).get()).get()));
  info.name = text::bytes_of(encoded.get()).data;
  exchange(self, command, info);
  return py_none();
}

Ref embed_get(SoundFile* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Params<1> params("_embed_get_command", 1, "command");
  auto [command] = params.parse(args, nargs, kwnames);
  auto info = fetch<SF_EMBED_FILE_INFO>(self, command);
  return EmbedFileInfo::build({py_int(info.offset), py_int(info.length)});
}

}  // namespace

PyMethodDef struct_methods[] = {
    ONDALIS_SF_METHOD("_format_get_command", format_get,
                      "_format_get_command($self, command, arg)\n--\n\n"
                      "Returns an SfFormatInfo describing a format libsndfile supports, chosen\n"
                      "by the index arg (SFC_GET_SIMPLE_FORMAT, SFC_GET_FORMAT_MAJOR,\n"
                      "SFC_GET_FORMAT_SUBTYPE) or by the format code arg (SFC_GET_FORMAT_INFO),\n"
                      "the command id being command. Needs no open file.\n"
                      "\n"
                      "Raises RuntimeError when libsndfile refuses the index or code; TypeError\n"
                      "or OverflowError for an arg that is not a 32-bit integer."),
    ONDALIS_SF_METHOD("_get_current_sf_info", current_sf_info,
                      "_get_current_sf_info($self)\n--\n\n"
                      "Returns libsndfile's current view of the file (SFC_GET_CURRENT_SF_INFO)\n"
                      "as an SfInfo, asked afresh on each call, so its frames count follows\n"
                      "writing. Takes no arguments. Raises RuntimeError when libsndfile fails\n"
                      "or on a closed object."),
    ONDALIS_SF_METHOD("_dither_get_command", dither_get,
                      "_dither_get_command($self, command)\n--\n\n"
                      "Returns the dither settings (the command id command,\n"
                      "SFC_GET_DITHER_INFO) as an SfDitherInfo. Raises RuntimeError when\n"
                      "libsndfile fails or on a closed object."),
    ONDALIS_SF_METHOD("_dither_set_command", dither_set,
                      "_dither_set_command($self, command, arg)\n--\n\n"
                      "Sends dither settings (the command id command, SFC_SET_DITHER_ON_WRITE\n"
                      "or SFC_SET_DITHER_ON_READ) read from arg.type, arg.level and arg.name (a\n"
                      "str); returns None. Raises AttributeError for a missing attribute or a\n"
                      "name that is not a str, and RuntimeError when libsndfile fails or on a\n"
                      "closed object."),
    ONDALIS_SF_METHOD("_embed_get_command", embed_get,
                      "_embed_get_command($self, command)\n--\n\n"
                      "Returns the offset and length of the audio within the file it is\n"
                      "embedded in (the command id command, SFC_GET_EMBED_FILE_INFO) as an\n"
                      "SfEmbedFileInfo. Raises RuntimeError when libsndfile fails or on a\n"
                      "closed object."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
