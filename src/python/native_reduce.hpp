// Reductions along axes for the package's native face: a kernel's values over bound operands,
// reduced in one pass without their temporary.
#pragma once

#include <Python.h>

#include "python/arg_frame.hpp"

namespace qv::py {

// reduce(kernel, operands, op, axis=None, keepdims=False): the KernelSpec's values over the
// dict of operands, reduced by op ("sum", "prod", "min", "max", "mean") along axis (None for
// all, an int or a tuple of ints, negative from the end) into a new array.
QV_FASTCALL_FN(native_axis_reduce);

}  // namespace qv::py
