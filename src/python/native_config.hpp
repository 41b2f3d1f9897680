// config(): what the engine chose when it loaded, for the package's show_config().
#pragma once

#include <Python.h>

#include "python/arg_frame.hpp"

namespace qv::py {

// config(): {"loop_set": str, "libm": {...}, "vector_libm": {"setting": str, "exp": {...},
// "log": {...}, "expf": {...}, "logf": {...}, "pow": {...}, "powf": {...},
// "sin": {...}, "cos": {...}}}.
QV_FASTCALL_FN(native_config);

}  // namespace qv::py
