// Record objects for command results: the class is looked up in the module
// namespace at each use (rebinding SfInfo and the others changes what the
// handlers return) and called with keyword arguments only.
#pragma once
#include <Python.h>

#include <array>

#include "../capi/module_ns.hpp"

namespace ondalis::commands {

// One keyword argument of a record: the interned field name and its value.
struct Field {
  PyObject* name;
  Ref value;
};

// module.<class_name>(name=value, ...)
template <class... Fields>
Ref make_record(PyObject* class_name, Fields&&... fields) {
  Ref record_class = module_ns::lookup(class_name);
  Ref kwnames = check(PyTuple_Pack(sizeof...(Fields), fields.name...));
  std::array<PyObject*, sizeof...(Fields) + 1> vector{nullptr, fields.value.get()...};
  return check(PyObject_Vectorcall(record_class.get(), vector.data() + 1,
                                   PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

}  // namespace ondalis::commands
