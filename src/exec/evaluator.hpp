// Evaluating a compiled kernel over its bound arguments: the common length, the argument
// views, and the choice between the calling thread and the worker pool.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "buffer/inner.hpp"
#include "compiler/refusal.hpp"
#include "core/engine_error.hpp"
#include "exec/compiled.hpp"
#include "ir/arg_value.hpp"
#include "ir/arg_view.hpp"

namespace qv {

// Evaluations below this many elements stay on the calling thread.
inline constexpr std::size_t kParallelThreshold = 4096;
// Smallest piece the pool may cut a kernel without Select into.
inline constexpr std::size_t kSelectFreeMinPiece = 1024;

Result<BufferRef> evaluate_kernel(const CompiledKernel& kernel, const ArgValues& args);

// The element count every buffer argument shares: ShapeError at the first that differs
// (in dense order), ArgError when no argument is a buffer.
Result<std::size_t> common_length(const ArgValues& args);

// Writes the kernel's values into `out`, whose size must be common_length(args). `out` may
// be exactly the data of an argument (an in-place update): every interpreter writes element
// i of the result only after its last read of element i of any argument.
void evaluate_kernel_into(const CompiledKernel& kernel, const ArgValues& args,
                          std::span<double> out);
// The same over views of the arguments (scalars with a null `data`), which the caller keeps
// alive; every buffer view must hold out.size() elements. The result must be float64.
void evaluate_views_into(const CompiledKernel& kernel, std::span<const ArgView> views,
                         std::span<double> out);

// Typed evaluation, NumPy's meanings: comparisons give bools.
// The type of the kernel's values over arguments of these types (compiled for their pattern on
// the first call that asks).
ValueType result_type(const CompiledKernel& kernel, std::span<const ArgView> views);
// What NumPy would refuse of the kernel over arguments of these types and scalar values
// (Kind::None: nothing).
Refusal refusal_of(const CompiledKernel& kernel, std::span<const ArgView> views);
// Writes the kernel's `n` values, of result_type(kernel, views) or narrowed to `store` (one of
// its storage types), to `out`; returns what NumPy would have refused on the way (an integer
// raised to a negative integer from an array), in which case `out` holds no meaningful values.
Refusal evaluate_views_into(const CompiledKernel& kernel, std::span<const ArgView> views, void* out,
                            std::size_t n, std::optional<ValueType> store = std::nullopt);

}  // namespace qv
