// Lowering: the tree, numbered and planned, becomes a register program, one step per computed
// value. Shared values are computed once in each context that needs them; operators over
// scalars alone are folded now (constants) or become scalar steps run once per call.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "compiler/node_types.hpp"
#include "compiler/program.hpp"
#include "compiler/select_plan.hpp"
#include "compiler/value_numbers.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// `pattern`: per argument, how a call binds it; a buffer of a storage type is widened to its
// compute type as it is read. `store`: see compile_steps.
RegisterProgram lower(const NodeList& tree, const ValueNumbers& vn, const SelectPlan& plan,
                      std::vector<ArgPattern> pattern, Comparisons comparisons,
                      std::optional<ValueType> store);

}  // namespace qv
