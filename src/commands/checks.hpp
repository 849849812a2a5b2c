// The command handlers' side of result checking: each helper calls the
// module's checker function of the same name, looked up in the module
// namespace at each call (so rebinding a checker changes what handlers do).
#pragma once
#include <Python.h>

#include <cstdint>

#include "../capi/convert.hpp"
#include "../capi/module_ns.hpp"

namespace ondalis::commands {

// The plain failure of a command, {0} being its name.
inline constexpr const char* kCommandFailed = "Ondalis::error:: command {0} failed";

// The command id as libsndfile takes it.
inline int32_t command_id(PyObject* command) { return index_int32(command); }

// commands_id_to_name[command], for messages.
Ref command_name(PyObject* command);

// _check_command_retcode(ret, command)
void check_retcode(int ret, PyObject* command);
void check_retcode(PyObject* ret, PyObject* command);
// _check_command_retval(ret, command, failure); returns what the checker returns.
Ref check_retval(int ret, PyObject* command, int failure);
// _check_command_hybrid_retval(ret, command)
void check_hybrid_retval(int ret, PyObject* command);
// _check_char_range / _check_int16_range / _check_int32_range(value, command, field);
// each returns what the checker returns (the value itself when it is in range).
Ref check_char_range(PyObject* value, PyObject* command, const char* field);
Ref check_int16_range(PyObject* value, PyObject* command, const char* field);
Ref check_int32_range(PyObject* value, PyObject* command, const char* field);

}  // namespace ondalis::commands
