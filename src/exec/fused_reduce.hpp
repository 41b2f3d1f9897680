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

namespace qv {

enum class AxisReduceOp : std::uint8_t { Sum, Prod, Min, Max, Mean };

// Writes into `out` (the product of the kept extents, in C order over the kept axes) the
// reduction of the kernel's values over `views` along the axes flagged in `reduced`; the
// values form an array of `shape` in C order, and every buffer view holds all its elements.
// Sum adds in order starting from -0.0 (an empty sum is NumPy's +0.0), Prod multiplies in
// order starting from 1.0, Min and Max give NaN if any value is NaN and otherwise the earliest
// of equal values (which tells -0.0 from +0.0), Mean is the sum over the count (NaN for none).
// Min or Max of nothing, with results to give, is EmptyCollection, as NumPy refuses it.
std::optional<EngineError> reduce_kernel_into(const CompiledKernel& kernel,
                                              std::span<const ArgView> views,
                                              std::span<const std::size_t> shape,
                                              std::span<const bool> reduced, AxisReduceOp op,
                                              std::span<double> out);

}  // namespace qv
