// The whole-file check of the streaming module: a source decoded to its end,
// and the MD5 signature of a FLAC compared with its decoded audio.
#pragma once
#include <Python.h>

namespace ondalis::stream {

// check(source, format=0, channels=0, samplerate=0): a dict of the frames
// decoded, the frames announced (-1: unknown), libsndfile's reason for
// stopping early (None when it ended cleanly), a FLAC stream's STREAMINFO
// signature and the MD5 of its decoded audio (None for another format),
// libsndfile's log of the open, the format code and the channels.
PyObject* check_source(PyObject* module, PyObject* args, PyObject* kwargs);
// md5(data): the RFC 1321 digest of a bytes-like object (the one the check uses).
PyObject* md5_digest(PyObject* module, PyObject* data);

}  // namespace ondalis::stream
