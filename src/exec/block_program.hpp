// The production interpreter: runs a kernel body a block of elements at a time, each step over
// a whole block, so dispatch is paid per block rather than per element. A body is compiled once
// per pattern of scalar and buffer arguments (compiler/compile.hpp) and its steps bound to the
// loops of one loop set; a call then only binds the arguments' data and scalars.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "compiler/node_types.hpp"
#include "compiler/program.hpp"
#include "exec/loops.hpp"
#include "ir/arg_view.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

class BlockBinding;

class BlockProgram {
public:
    // Compile for the pattern of `args` (which are scalars, which buffers, of which types);
    // their values are not kept, so one program serves every call with the same pattern.
    // `store`: see compile_steps.
    BlockProgram(const NodeList& tree, std::span<const ArgView> args,
                 LoopSet set = active_loop_set(), Comparisons comparisons = Comparisons::Numbers,
                 std::optional<ValueType> store = std::nullopt);

    // Whether `args` has the pattern this program was compiled for.
    bool matches(std::span<const ArgView> args) const noexcept;
    bool matches(std::span<const ArgView> args, Comparisons comparisons,
                 std::optional<ValueType> store) const noexcept {
        return comparisons == comparisons_ && store == store_ && matches(args);
    }
    bool same_pattern(const BlockProgram& other) const noexcept {
        return pattern_ == other.pattern_ && comparisons_ == other.comparisons_ &&
               store_ == other.store_;
    }

    // The type of the values the program writes to its output.
    ValueType output_type() const noexcept { return output_type_; }
    // What NumPy would refuse of the formula over these types, before computing it.
    const Refusal& refusal() const noexcept { return refusal_; }
    // What NumPy would refuse of these arguments' values: a Python int out of the integer type
    // it meets, an integer scalar raised to a negative one; and an integer scalar the scalar
    // table does not hold exactly.
    Refusal refusal_of_values(std::span<const ArgView> args) const;

    // The program over these arguments, which must match and outlive the binding.
    BlockBinding bind(std::span<const ArgView> args) const;

    // Elements per block (smaller than the default only for very deep bodies).
    std::size_t block_length() const noexcept { return block_; }
    // Steps a block runs through (Select markers included).
    std::size_t step_count() const noexcept { return steps_.size(); }

private:
    friend class BlockBinding;

    // A step with its loops found.
    struct BoundStep {
        StepKind kind;
        ValueType type;       // Begin: the condition's
        bool int_power;       // Compute: an integer power, whose exponents run() checks
        const Loops* loops;   // Compute
        std::uint32_t dst;    // Compute: scratch block or kOutputSlot
        StepOperand a, b, c;  // Compute: operands by arity; Begin: a is the condition
    };
    struct BoundScalarStep {
        const Loops* loops;
        std::uint32_t dst, a, b, c;
    };

    std::vector<BoundStep> steps_;
    std::vector<double> constants_;                // the scalar table before binding
    std::vector<std::uint32_t> scalar_args_;       // per argument: its entry, or UINT32_MAX
    std::vector<std::uint32_t> scalar_imag_args_;  // per complex one: its imaginary part's
    std::vector<std::uint32_t> scalar_int_args_;   // per argument: its int64 bits' entry
    std::vector<ValueType> int_reads_;             // per argument: see ProgramFrame::int_reads
    std::vector<std::uint32_t> int_exponents_;     // see ProgramFrame::int_exponents
    std::vector<std::pair<std::uint32_t, ValueType>> float_int_reads_;  // see ProgramFrame
    std::vector<BoundScalarStep> scalar_steps_;
    std::vector<ArgPattern> pattern_;  // per argument
    ValueType output_type_ = ValueType::F64;
    Refusal refusal_;
    Comparisons comparisons_;
    std::optional<ValueType> store_;
    std::size_t slots_ = 0;
    std::size_t slot_size_ = 8;  // bytes per element of a scratch block
    std::size_t nesting_ = 0;    // deepest Select nesting, for the lane lists
    std::size_t block_ = 0;
};

// A program with one call's arguments.
class BlockBinding {
public:
    // Writes elements [begin, end) of the result to out[begin, end), an array of the program's
    // output type. Allocates its scratch once per call, so each piece of a parallel evaluation
    // has its own. Returns whether an integer was raised to a negative integer held in an
    // array or scalar argument, which NumPy refuses (the result is then not NumPy's).
    bool run(std::size_t begin, std::size_t end, void* out) const;

private:
    friend class BlockProgram;
    explicit BlockBinding(const BlockProgram& program) : p_(&program) {}

    const BlockProgram* p_;
    std::vector<const std::byte*> data_;  // per argument; null for scalars
    std::vector<std::size_t> stride_;     // per argument: bytes per element
    std::vector<double> scalars_;         // the scalar table
    std::size_t length_ = SIZE_MAX;       // of the shortest buffer argument
};

}  // namespace qv
