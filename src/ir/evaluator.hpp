// Evaluating a compiled kernel over its bound arguments: the common length, the argument
// views, the choice between the calling thread and the worker pool, and the lazy tree evaluator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Work and value stacks of eval_tree, reused from element to element.
struct TreeScratch {
    std::vector<std::uint64_t> work;  // node index, times two, plus one once its operands are done
    std::vector<double> values;
};

// The value of a body with Select at one element: the branch not chosen is not evaluated, and
// no walk recurses on the C stack, so any depth works.
double eval_tree(const NodeList& tree, std::size_t index, std::span<const ArgView> args,
                 TreeScratch& scratch);

}  // namespace qv
