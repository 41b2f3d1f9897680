// The compiler: a kernel body and a pattern of scalar and buffer arguments in, a step program
// out, through the passes in order: value numbering, the select strategy, lowering (with
// constant folding and the constant-operand rewrites), fusion, scratch blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "compiler/program.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// `is_buffer`: per argument, whether it is a buffer (1) or a scalar (0). A malformed tree, or
// one that reads past the arguments, is a fault.
StepProgram compile_steps(const NodeList& tree, std::vector<std::uint8_t> is_buffer);

}  // namespace qv
