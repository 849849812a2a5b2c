// Positional/keyword argument parsing with the module's documented messages:
//   "f() takes exactly|at most|at least N positional argument(s) (M given)"
//   "f() got multiple values for keyword argument 'x'"
//   "f() got an unexpected keyword argument 'x'"
//   "f() takes no keyword arguments"
// Works on vectorcall arguments (args, nargs, kwnames) and on the tuple/dict
// pair of tp_new. The parsed values are borrowed references, null for an
// optional parameter the caller left out.
#pragma once
#include <Python.h>

#include <array>
#include <cstddef>

#include "error.hpp"
#include "names.hpp"

namespace ondalis {

struct ParamSpec {
  const char* function;       // name shown in messages
  const char* const* names;   // parameter names, in order
  Py_ssize_t count;           // number of parameters
  Py_ssize_t required;        // the first `required` parameters are required
  bool ignore_extra;          // accept and ignore surplus arguments
  PyObject** interned;        // lazily interned copies of `names`
};

void parse_vector(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out);
void parse_tuple(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// A parameter list of N names; declare one as a function-local static.
template <std::size_t N>
class Params {
 public:
  template <class... Names>
  constexpr Params(const char* function, Py_ssize_t required, Names... names)
      : names_{names...}, function_(function), required_(required) {}

  Params& ignoring_extra() {
    ignore_extra_ = true;
    return *this;
  }

  std::array<PyObject*, N> parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    if (kwnames == nullptr && nargs >= required_ && nargs <= static_cast<Py_ssize_t>(N)) {
      // Fast path: positional arguments only, count in range.
      for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
      return out;
    }
    parse_vector(spec(), args, nargs, kwnames, out.data());
    return out;
  }

  std::array<PyObject*, N> parse(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> out{};
    parse_tuple(spec(), args, kwargs, out.data());
    return out;
  }

 private:
  ParamSpec spec() {
    return ParamSpec{function_, names_.data(), static_cast<Py_ssize_t>(N), required_,
                     ignore_extra_, interned_.data()};
  }
  std::array<const char*, N == 0 ? 1 : N> names_;
  std::array<PyObject*, N == 0 ? 1 : N> interned_{};
  const char* function_;
  Py_ssize_t required_;
  bool ignore_extra_ = false;
};

// The value of an optional parameter, or `fallback` when it was left out.
inline PyObject* or_default(PyObject* value, PyObject* fallback) {
  return value != nullptr ? value : fallback;
}

}  // namespace ondalis
