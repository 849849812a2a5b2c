// The eleven metadata record classes: plain dataclasses whose fields mirror
// libsndfile's metadata structures. Each is defined from its description
// (record_classes.hpp) by running a class statement in the module namespace,
// which is what dataclass() needs.
#include <string>

#include "../capi/error.hpp"
#include "record_classes.hpp"
#include "records.hpp"

namespace ondalis {
namespace {

// @dataclass
// class <name>:
//     """<doc>"""
//     __module__ = '_ondalis'
//     <field>: '<type>'
//     ...
void append_class_statement(std::string& source, const records::RecordClass& record) {
  source += "@dataclass\nclass ";
  source += record.name;
  source += ":\n    \"\"\"";
  source += record.doc;
  source += "\"\"\"\n    __module__ = '_ondalis'\n";
  for (const records::Field& field : record.fields) {
    source += "    ";
    source += field.name;
    source += ": '";
    source += field.type;
    source += "'\n";
  }
  source += "\n";
}

}  // namespace

void bind_records(PyObject* module) {
  std::string source;
  for (const records::RecordClass* record : records::kAll) append_class_statement(source, *record);
  PyObject* ns = PyModule_GetDict(module);
  Ref result = check(PyRun_String(source.c_str(), Py_file_input, ns, ns));
}

}  // namespace ondalis
