// The Expr class: an expression value built lazily by operators and kernel functions.
#pragma once

#include <Python.h>

#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* expr_type();

// The kernel object's expression functions (in the order of its method table).
QV_FASTCALL_FN(kernel_arg);
QV_FASTCALL_FN(kernel_args);
QV_FASTCALL_FN(kernel_sqrt);
QV_FASTCALL_FN(kernel_abs);
QV_FASTCALL_FN(kernel_log);
QV_FASTCALL_FN(kernel_exp);
QV_FASTCALL_FN(kernel_log2);
QV_FASTCALL_FN(kernel_log10);
QV_FASTCALL_FN(kernel_floor);
QV_FASTCALL_FN(kernel_ceil);
QV_FASTCALL_FN(kernel_round);
QV_FASTCALL_FN(kernel_sin);
QV_FASTCALL_FN(kernel_cos);
QV_FASTCALL_FN(kernel_tan);
QV_FASTCALL_FN(kernel_pow);
QV_FASTCALL_FN(kernel_atan2);
QV_FASTCALL_FN(kernel_min);
QV_FASTCALL_FN(kernel_max);
QV_FASTCALL_FN(kernel_where);

}  // namespace qv::py
