// Evaluating a compiled kernel over its bound arguments: the common length, the argument
// views, and the choice between the calling thread and the worker pool.
#pragma once

#include <cstddef>

#include "buffer/inner.hpp"
#include "core/engine_error.hpp"
#include "ir/arg_value.hpp"
#include "ir/compiled.hpp"
#include "ir/flat.hpp"

namespace qv {

// Evaluations below this many elements stay on the calling thread.
inline constexpr std::size_t kParallelThreshold = 4096;
// Smallest piece the pool may cut a flat kernel into.
inline constexpr std::size_t kFlatMinPiece = 1024;

Result<BufferRef> evaluate_kernel(const CompiledKernel& kernel, const ArgValues& args);

}  // namespace qv
