#include "signed_method.hpp"

#include <cstddef>
#include <string>

#include "boundary.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace ondalis {
namespace {

struct SignedMethod {
  PyObject_HEAD
  PyObject* method;     // the method_descriptor it calls
  PyObject* signature;  // inspect.Signature, made on first use (or null)
  vectorcallfunc vectorcall;
};

SignedMethod* as_signed(PyObject* o) { return reinterpret_cast<SignedMethod*>(o); }

PyObject* call_method(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return PyObject_Vectorcall(as_signed(self)->method, args, nargsf, kwnames);
}

// Looked up through an instance, it is bound to it as a Python method
// (whose signature inspect takes from this one, less `self`); through the
// class, it is itself.
PyObject* descriptor_get(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

// "($self, a=1, b=numpy.float64)" as a def with `self` positional-only.
std::string definition(const std::string& text) {
  const std::string bound = "($self";
  std::string parameters = text;
  if (parameters.compare(0, bound.size(), bound) == 0) {
    std::string rest = parameters.substr(bound.size());
    parameters = "(self, /" + rest;
    if (rest.rfind(", /", 0) == 0) parameters = "(self" + rest;
  }
  return "def method" + parameters + ": pass\n";
}

Ref make_signature(PyObject* method) {
  Ref text = check(PyObject_GetAttrString(method, "__text_signature__"));
  if (!PyUnicode_Check(text.get())) raise(PyExc_ValueError, "the method has no text signature");
  Ref namespace_ = check(PyDict_New());
  Ref numpy = check(PyImport_ImportModule("numpy"));
  check_status(PyDict_SetItemString(namespace_.get(), "numpy", numpy.get()));
  check_status(PyDict_SetItemString(namespace_.get(), "__builtins__", PyEval_GetBuiltins()));
  std::string code = definition(PyUnicode_AsUTF8(text.get()));
  check(PyRun_String(code.c_str(), Py_file_input, namespace_.get(), namespace_.get()));
  PyObject* function = PyDict_GetItemString(namespace_.get(), "method");  // borrowed
  if (function == nullptr) raise(PyExc_ValueError, "the text signature does not compile");
  Ref inspect = check(PyImport_ImportModule("inspect"));
  return check(PyObject_CallMethod(inspect.get(), "signature", "O", function));
}

PyObject* get_signature(PyObject* self, void*) {
  return guarded([&] {
    SignedMethod* s = as_signed(self);
    if (s->signature == nullptr) {
      // Making it runs Python code, during which another thread may make
      // and keep one first: the first kept is the one.
      Ref made = make_signature(s->method);
      if (s->signature == nullptr) s->signature = made.release();
    }
    return Ref::borrow(s->signature);
  });
}

PyObject* forwarded(PyObject* self, void* name) {
  return PyObject_GetAttrString(as_signed(self)->method, static_cast<const char*>(name));
}

PyGetSetDef getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__doc__", forwarded, nullptr, nullptr, const_cast<char*>("__doc__")},
    {"__name__", forwarded, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", forwarded, nullptr, nullptr, const_cast<char*>("__qualname__")},
    {"__objclass__", forwarded, nullptr, nullptr, const_cast<char*>("__objclass__")},
    {"__text_signature__", forwarded, nullptr, nullptr, const_cast<char*>("__text_signature__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void dealloc(PyObject* self) {
  Py_XDECREF(as_signed(self)->method);
  Py_XDECREF(as_signed(self)->signature);
  PyObject_Free(self);
}

PyObject* represent(PyObject* self) { return PyObject_Repr(as_signed(self)->method); }

PyTypeObject SignedMethodType = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "ondalis.signed_method_descriptor";
  type.tp_basicsize = sizeof(SignedMethod);
  // A method descriptor to the interpreter: a call through an instance
  // passes the instance first, without making a bound method.
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_vectorcall_offset = offsetof(SignedMethod, vectorcall);
  type.tp_call = PyVectorcall_Call;
  type.tp_descr_get = descriptor_get;
  type.tp_dealloc = dealloc;
  type.tp_getset = getset;
  type.tp_repr = represent;
  return type;
}();

}  // namespace

bool sign_method(PyTypeObject* type, const char* name) {
  if (!(SignedMethodType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&SignedMethodType) < 0)
    return false;
  PyObject* method = PyDict_GetItemString(type->tp_dict, name);  // borrowed
  if (method == nullptr) {
    PyErr_Format(PyExc_AttributeError, "%s has no method %s", type->tp_name, name);
    return false;
  }
  auto* signed_method = PyObject_New(SignedMethod, &SignedMethodType);
  if (signed_method == nullptr) return false;
  signed_method->method = Py_NewRef(method);
  signed_method->signature = nullptr;
  signed_method->vectorcall = call_method;
  Ref owned = Ref::steal(reinterpret_cast<PyObject*>(signed_method));
  if (PyDict_SetItemString(type->tp_dict, name, owned.get()) < 0) return false;
  PyType_Modified(type);
  return true;
}

}  // namespace ondalis
