// Lowering: the tree, numbered and planned, becomes a register program, one step per computed
// value. Shared values are computed once in each context that needs them; operators over
// scalars alone are folded now (constants) or become scalar steps run once per call.
#pragma once

#include <cstdint>
#include <vector>

#include "compiler/program.hpp"
#include "compiler/select_plan.hpp"
#include "compiler/value_numbers.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// `is_buffer`: per argument, whether it is a buffer (1) or a scalar (0).
RegisterProgram lower(const NodeList& tree, const ValueNumbers& vn, const SelectPlan& plan,
                      std::vector<std::uint8_t> is_buffer);

}  // namespace qv
