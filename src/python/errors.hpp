// Engine errors into Python exceptions: the general conversion (RuntimeError with the
// Display text) and the result conversion used by TaskHandle.result().
#pragma once

#include "core/engine_error.hpp"

namespace qv::py {

// RuntimeError(display text). Sets it and throws PythonErrorSet.
[[noreturn]] void raise_general(EngineError error);

// TypeError / ValueError / RuntimeError with the unprefixed message. Sets it and throws.
[[noreturn]] void raise_result(EngineError error);

// A Python API call that must not fail did: print the pending error to standard error and
// end the call as the internal fault "Python API call failed".
[[noreturn]] void python_api_failed();

}  // namespace qv::py
