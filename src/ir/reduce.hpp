// Reductions of one buffer to one float64, each in a fixed sequential order so that the
// result is reproducible bit for bit.
#pragma once

#include <cstdint>
#include <string_view>

#include "buffer/inner.hpp"
#include "core/engine_error.hpp"

namespace qv {

enum class ReduceOp : std::uint8_t { Sum = 0, Mean = 1, Min = 2, Max = 3, Count = 4, Variance = 5, Std = 6 };

// "Sum", "Mean", ...: the name used in messages.
std::string_view reduce_op_name(ReduceOp op) noexcept;

Result<double> reduce(const BufferInner& input, ReduceOp op);

}  // namespace qv
