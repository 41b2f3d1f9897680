// The production interpreter: runs a kernel body a block of elements at a time, each
// instruction over a whole block, so dispatch is paid per block rather than per element.
// Bodies with Select run each branch only over the elements whose condition chose it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ir/expr_tree.hpp"
#include "ir/flat.hpp"

namespace qv {

// Instruction sets the elementwise loops are built for; every set gives the same bits.
enum class LoopSet : std::uint8_t { Baseline, Avx2 };

// The widest set this CPU runs.
LoopSet best_loop_set() noexcept;

class BlockProgram {
public:
    // Both read the views' data pointers, which must outlive the program.
    BlockProgram(const FlatProgram& program, std::span<const ArgView> args,
                 LoopSet set = best_loop_set());
    BlockProgram(const NodeList& tree, std::span<const ArgView> args, LoopSet set = best_loop_set());

    // Writes elements [begin, end) of the result to out[begin, end). Allocates its scratch once
    // per call, so each piece of a parallel evaluation has its own.
    void run(std::size_t begin, std::size_t end, double* out) const;

    // Elements per block (smaller than the default only for very deep bodies).
    std::size_t block_length() const noexcept { return block_; }

    // The decoded form; public only so that the loop tables can name it.
    struct Operand {
        enum class Source : std::uint8_t { Slot, Array, Scalar } source;
        std::uint32_t slot;  // Slot: scratch block, or kOutput
        const double* data;  // Array: argument data from element 0
        double value;        // Scalar
    };
    struct Loops;
    struct Step {
        enum class Kind : std::uint8_t { Compute, Begin, Else, End } kind;
        const Loops* loops;  // Compute
        std::uint32_t dst;   // Compute: scratch block or kOutput
        Operand a, b, c;     // Compute: operands by arity; Begin: a is the condition
    };
    static constexpr std::uint32_t kOutput = UINT32_MAX;

private:
    class Decoder;

    void finish_layout(std::size_t slots);

    std::vector<Step> steps_;
    std::vector<std::size_t> array_lengths_;  // of every buffer operand, checked per run
    std::size_t slots_ = 0;
    std::size_t nesting_ = 0;  // deepest Select nesting, for the lane lists
    std::size_t block_ = 0;
};

}  // namespace qv
