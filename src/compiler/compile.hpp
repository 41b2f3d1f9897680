// The compiler: a kernel body and a pattern of scalar and buffer arguments in, a step program
// out, through the passes in order: value numbering, the select strategy, lowering (with
// constant folding and the constant-operand rewrites), fusion, scratch blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "compiler/node_types.hpp"
#include "compiler/program.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// `pattern`: per argument, how a call binds it. A malformed tree, or
// one that reads past the arguments, is a fault.
// `comparisons`: NumPy's bools, or 1.0 and 0.0 (Expr kernels' float64 surface).
// `store`: a storage type to write the output in, when its compute type is the output's.
StepProgram compile_steps(const NodeList& tree, std::vector<ArgPattern> pattern,
                          Comparisons comparisons = Comparisons::Numbers,
                          std::optional<ValueType> store = std::nullopt);

}  // namespace qv
