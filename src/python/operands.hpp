// Operands of the package's one-call functions: NumPy arrays read in place where they already
// are C-contiguous native float64 (or float32, when the caller computes in the operands' own
// types), anything else NumPy turns into float64 without losing its meaning converted with one
// copy, numbers and 0-d arrays as scalars, Buffers as they are.
// All array operands share one shape or broadcast to it. Every refusal names the operand.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ir/arg_value.hpp"
#include "ir/flat.hpp"
#include "python/numpy_api.hpp"
#include "python/ref.hpp"

namespace qv::py {

// Memory an operand is read from in place, for the check of `out` against it.
struct InPlaceSpan {
    std::string_view name;  // one of the names bound
    const char* begin;
    const char* end;
};

// Views of the operands for the engine, and what keeps their memory alive: the arrays (the
// caller's or copies) and the Buffers. Its storage comes from the arena given to
// bind_operands, so a call over a few operands allocates nothing for it.
struct BoundOperands {
    explicit BoundOperands(std::pmr::memory_resource* arena)
        : views(arena), arrays(arena), buffers(arena), shape(arena), in_place(arena) {}

    std::pmr::vector<ArgView> views;  // in the kernel's dense order
    std::pmr::vector<Ref> arrays;     // released with the bound operands, under the lock
    std::pmr::vector<BufferRef> buffers;
    std::pmr::vector<npy_intp> shape;        // the broadcast shape of the array operands
    std::pmr::vector<InPlaceSpan> in_place;  // arrays read where they are
};

// Binds `operands` (a dict from name to value) to the kernel arguments `names`, in that
// order. ValueError "missing arg: y" / "unexpected args: z" as the engine words them; the
// engine's "no buffer arguments provided" when no operand is an array. The views are valid
// while the BoundOperands lives; `names` must outlive it (InPlaceSpan names point into them).
// Typing::Native keeps float32 and bool data as they are (float16 becomes float32, exactly) and
// gives NumPy scalars their own types; Typing::Float64 makes every operand float64.
enum class Typing { Float64, Native };
BoundOperands bind_operands(std::span<const std::string> names, PyObject* operands,
                            std::pmr::memory_resource* arena, Typing typing = Typing::Float64);

// One operand alone (reductions): any shape, read in C order. Numbers are one element.
// `buffer` may lend the memory of `array`: it must not outlive the SingleOperand.
struct SingleOperand {
    Ref array;  // declared first, so released after the record that reads it
    BufferRef buffer;
};
SingleOperand bind_single(const char* name, PyObject* value);

// NumPy's type number for a value type.
int numpy_type(ValueType type) noexcept;

// "(3,)", "(2, 3)", "()": a shape as NumPy writes it.
std::string shape_text(std::span<const npy_intp> shape);

}  // namespace qv::py
