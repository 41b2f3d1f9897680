// The passes in order.
#include "compiler/compile.hpp"

#include <utility>

#include "compiler/fusion/fuse.hpp"
#include "compiler/lower.hpp"
#include "compiler/narrow_steps.hpp"
#include "compiler/scratch_blocks.hpp"
#include "compiler/select_plan.hpp"
#include "compiler/value_numbers.hpp"

namespace qv {

StepProgram compile_steps(const NodeList& tree, std::vector<ArgPattern> pattern,
                          Comparisons comparisons, std::optional<ValueType> store) {
    const ValueNumbers vn = number_values(tree, pattern.size());
    const SelectPlan plan = plan_selects(tree, vn);
    RegisterProgram registers = lower(tree, vn, plan, std::move(pattern), comparisons, store);
    fuse_steps(registers);
    narrow_steps(registers);
    return assign_blocks(std::move(registers));
}

}  // namespace qv
