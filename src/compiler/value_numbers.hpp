// Value numbering: identical subtrees (the same operator over the same value numbers, constants
// by their bits) share one number, so that the program computes each once per block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ir/expr_tree.hpp"

namespace qv {

struct ValueNumbers {
    std::vector<std::uint32_t> of;    // value number per node
    std::vector<std::uint32_t> uses;  // nodes per value number
    // Nodes grouped by value number, in node order within each group: the nodes of value v are
    // occurrences[occurrence_start[v], occurrence_start[v + 1]).
    std::vector<std::uint32_t> occurrences, occurrence_start;

    // Whether node i is an operator whose value the tree needs more than once.
    bool shared(const NodeList& tree, std::size_t i) const {
        return child_count(tree[i].tag) != 0 && uses[of[i]] > 1;
    }
    // Whether value v has a node in [first, last].
    bool appears_in(std::uint32_t v, std::size_t first, std::size_t last) const;
};

// Numbers the nodes of `tree`, checking every subtree size, operator code and argument index
// (below `arg_count`) on the way: a malformed tree is a fault.
ValueNumbers number_values(const NodeList& tree, std::size_t arg_count);

}  // namespace qv
