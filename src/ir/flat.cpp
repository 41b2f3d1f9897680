// Flattening a Select-free body into postfix instructions, and the per-element reference
// interpreter that the block interpreter is checked against.
#include "ir/flat.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "core/fault.hpp"
#include "ir/scalar_ops.hpp"

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
            case NodeTag::ArgRef:
            case NodeTag::Unary:
            case NodeTag::Binary:
            case NodeTag::Compare:
                // Post-order is already postfix order, and the kind numbers are the tag numbers.
                program.instructions.push_back(
                    FlatOp{static_cast<FlatKind>(node.tag), node.op, node.bits});
                break;
            case NodeTag::Select:
                fault("internal error: entered unreachable code: Select nodes must be handled by "
                      "the lazy tree evaluator");
            default:
                fault("malformed expression tree: unknown node tag");
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
            default:
                break;
        }
    }
    program.max_depth = deepest + 1;
    return program;
}

double eval_flat(const FlatProgram& program, std::size_t index, std::span<const ArgView> args,
                 std::vector<double>& scratch) {
    scratch.clear();
    auto pop = [&scratch]() {
        if (scratch.empty()) fault("flat program stack underflow");
        const double v = scratch.back();
        scratch.pop_back();
        return v;
    };
    for (const FlatOp& ins : program.instructions) {
        switch (ins.kind) {
            case FlatKind::Const:
                scratch.push_back(std::bit_cast<double>(ins.value));
                break;
            case FlatKind::Arg: {
                if (ins.value >= args.size()) {
                    fault("flat program argument " + std::to_string(ins.value) +
                          " outside the argument list of " + std::to_string(args.size()));
                }
                const ArgView& a = args[ins.value];
                if (a.data == nullptr) {
                    scratch.push_back(a.scalar);
                } else {
                    if (index >= a.length) {
                        fault("element index " + std::to_string(index) +
                              " outside a buffer of " + std::to_string(a.length));
                    }
                    scratch.push_back(a.data[index]);
                }
                break;
            }
            case FlatKind::Unary: {
                const double x = pop();
                scratch.push_back(apply_unary(static_cast<UnaryOp>(ins.op), x));
                break;
            }
            case FlatKind::Binary: {
                const double r = pop();
                const double l = pop();
                scratch.push_back(apply_binary(static_cast<BinaryOp>(ins.op), l, r));
                break;
            }
            case FlatKind::Compare: {
                const double r = pop();
                const double l = pop();
                scratch.push_back(apply_compare(static_cast<CompareOp>(ins.op), l, r));
                break;
            }
            default:
                fault("unknown flat instruction kind " + std::to_string(static_cast<int>(ins.kind)));
        }
    }
    if (scratch.empty()) fault("flat program left an empty stack");
    return scratch.front();
}

}  // namespace qv
