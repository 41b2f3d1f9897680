// The two factory classes: _KernelModule (the `kernel` object: expressions, kernels,
// reductions) and _RuntimeModule (the `rt` object: submission, channels, asarray).
#pragma once

#include <Python.h>

#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* kernel_module_type();
PyTypeObject* runtime_module_type();

// rt.go(spec, out=None).
QV_FASTCALL_FN(runtime_go);

}  // namespace qv::py
