// Methods whose text signature holds a default that inspect cannot evaluate
// (inspect.signature takes constants only: a default such as numpy.float64
// makes it raise ValueError).
#pragma once
#include <Python.h>

namespace ondalis {

// Replaces the method `name` of the ready type `type` with a descriptor that
// calls it unchanged (bound or unbound, with the same arguments and
// results) and that offers `__signature__`: the method's text signature
// compiled as a Python def, its defaults evaluated with numpy imported as
// `numpy`, on first use. Its `__doc__`, `__name__`, `__qualname__`,
// `__objclass__` and `__text_signature__` are the method's. False with a
// Python exception set on failure.
bool sign_method(PyTypeObject* type, const char* name);

}  // namespace ondalis
