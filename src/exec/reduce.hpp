// Reductions of one buffer to one float64, each in a fixed sequential order so that the
// result is reproducible bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "buffer/inner.hpp"
#include "core/engine_error.hpp"

namespace qv {

enum class ReduceOp : std::uint8_t {
    Sum = 0,
    Mean = 1,
    Min = 2,
    Max = 3,
    Count = 4,
    Variance = 5,
    Std = 6
};

// "Sum", "Mean", ...: the name used in messages.
std::string_view reduce_op_name(ReduceOp op) noexcept;

Result<double> reduce(const BufferInner& input, ReduceOp op);

// start + xs[0] + xs[1] + ..., added strictly in order. Sum is sum_from(xs, -0.0), so a sum
// carried from chunk to chunk (each chunk's start is the previous chunk's result) has the
// bits of the sum of the whole.
double sum_from(std::span<const double> xs, double start) noexcept;

}  // namespace qv
