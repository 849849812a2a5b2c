// The block iterator over a stream.
#pragma once
#include <Python.h>
#include <sndfile.h>

#include "../capi/ref.hpp"

namespace ondalis::stream {

struct BlockSpec {
  sf_count_t blocksize;
  sf_count_t overlap;
  sf_count_t frames;  // frames to read in all; -1: to the end
  int typenum;
  bool two_d;
  PyObject* out;      // an array to reuse for every block, or null/None
  PyObject* fill;     // a number that pads the last block, or null/None
};

extern PyTypeObject BlocksType;

// An iterator that owns `stream` (positioned at the first frame) and closes
// it after the last block.
Ref make_blocks(Ref stream, const BlockSpec& spec);

}  // namespace ondalis::stream
