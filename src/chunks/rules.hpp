// What libsndfile's chunk interface can be trusted with, shared by the
// streaming path (Stream.set_chunk) and the Ondalis object (set_chunk). Each
// limit below was measured on libsndfile 1.2; past it libsndfile does not
// refuse, it writes a broken file or corrupts its own heap, so these checks
// are the only guard.
#pragma once
#include <Python.h>
#include <sndfile.h>

#include <cstddef>
#include <string>

namespace ondalis::chunks {

// libsndfile keeps the chunks to write in an array of 20 entries and grows it
// wrongly: the 21st sf_set_chunk of a file writes past its allocation.
inline constexpr unsigned kMaxChunks = 20;

// libsndfile writes a header into a buffer that stops growing at 100 KiB
// and drops what does not fit without a word: one chunk of 51204 bytes, or two
// of 40000, make a file with no data chunk. 40 KiB for the chunks of a file
// together leaves room for the texts and records written beside them.
inline constexpr std::size_t kMaxChunkBytes = 40960;

// The chunks set on one file so far; all zero for a new file (a member of a
// Python object, zeroed with it by tp_alloc).
struct Budget {
  unsigned count;
  std::size_t bytes;
};

// How libsndfile stores a chunk of `size` bytes: padded with NULs to a
// multiple of 4 (the padded size is what the file then announces).
inline std::size_t stored_size(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

// A chunk id given from Python (str or bytes-like): exactly 4 printable
// ASCII characters, else ValueError (TypeError for another type).
std::string checked_id(PyObject* id);

// The chunk ids that libsndfile writes itself into files of `format` (their
// family: WAV, WAVEX and RF64 share one list, AIFF has its own), as one
// string of 4-byte ids; null when libsndfile cannot write chunks to the
// format at all.
const char* written_ids(int format);

// Why a chunk cannot be set, or none.
enum class Refusal { none, format, reading, after_frames, written_by_libsndfile, too_many, too_large };

// Sets chunk `id` of `size` bytes at `data` on the open `file` of `format`
// (opened for reading when `reading`) unless one of the limits above or the
// file's state forbids it; counts it in `budget` when libsndfile takes it
// (`status`: libsndfile's answer). No Python object is touched, so the
// streaming path runs it whole with the interpreter lock released and the
// stream's mutex held: the check and the count cannot be split by a thread.
Refusal set_checked(SNDFILE* file, int format, bool reading, const std::string& id,
                    const char* data, std::size_t size, Budget& budget, int& status);

// Raises the exception for a `refusal` (ValueError saying why) or a failing
// libsndfile `status` (OSError with its text); returns when both are fine.
void report(Refusal refusal, int status, const std::string& id, std::size_t size,
            const Budget& budget);

// {major format code: (family name, ids)} of the ids libsndfile writes
// itself, for every format it writes chunks to, for the package's convert
// (which carries every other chunk, and judges what was lost); a new dict.
PyObject* written_id_table();

}  // namespace ondalis::chunks
