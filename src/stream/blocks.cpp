// The block iterator: a file read once, in order, in blocks of `blocksize`
// frames that overlap by `overlap` frames, into new arrays or into one array
// the caller lends. Each iterator has its own mutex, so two threads sharing
// one take blocks in turn.
#include <memory>
#include <new>
#include <vector>

#include "../capi/boundary.hpp"
#include "blocks.hpp"
#include "frames.hpp"
#include "stream_ops.hpp"

namespace ondalis::stream {
namespace {

struct BlockState {
  OwnedMutex mutex;
  Ref stream;               // closed when the blocks run out; null once cleared
  sf_count_t left = -1;     // frames still to read; -1: to the end
  sf_count_t blocksize = 0;
  sf_count_t overlap = 0;
  int typenum = NPY_FLOAT64;
  bool two_d = false;
  // The lent array's memory, held from the first block to the end (the
  // blocks run out, close(), the iterator's end); null without one.
  std::unique_ptr<ExportedBuffer> out;
  bool fill = false;
  double fill_value = 0;
  std::vector<char> tail;   // the last `overlap` frames of the previous block
  bool done = false;
};

struct Blocks {
  PyObject_HEAD
  BlockState state;
};

Stream* stream_of(BlockState& b) { return reinterpret_cast<Stream*>(b.stream.get()); }

// The lent array, checked again before each block: numpy lets the holder of
// an export make the array read-only or give it another dtype or shape, and
// the memory must still be the one held.
PyArrayObject* lent_array(const BlockState& b, int channels) {
  PyArrayObject* array = checked_out(b.out->exporter(), channels);
  bool same = PyArray_TYPE(array) == b.typenum && PyArray_DIM(array, 0) == b.blocksize &&
              PyArray_DATA(array) == b.out->data() && PyArray_NBYTES(array) == b.out->size();
  if (!same) raise(PyExc_ValueError, "out changed its dtype, shape or memory between blocks");
  return array;
}

// The array the next block goes into: the lent one or a new one.
Ref block_array(BlockState& b, int channels) {
  if (b.out) return Ref::borrow(reinterpret_cast<PyObject*>(lent_array(b, channels)));
  return new_frames(b.blocksize, channels, b.typenum, b.two_d);
}

// Frames to read for the next block, after the kept tail.
sf_count_t wanted(const BlockState& b, sf_count_t kept) {
  sf_count_t n = b.blocksize - kept;
  return b.left >= 0 ? std::min(n, b.left) : n;
}

// The next block, or null when the file has given all its frames.
Ref next_block(BlockState& b) {
  Stream* stream = stream_of(b);
  int channels = stream->state.info.channels;
  std::size_t frame_bytes = static_cast<std::size_t>(channels) * item_size(b.typenum);
  sf_count_t kept = static_cast<sf_count_t>(b.tail.size() / frame_bytes);
  sf_count_t n = wanted(b, kept);
  if (n <= 0) return Ref();
  Ref array = block_array(b, channels);
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  char* data = static_cast<char*>(PyArray_DATA(a));
  copy_bytes(data, b.tail.data(), b.tail.size());
  sf_count_t got = read_into(stream, b.typenum, data + kept * frame_bytes, n);
  if (b.fill && b.left > got) {
    // Frames asked for past the end of the file are padded, as read() pads.
    fill_frames(a, kept + got, kept + n, channels, b.fill_value);
    got = n;
  }
  if (b.left >= 0) b.left -= got;
  if (got < n || b.left == 0) b.done = true;
  if (got == 0) return Ref();
  sf_count_t rows = kept + got;
  // A copy of our own: the caller may change the block before the next one.
  if (b.overlap > 0 && rows >= b.overlap)
    b.tail.assign(data + (rows - b.overlap) * frame_bytes, data + rows * frame_bytes);
  if (b.fill && rows < b.blocksize) {
    fill_frames(a, rows, b.blocksize, channels, b.fill_value);
    rows = b.blocksize;
  }
  if (b.out) return first_frames(a, rows);
  shrink(array, rows);
  return array;
}

// Stops the iterator (with its mutex held, so that no block is being read
// into the lent array): the array is given back, the file closed.
void stop(BlockState& b) {
  b.done = true;
  b.out.reset();
  if (b.stream) close_stream(stream_of(b));
}

Ref finish(BlockState& b) {
  stop(b);
  return Ref();
}

// The iterator's mutex, held for a scope; RuntimeError when this thread
// holds it already (a file object's read() that uses the iterator it feeds),
// which would otherwise wait for itself.
class Taken {
 public:
  explicit Taken(BlockState& b) : mutex_(b.mutex) {
    if (mutex_.held_here()) raise(PyExc_RuntimeError, "the block iterator is already running");
    lock_waiting_unlocked(mutex_);
  }
  ~Taken() { mutex_.unlock(); }
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;

 private:
  OwnedMutex& mutex_;
};

Ref iterate(Blocks* self) {
  BlockState& b = self->state;
  Taken taken(b);
  if (b.done && (!b.stream || stream_of(b)->state.file == nullptr)) return Ref();
  Ref block = b.done ? Ref() : next_block(b);
  if (!block) return finish(b);
  return block;
}

PyObject* blocks_next(PyObject* object) {
  return guarded([&] { return iterate(reinterpret_cast<Blocks*>(object)); });
}

BlockState& state_of(PyObject* object) { return reinterpret_cast<Blocks*>(object)->state; }

// Untracked first: dropping the stream may close it, run a file object's
// methods and with them the collector, which must not find this object.
void blocks_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  state_of(object).~BlockState();
  Py_TYPE(object)->tp_free(object);
}

int blocks_traverse(PyObject* object, visitproc visit, void* arg) {
  const BlockState& b = state_of(object);
  Py_VISIT(b.stream.get());
  return b.out ? b.out->traverse(visit, arg) : 0;
}

// Breaks a cycle through the iterator. Nothing outside the cycle reaches it,
// so no thread is taking a block; the stream, once its last reference goes
// (here or when the collector clears it), closes itself.
int blocks_clear(PyObject* object) {
  BlockState& b = state_of(object);
  b.done = true;
  b.out.reset();
  b.stream = Ref();
  return 0;
}

PyObject* blocks_close(PyObject* object, PyObject*) {
  return guarded([&] {
    BlockState& b = state_of(object);
    Taken taken(b);
    stop(b);
    return Ref::borrow(Py_None);
  });
}

PyMethodDef blocks_methods[] = {
    {"close", blocks_close, METH_NOARGS, "close($self, /)\n--\n\nStops and closes the file."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject BlocksType = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "ondalis._stream.Blocks";
  type.tp_basicsize = sizeof(Blocks);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = "An iterator over the blocks of a sound file.";
  type.tp_dealloc = blocks_dealloc;
  type.tp_traverse = blocks_traverse;
  type.tp_clear = blocks_clear;
  type.tp_iter = PyObject_SelfIter;
  type.tp_iternext = blocks_next;
  type.tp_methods = blocks_methods;
  return type;
}();

Ref make_blocks(Ref stream, const BlockSpec& spec) {
  Ref object = check(BlocksType.tp_alloc(&BlocksType, 0));
  auto* self = reinterpret_cast<Blocks*>(object.get());
  new (&self->state) BlockState();
  BlockState& b = self->state;
  b.stream = std::move(stream);
  b.left = spec.frames;
  b.blocksize = spec.blocksize;
  b.overlap = spec.overlap;
  b.typenum = spec.typenum;
  b.two_d = spec.two_d;
  if (spec.out != nullptr && spec.out != Py_None) {
    PyArrayObject* out = checked_out(spec.out, stream_of(b)->state.info.channels);
    b.out = std::make_unique<ExportedBuffer>(spec.out, kWritableBuffer);
    b.typenum = PyArray_TYPE(out);
    b.blocksize = PyArray_DIM(out, 0);
  }
  if (b.blocksize <= 0 || b.overlap < 0 || b.overlap >= b.blocksize)
    raise(PyExc_ValueError, "blocksize must be positive and overlap lie in [0, blocksize)");
  b.fill = spec.fill != nullptr && spec.fill != Py_None;
  if (b.fill) {
    b.fill_value = PyFloat_AsDouble(spec.fill);
    if (b.fill_value == -1.0 && PyErr_Occurred()) fail();
  }
  return object;
}

}  // namespace ondalis::stream
