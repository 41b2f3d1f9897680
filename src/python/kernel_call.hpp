// quorvaline._native.KernelCall: the base class of the package's Kernel, whose calls run in C
// from the keywords straight to the engine (a Python __call__ would cost a frame per call).
#pragma once

#include <Python.h>

namespace qv::py {

// A class to extend, whose instances hold a KernelSpec as `_spec` and their argument names as
// `names`; calling one is __call__(*operands, out=None, **named), evaluate's rules over those
// operands (one mapping to look names up in, or operands in the order of `names`).
PyTypeObject* kernel_call_type();

}  // namespace qv::py
