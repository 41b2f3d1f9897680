// Engine errors into Python exceptions: the general conversion (RuntimeError with the
// Display text) and the result conversion used by TaskHandle.result().
#pragma once

#include <Python.h>

#include <string>

#include "core/engine_error.hpp"

namespace qv::py {

// Sets `type` with the whole message, NUL characters included (PyErr_SetString would stop
// at the first), and throws PythonErrorSet.
[[noreturn]] void raise_message(PyObject* type, const std::string& message);

// RuntimeError(display text). Sets it and throws PythonErrorSet.
[[noreturn]] void raise_general(EngineError error);

// TypeError / ValueError / RuntimeError with the unprefixed message. Sets it and throws.
[[noreturn]] void raise_result(EngineError error);

// A Python API call that must not fail did: print the pending error to standard error and
// end the call as the internal fault "Python API call failed". A MemoryError is raised as
// it is instead.
[[noreturn]] void python_api_failed();

}  // namespace qv::py
