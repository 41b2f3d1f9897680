// The compiler: a kernel body and a pattern of scalar and buffer arguments in, a step program
// out, through the passes in order: value numbering, the select strategy, lowering (with
// constant folding and the constant-operand rewrites), fusion, scratch blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "compiler/program.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// `pattern`: per argument, how a call binds it. A malformed tree, or
// one that reads past the arguments, is a fault.
StepProgram compile_steps(const NodeList& tree, std::vector<ArgPattern> pattern);

}  // namespace qv
