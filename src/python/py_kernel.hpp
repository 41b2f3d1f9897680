// The two factory classes: _KernelModule (the `kernel` object: expressions, kernels,
// reductions) and _RuntimeModule (the `rt` object: submission, channels, asarray).
#pragma once

#include <Python.h>

namespace qv::py {

PyTypeObject* kernel_module_type();
PyTypeObject* runtime_module_type();

}  // namespace qv::py
