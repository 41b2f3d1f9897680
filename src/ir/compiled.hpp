// A compiled kernel: a flat program, or the body tree when it holds a Select, with the block
// programs decoded from it so far.
#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <variant>

#include "ir/block_interp.hpp"
#include "ir/expr_tree.hpp"
#include "ir/flat.hpp"

namespace qv {

// The block programs of one kernel, one per pattern of scalar and buffer arguments, decoded on
// first use and kept with it. Readers take no lock: entries are only ever prepended.
class DecodedPrograms {
public:
    DecodedPrograms() = default;
    DecodedPrograms(const DecodedPrograms&) noexcept {}  // a copy decodes afresh
    DecodedPrograms& operator=(const DecodedPrograms&) = delete;
    ~DecodedPrograms();

    const BlockProgram* find(std::span<const ArgView> args) const noexcept;
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
    std::variant<FlatProgram, NodeList> form;  // Flat or Tree
    DecodedPrograms decoded{};
};

using CompiledKernelRef = std::shared_ptr<const CompiledKernel>;

// The kernel's block program for the pattern of `args`, decoded on its first call.
const BlockProgram& block_program(const CompiledKernel& kernel, std::span<const ArgView> args);

}  // namespace qv
