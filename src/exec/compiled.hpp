// A compiled kernel: its body, with the block programs compiled from it so far (one per
// pattern of scalar and buffer arguments).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <span>

#include "exec/block_program.hpp"
#include "ir/arg_view.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// The block programs of one kernel, one per pattern of scalar and buffer arguments, decoded on
// first use and kept with it. Readers take no lock: entries are only ever prepended.
class DecodedPrograms {
public:
    DecodedPrograms() = default;
    DecodedPrograms(const DecodedPrograms&) noexcept {}  // a copy decodes afresh
    DecodedPrograms& operator=(const DecodedPrograms&) = delete;
    ~DecodedPrograms();

    const BlockProgram* find(std::span<const ArgView> args, Comparisons comparisons,
                             std::optional<ValueType> store) const noexcept;
    // Keeps `program` unless a racing thread kept one for the same pattern first.
    const BlockProgram& keep(std::unique_ptr<BlockProgram> program) const;

private:
    struct Entry {
        std::unique_ptr<BlockProgram> program;
        Entry* next;
    };
    mutable std::atomic<Entry*> head_{nullptr};
};

struct CompiledKernel {
    explicit CompiledKernel(NodeList tree);

    NodeList body;
    bool has_select;  // without one, every element costs the same: the pool cuts larger pieces
    DecodedPrograms decoded{};
};

using CompiledKernelRef = std::shared_ptr<const CompiledKernel>;

// The kernel's block program for the pattern of `args` (and `store`, see compile_steps),
// decoded on its first call.
const BlockProgram& block_program(const CompiledKernel& kernel, std::span<const ArgView> args,
                                  Comparisons comparisons = Comparisons::Numbers,
                                  std::optional<ValueType> store = std::nullopt);

}  // namespace qv
