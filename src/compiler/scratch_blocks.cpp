// A step's block is taken before its operands' blocks are given back, so a step never writes a
// block it reads.
#include "compiler/scratch_blocks.hpp"

#include <algorithm>

#include <cstddef>
#include <utility>
#include <vector>

namespace qv {

namespace {

class BlockAssignment {
public:
    explicit BlockAssignment(const RegisterProgram& p)
        : p_(p), last_(p.registers, kNone), slot_(p.registers, kNone) {
        for (std::size_t j = 0; j < p.steps.size(); ++j) {
            const RegStep& s = p.steps[j];
            for (int k = 0; k < s.arity; ++k) {
                if (s.ops[k].kind == Val::Kind::Reg)
                    last_[s.ops[k].index] = static_cast<std::uint32_t>(j);
            }
        }
        slot_[p.output] = kOutputSlot;
    }

    Step place(std::size_t j) {
        const RegStep& s = p_.steps[j];
        if (s.kind == StepKind::Compute || s.kind == StepKind::Begin) take(s.dst);
        StepOperand ops[3] = {operand(s.ops[0]), operand(s.ops[1]), operand(s.ops[2])};
        for (int k = s.arity; k < 3; ++k) ops[k] = StepOperand{StepOperand::Source::Scalar, 0};
        const Step step{s.kind, s.type, s.kernel, slot_[s.dst], ops[0], ops[1], ops[2]};
        for (int k = 0; k < s.arity; ++k) {
            if (s.ops[k].kind == Val::Kind::Reg)
                give_back(s.ops[k].index, static_cast<std::uint32_t>(j));
        }
        if (s.kind == StepKind::Compute && last_[s.dst] == kNone && slot_[s.dst] != kOutputSlot &&
            !p_.is_select_result(s.dst)) {
            free_.push_back(slot_[s.dst]);  // never read
        }
        return step;
    }

    std::size_t slots() const { return slots_; }

private:
    void take(std::uint32_t r) {
        if (slot_[r] != kNone) return;
        if (free_.empty()) {
            slot_[r] = slots_++;
        } else {
            slot_[r] = free_.back();
            free_.pop_back();
        }
    }
    void give_back(std::uint32_t r, std::uint32_t j) {
        if (last_[r] != j || slot_[r] == kOutputSlot) return;
        last_[r] = kNone - 1;  // once, even when read twice by this step
        free_.push_back(slot_[r]);
    }
    StepOperand operand(Val v) const {
        switch (v.kind) {
            case Val::Kind::Reg: return StepOperand{StepOperand::Source::Slot, slot_[v.index]};
            case Val::Kind::Arg: return StepOperand{StepOperand::Source::Array, v.index};
            case Val::Kind::Scalar: break;
        }
        return StepOperand{StepOperand::Source::Scalar, v.index};
    }

    const RegisterProgram& p_;
    std::vector<std::uint32_t> last_, slot_, free_;
    std::uint32_t slots_ = 0;
};

}  // namespace

StepProgram assign_blocks(RegisterProgram program) {
    BlockAssignment blocks(program);
    StepProgram out;
    out.steps.reserve(program.steps.size());
    for (std::size_t j = 0; j < program.steps.size(); ++j) out.steps.push_back(blocks.place(j));
    out.slots = blocks.slots();
    for (const ValueType t : program.reg_type)
        out.slot_size = std::max(out.slot_size, element_size(t));
    out.output_type = program.output_type;
    out.frame = std::move(program.frame);
    return out;
}

}  // namespace qv
