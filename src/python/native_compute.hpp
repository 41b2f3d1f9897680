// The package's native face (quorvaline._native): NumPy arrays in and out of the engine
// without copies, thread control, and the module that holds them.
#pragma once

#include <Python.h>

#include "compiler/node_types.hpp"
#include "ir/kernel_spec.hpp"
#include "python/arg_frame.hpp"
#include "python/ref.hpp"

namespace qv::py {

// What NumPy refuses of a formula over its operands' types, raised as NumPy raises it.
[[noreturn]] void raise_refusal(const Refusal& refused);
// The same for the formula `holder` (an Expr or KernelSpec) refused, its OverflowError naming
// a Python int as the formula writes it.
[[noreturn]] void raise_refusal_of(PyObject* holder, const Refusal& refused);

// evaluate(kernel, operands, out=None, narrow=False): an Expr or KernelSpec over a dict of
// operands. Narrow: `out` may be of a storage type of the result's type (int8 of int32 ...),
// which the values are narrowed to as they are written, as NumPy's unsafe cast narrows.
QV_FASTCALL_FN(native_evaluate);
// What evaluate gives for `spec`, held by `holder` (a KernelSpec object keeps the compiled
// kernel; anything else does not), over the dict `operands`, into `out` unless null or None.
Ref evaluate_spec(PyObject* holder, const KernelSpec& spec, PyObject* operands, PyObject* out,
                  bool narrow = false);
// sum(array, start=-0.0), mean(array), min(array), max(array).
QV_FASTCALL_FN(native_sum);
QV_FASTCALL_FN(native_mean);
QV_FASTCALL_FN(native_min);
QV_FASTCALL_FN(native_max);

}  // namespace qv::py
