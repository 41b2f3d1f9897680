// The passes in order.
#include "compiler/compile.hpp"

#include <utility>

#include "compiler/fusion/fuse.hpp"
#include "compiler/lower.hpp"
#include "compiler/scratch_blocks.hpp"
#include "compiler/select_plan.hpp"
#include "compiler/value_numbers.hpp"

namespace qv {

StepProgram compile_steps(const NodeList& tree, std::vector<std::uint8_t> is_buffer) {
    const ValueNumbers vn = number_values(tree, is_buffer.size());
    const SelectPlan plan = plan_selects(tree, vn);
    RegisterProgram registers = lower(tree, vn, plan, std::move(is_buffer));
    fuse_steps(registers);
    return assign_blocks(std::move(registers));
}

}  // namespace qv
