// The reference interpreters the block interpreter is checked against. They are built for
// the tests and checks only, never into the extension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ir/expr_tree.hpp"
#include "ir/flat.hpp"

namespace qv {

// A flat program at one element; the scratch stack is reused by the caller.
double eval_flat(const FlatProgram& program, std::size_t index, std::span<const ArgView> args,
                 std::vector<double>& scratch);

// Work and value stacks of eval_tree, reused from element to element.
struct TreeScratch {
    std::vector<std::uint64_t> work;  // node index, times two, plus one once its operands are done
    std::vector<double> values;
};

// The value of a body with Select at one element: the branch not chosen is not evaluated, and
// no walk recurses on the C stack, so any depth works.
double eval_tree(const NodeList& tree, std::size_t index, std::span<const ArgView> args,
                 TreeScratch& scratch);

}  // namespace qv
