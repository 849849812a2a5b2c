// Strings that reach the file only when libsndfile closes it.
//
// libsndfile writes a string set after the first frame (and any string of a
// file opened 'rw') in a chunk after the audio data when the file is closed,
// and the strings of a file that never got a frame with its header, also at
// close. A write that fails there (a full disk) is lost: sf_close still
// answers 0 (libsndfile 1.2.0, measured on a full 64 KiB tmpfs: close()
// succeeded, the file read back without its title). So close() reads the
// closed file back and raises OSError when a string type that libsndfile
// keeps in such a file is missing. What "keeps" means (WAV drops
// SF_STR_LICENSE, AIFF all but five types, FLAC refuses strings after frames)
// is measured on the same layout in memory. Only presence is compared: the
// texts need not read back as set (libsndfile appends its name to a software
// text, and its AIFF reader sometimes returns that text with stray bytes
// after it: measured with libsndfile 1.2.0, "... (libsndfile-1.2.0)$3)").
#pragma once
#include <sndfile.h>

#include <vector>

#include "object.hpp"

namespace ondalis::late_strings {

// Records what decides where libsndfile puts a string: call after a
// successful sf_set_string, and after frames were written.
void note_string(SoundFile* self, int id);
void note_frames(SoundFile* self);

// The string types (ids) that the closed file must read back.
using Expected = std::vector<int>;

// Before sf_close: the types set on the open file that a healthy close
// writes and libsndfile reads back (empty when none were set).
Expected expected_at_close(SoundFile* self);

// After sf_close: OSError naming the expected types that the file lacks.
// Files that cannot be read back (not a regular file, gone) are not checked.
void check_closed_file(SoundFile* self, const Expected& expected);

}  // namespace ondalis::late_strings
