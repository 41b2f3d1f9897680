// The package's native face (quorvaline._native): NumPy arrays in and out of the engine
// without copies, thread control, and the module that holds them.
#pragma once

#include <Python.h>

#include "python/arg_frame.hpp"

namespace qv::py {

// evaluate(kernel, operands, out=None): an Expr or KernelSpec over a dict of operands.
QV_FASTCALL_FN(native_evaluate);
// sum(array, start=-0.0), mean(array), min(array), max(array).
QV_FASTCALL_FN(native_sum);
QV_FASTCALL_FN(native_mean);
QV_FASTCALL_FN(native_min);
QV_FASTCALL_FN(native_max);

}  // namespace qv::py
