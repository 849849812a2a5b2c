// Entry point and initialisation of the extension module _ondalis
// (multi-phase initialisation: one create slot, one exec slot).
#define PY_ARRAY_UNIQUE_SYMBOL ondalis_ARRAY_API
#include "../capi/numpy.hpp"

#include "../capi/boundary.hpp"
#include "../capi/module_ns.hpp"
#include "../soundfile/object.hpp"
#include "catalogue.hpp"
#include "records.hpp"
#include "tables.hpp"

namespace ondalis {
namespace {

constexpr const char* kInterpreterChanged =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
constexpr const char* kReinitialised =
    "Module '_ondalis' has already been imported. Re-initialisation is not supported.";

int64_t recorded_interpreter = -1;

void copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                         bool skip_none) {
  Ref value = attr(spec, from);
  if (skip_none && value.get() == Py_None) return;
  check_status(PyObject_SetAttrString(module, to, value.get()));
}

Ref create(PyObject* spec) {
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) fail();
  if (recorded_interpreter == -1) recorded_interpreter = current;
  else if (recorded_interpreter != current) raise(PyExc_ImportError, kInterpreterChanged);
  if (module_ns::singleton() != nullptr) return Ref::borrow(module_ns::singleton());
  Ref name = attr(spec, "name");
  Ref module = check(PyModule_NewObject(name.get()));
  copy_spec_attribute(spec, module.get(), "loader", "__loader__", false);
  copy_spec_attribute(spec, module.get(), "origin", "__file__", false);
  copy_spec_attribute(spec, module.get(), "parent", "__package__", false);
  copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true);
  return module;
}

PyObject* create_slot(PyObject* spec, PyModuleDef*) {
  return guarded([&] { return create(spec); });
}

void warn_on_version_mismatch() {
  PyObject* version = PySys_GetObject("version_info");  // borrowed
  if (version == nullptr) raise(PyExc_RuntimeError, "sys.version_info is missing");
  long major = to_int32(check(PySequence_GetItem(version, 0)).get());
  long minor = to_int32(check(PySequence_GetItem(version, 1)).get());
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
  check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compile time Python version %d.%d of module '%.100s' %s runtime "
                                "version %d.%d",
                                PY_MAJOR_VERSION, PY_MINOR_VERSION, "_ondalis", "does not match",
                                static_cast<int>(major), static_cast<int>(minor)));
}

void bind(PyObject* module, const char* name, Ref value) {
  check_status(PyModule_AddObjectRef(module, name, value.get()));
}

void bind_imports(PyObject* module) {
  bind(module, "np", check(PyImport_ImportModule("numpy")));
  bind(module, "warnings", check(PyImport_ImportModule("warnings")));
  bind(module, "os", check(PyImport_ImportModule("os")));
  Ref dataclasses = check(PyImport_ImportModule("dataclasses"));
  bind(module, "dataclass", attr(dataclasses.get(), "dataclass"));
  Ref typing = check(PyImport_ImportModule("typing"));
  bind(module, "List", attr(typing.get(), "List"));
}

void fill_namespace(PyObject* module) {
  bind_imports(module);
  bind_version_function(module);
  bind_string_length_table(module);
  bind(module, "SF_MAX_CHANNELS", py_int(1024));
  bind_masks(module);
  bind_tables(module);
  bind_records(module);
  add_functions(module, checker_functions);
  bind_catalogue_functions(module);
  Ref np = ONDALIS_LOOKUP("np");
  set_read_default_dtype(attr(np.get(), "float64").get());
  bind_construct_format(module);
}

// The module calls itself _ondalis (its type and record classes live there),
// so that name must resolve to it also when it was imported as
// ondalis._ondalis; the record classes need it while they are created.
void register_short_name(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  Ref short_name = py_str("_ondalis");
  if (!contains(modules, short_name.get()))
    check_status(PyDict_SetItem(modules, short_name.get(), module));
}

// Statements run in the namespace need the builtins; put them with the
// module's other dunder entries, before the public names.
void bind_builtins(PyObject* module) {
  PyObject* ns = PyModule_GetDict(module);
  if (PyDict_GetItemString(ns, "__builtins__") == nullptr)
    check_status(PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()));
}

void execute(PyObject* module) {
  if (module_ns::singleton() == module) return;
  if (module_ns::singleton() != nullptr) raise(PyExc_RuntimeError, kReinitialised);
  module_ns::set_singleton(module);
  warn_on_version_mismatch();
  if (_import_array() < 0) fail();
  register_short_name(module);
  bind_builtins(module);
  if (!ready_type()) fail();
  check_status(PyModule_AddObjectRef(module, "Ondalis", reinterpret_cast<PyObject*>(&SoundFileType)));
  fill_namespace(module);
}

int exec_slot(PyObject* module) {
  Ref done = Ref::steal(guarded([&] {
    execute(module);
    return py_none();
  }));
  if (done) return 0;
  // A failed import leaves nothing behind: the next attempt starts afresh.
  if (module_ns::singleton() == module) {
    module_ns::set_singleton(nullptr);
    PreservedError pending;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, "_ondalis") == module)
      PyDict_DelItemString(modules, "_ondalis");
  }
  return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_ondalis", nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ondalis

PyMODINIT_FUNC PyInit__ondalis() { return PyModuleDef_Init(&ondalis::definition); }
