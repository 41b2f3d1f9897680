// Operands of the package's one-call functions: NumPy arrays read in place where they already
// are C-contiguous native float64, anything else NumPy turns into float64 without losing its
// meaning converted with one copy, numbers and 0-d arrays as scalars, Buffers as they are.
// All array operands share one shape or broadcast to it. Every refusal names the operand.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "ir/arg_value.hpp"
#include "python/numpy_api.hpp"

namespace qv::py {

// Memory an operand is read from in place, for the check of `out` against it.
struct InPlaceSpan {
    std::string name;
    const char* begin;
    const char* end;
};

struct BoundOperands {
    ArgValues values;                     // in the kernel's dense order
    std::vector<npy_intp> shape;          // the broadcast shape of the array operands
    std::vector<InPlaceSpan> in_place;    // arrays read where they are
};

// Binds `operands` (a dict from name to value) to the kernel arguments `names`, in that
// order. ValueError "missing arg: y" / "unexpected args: z" as the engine words them; the
// engine's "no buffer arguments provided" when no operand is an array. Holds references to
// every array it reads, released with the values (under the interpreter lock).
BoundOperands bind_operands(std::span<const std::string> names, PyObject* operands);

// One operand alone (reductions): any shape, read in C order. Numbers are one element.
BufferRef bind_single(const char* name, PyObject* value);

// "(3,)", "(2, 3)", "()": a shape as NumPy writes it.
std::string shape_text(std::span<const npy_intp> shape);

}  // namespace qv::py
