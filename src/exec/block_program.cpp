// Compiling a body for an argument pattern, binding its steps to loops and a call's arguments.
#include "exec/block_program.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "compiler/compile.hpp"
#include "compiler/kernels.hpp"
#include "core/fault.hpp"

namespace qv {

namespace {

// Upper bound for one run's scratch; only very deep bodies reach it and get shorter blocks.
constexpr std::size_t kScratchBudgetBytes = std::size_t{8} << 20;

std::size_t shape_of(const Step& s) {
    auto block = [](const StepOperand& o) { return o.source != StepOperand::Source::Scalar; };
    return (block(s.a) ? 1 : 0) | (block(s.b) ? 2 : 0) | (block(s.c) ? 4 : 0);
}

}  // namespace

BlockProgram::BlockProgram(const NodeList& tree, std::span<const ArgView> args, LoopSet set,
                           Comparisons comparisons, std::optional<ValueType> store)
    : comparisons_(comparisons), store_(store) {
    std::vector<ArgPattern> pattern;
    pattern.reserve(args.size());
    for (const ArgView& a : args) pattern.push_back(a.pattern());
    StepProgram program = compile_steps(tree, std::move(pattern), comparisons, store);

    ProgramFrame& frame = program.frame;
    refusal_ = std::move(frame.refusal);
    // A program NumPy refuses never runs, and its steps may have no loops for their types.
    if (refusal_) {
        program.steps.clear();
        frame.scalar_steps.clear();
    }
    steps_.reserve(program.steps.size());
    for (const Step& s : program.steps) {
        const Loops* loops =
            s.kind == StepKind::Compute ? &loops_for(set, s.type, s.kernel, shape_of(s)) : nullptr;
        const bool int_power = s.kind == StepKind::Compute && is_integer(s.type) &&
                               s.kernel == kernel_id<BinaryKernels>(BinaryOp::Pow);
        steps_.push_back(BoundStep{s.kind, s.type, int_power, loops, s.dst, s.a, s.b, s.c});
    }
    for (const ScalarStep& s : frame.scalar_steps) {
        scalar_steps_.push_back(
            BoundScalarStep{&loops_for(set, s.type, s.kernel, 0), s.dst, s.a, s.b, s.c});
    }
    constants_ = std::move(frame.scalars.values);
    scalar_args_ = std::move(frame.scalar_args);
    scalar_imag_args_ = std::move(frame.scalar_imag_args);
    scalar_int_args_ = std::move(frame.scalar_int_args);
    int_reads_ = std::move(frame.int_reads);
    int_exponents_ = std::move(frame.int_exponents);
    float_int_reads_ = std::move(frame.float_int_reads);
    pattern_ = std::move(frame.pattern);
    output_type_ = program.output_type;
    nesting_ = frame.nesting;
    slots_ = program.slots;
    slot_size_ = program.slot_size;
    // Per element of a block: room for the widest type per scratch block, two lane indices per
    // nesting level.
    const std::size_t per_element = slots_ * slot_size_ + nesting_ * 2 * sizeof(std::uint32_t);
    block_ = per_element * kBlock <= kScratchBudgetBytes
                 ? kBlock
                 : std::max<std::size_t>(1, kScratchBudgetBytes / per_element);
}

bool BlockProgram::matches(std::span<const ArgView> args) const noexcept {
    if (args.size() != pattern_.size()) return false;
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (!(args[k].pattern() == pattern_[k])) return false;
    }
    return true;
}

Refusal BlockProgram::refusal_of_values(std::span<const ArgView> args) const {
    for (std::size_t k = 0; k < args.size() && k < int_reads_.size(); ++k) {
        const ArgView& a = args[k];
        if (a.data != nullptr || !is_integer(int_reads_[k])) continue;
        if (Refusal r = a.integral
                            ? python_int_refusal(a.integer, int_reads_[k])
                            : python_int_refusal(a.scalar, int_text(a.scalar), int_reads_[k]))
            return r;
    }
    if (!int_exponents_.empty() || !float_int_reads_.empty()) {
        const BlockBinding bound = bind(args);  // runs the scalar steps
        for (const std::uint32_t e : int_exponents_) {
            if (std::bit_cast<std::int64_t>(bound.scalars_[e]) < 0) return negative_int_power();
        }
        for (const auto& [e, type] : float_int_reads_) {
            const double v = bound.scalars_[e];
            if (Refusal r = python_int_refusal(v, int_text(v), type)) return r;
        }
    }
    return {};
}

BlockBinding BlockProgram::bind(std::span<const ArgView> args) const {
    if (!matches(args)) fault("arguments bound to a program decoded for other argument kinds");
    BlockBinding b(*this);
    b.data_.resize(args.size());
    b.stride_.resize(args.size());
    b.scalars_ = constants_;
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (args[k].data != nullptr) {
            b.data_[k] = static_cast<const std::byte*>(args[k].data);
            b.stride_[k] = element_size(args[k].type);
            b.length_ = std::min(b.length_, args[k].length);
        } else if (scalar_args_[k] != UINT32_MAX) {
            b.scalars_[scalar_args_[k]] = args[k].scalar;
            if (scalar_imag_args_[k] != UINT32_MAX) b.scalars_[scalar_imag_args_[k]] = args[k].imag;
            // An integer scalar beyond int64 was refused before: no integer step reads it.
            if (scalar_int_args_[k] != UINT32_MAX)
                b.scalars_[scalar_int_args_[k]] = std::bit_cast<double>(args[k].integer);
        }
    }
    for (const BoundScalarStep& s : scalar_steps_) {
        const double operands[3] = {b.scalars_[s.a], b.scalars_[s.b], b.scalars_[s.c]};
        const std::uint32_t lane = 0;
        s.loops->indexed(&b.scalars_[s.dst], nullptr, nullptr, nullptr, operands, &lane, 1);
    }
    return b;
}

}  // namespace qv
