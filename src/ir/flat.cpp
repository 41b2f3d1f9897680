// Flattening a Select-free body into postfix instructions.
#include "ir/flat.hpp"

#include <bit>

#include <algorithm>

#include "core/fault.hpp"

namespace qv {

bool contains_select(const NodeList& tree) {
    return std::any_of(tree.begin(), tree.end(),
                       [](const Node& n) { return n.tag == NodeTag::Select; });
}

namespace {

// Index of the right operand's root (i - 1) and of the left one, refusing sizes that point
// outside the tree.
std::size_t left_operand(const NodeList& tree, std::size_t i) {
    const std::size_t right_size = tree[i - 1].size;
    if (right_size == 0 || right_size > i - 1) fault("malformed expression tree: bad subtree size");
    return i - 1 - right_size;
}

}  // namespace

FlatProgram flatten(const NodeList& tree) {
    if (tree.empty()) fault("malformed expression tree: no nodes");
    FlatProgram program;
    program.instructions.reserve(tree.size());
    for (const Node& node : tree) {
        switch (node.tag) {
            case NodeTag::Const:
                // The reference programs compute in float64 alone.
                program.instructions.push_back(
                    FlatOp{FlatKind::Const, 0, std::bit_cast<std::uint64_t>(const_value(node))});
                break;
            case NodeTag::ArgRef:
            case NodeTag::Unary:
            case NodeTag::Binary:
            case NodeTag::Compare:
                // Post-order is already postfix order, and the kind numbers are the tag numbers.
                program.instructions.push_back(
                    FlatOp{static_cast<FlatKind>(node.tag), node.op, node.bits});
                break;
            case NodeTag::Select:
                fault(
                    "internal error: entered unreachable code: Select nodes must be handled by "
                    "the lazy tree evaluator");
            default: fault("malformed expression tree: unknown node tag");
        }
    }

    // Depths flow from parent to children; a parent always sits after its children, so one
    // backward pass sets every depth before it is read.
    std::vector<std::size_t> depth(tree.size(), 0);
    std::size_t deepest = 0;
    for (std::size_t i = tree.size(); i-- > 0;) {
        const std::size_t d = depth[i];
        deepest = std::max(deepest, d);
        switch (tree[i].tag) {
            case NodeTag::Unary:
                if (i == 0) fault("malformed expression tree: unary without operand");
                depth[i - 1] = d;
                break;
            case NodeTag::Binary:
            case NodeTag::Compare:
                if (i < 2) fault("malformed expression tree: binary without operands");
                depth[i - 1] = d + 1;
                depth[left_operand(tree, i)] = d;
                break;
            default: break;
        }
    }
    program.max_depth = deepest + 1;
    return program;
}

}  // namespace qv
