// Reductions of a kernel's values along axes, fused with their evaluation: the values are
// computed a short contiguous stretch at a time into scratch and folded into the result, so
// the elementwise part is never stored whole. Each result element takes its values in C order
// over the reduced axes, on one thread, so the bits equal those of the same reduction of the
// materialised values, whatever the thread count; threads split the kept axes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/engine_error.hpp"
#include "exec/compiled.hpp"
#include "ir/arg_view.hpp"
#include "ir/value_type.hpp"

namespace qv {

enum class AxisReduceOp : std::uint8_t { Sum, Prod, Min, Max, Mean };

// The type of the result of `op` over values of type `values`, as NumPy gives it (and the
// type the reduction accumulates in): sums and products of bools and integers in int64,
// wrapping, of floats in their own type; means of bools and integers in float64; extremes in
// the values' type. Nothing for a type with no reductions.
std::optional<ValueType> reduced_type(ValueType values, AxisReduceOp op) noexcept;

// Writes into `out` (`out_count` elements of reduced_type(values, op), the product of the kept
// extents, in C order over the kept axes) the reduction of the kernel's values over `views`
// along the axes flagged in `reduced`, the values typed as the NumPy path types them
// (comparisons give bools); the values form an array of `shape` in C order, and every buffer
// view holds all its elements. Every step is in the result's type, strictly in order: Sum adds
// starting from -0.0 (0 for integers; an empty sum is NumPy's +0.0), Prod multiplies starting
// from 1, Min and Max give NaN if any value is NaN and otherwise the earliest of equal values
// (which tells -0.0 from +0.0), Mean is the sum over the count (NaN for none), divided in
// float64. Min or Max of nothing, with results to give, is EmptyCollection, as NumPy refuses
// it; values of a type with no reductions, or a formula NumPy refuses, a TypeError.
std::optional<EngineError> reduce_kernel_into(const CompiledKernel& kernel,
                                              std::span<const ArgView> views,
                                              std::span<const std::size_t> shape,
                                              std::span<const bool> reduced, AxisReduceOp op,
                                              void* out, std::size_t out_count);

}  // namespace qv
