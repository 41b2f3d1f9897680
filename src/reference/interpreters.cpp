// The reference interpreters: one element at a time, each operator through its scalar
// function, so they show what the block interpreter must give bit for bit.
#include "reference/interpreters.hpp"

#include <bit>
#include <string>

#include "core/fault.hpp"
#include "ir/scalar_ops.hpp"

namespace qv {

namespace {

// The value of argument `id` at element `index`, refusing ids and indices out of range.
double argument_value(std::span<const ArgView> args, std::uint64_t id, std::size_t index) {
    if (id >= args.size()) {
        fault("argument " + std::to_string(id) + " outside the argument list of " +
              std::to_string(args.size()));
    }
    const ArgView& a = args[id];
    if (a.data == nullptr) return a.scalar;
    if (index >= a.length) {
        fault("element index " + std::to_string(index) + " outside a buffer of " +
              std::to_string(a.length));
    }
    if (a.type == ValueType::F32) return static_cast<const float*>(a.data)[index];
    return static_cast<const double*>(a.data)[index];
}

double pop_value(std::vector<double>& values) {
    if (values.empty()) fault("reference interpreter stack underflow");
    const double v = values.back();
    values.pop_back();
    return v;
}

static_assert(int(FlatKind::Const) == int(NodeTag::Const) &&
              int(FlatKind::Arg) == int(NodeTag::ArgRef) &&
              int(FlatKind::Unary) == int(NodeTag::Unary) &&
              int(FlatKind::Binary) == int(NodeTag::Binary) &&
              int(FlatKind::Compare) == int(NodeTag::Compare));

// Pushes the value of one node without Select whose operands are on top of `values`. A flat
// instruction's kind is its node's tag, so both interpreters compute through this one step.
void apply_node(NodeTag tag, std::uint8_t op, std::uint64_t bits, std::span<const ArgView> args,
                std::size_t index, std::vector<double>& values) {
    switch (tag) {
        case NodeTag::Const: values.push_back(std::bit_cast<double>(bits)); return;
        case NodeTag::ArgRef: values.push_back(argument_value(args, bits, index)); return;
        case NodeTag::Unary: {
            const double x = pop_value(values);
            values.push_back(apply_unary(static_cast<UnaryOp>(op), x));
            return;
        }
        case NodeTag::Binary:
        case NodeTag::Compare: {
            const double r = pop_value(values);
            const double l = pop_value(values);
            values.push_back(tag == NodeTag::Binary
                                 ? apply_binary(static_cast<BinaryOp>(op), l, r)
                                 : apply_compare(static_cast<CompareOp>(op), l, r));
            return;
        }
        default:
            fault("malformed program: unknown node tag " + std::to_string(static_cast<int>(tag)));
    }
}

// Root of the operand that ends just below position `end` (exclusive), refusing sizes that
// point outside the tree.
std::uint64_t operand_before(const NodeList& tree, std::size_t end) {
    if (end == 0) fault("malformed expression tree: missing operand");
    const std::size_t root = end - 1;
    if (tree[root].size == 0 || tree[root].size > end)
        fault("malformed expression tree: bad subtree size");
    return root;
}

std::size_t subtree_start(const NodeList& tree, std::uint64_t root) {
    return root + 1 - tree[root].size;
}

}  // namespace

double eval_tree(const NodeList& tree, std::size_t index, std::span<const ArgView> args,
                 TreeScratch& scratch) {
    if (tree.empty()) fault("malformed expression tree: no nodes");
    auto& work = scratch.work;
    auto& values = scratch.values;
    work.clear();
    values.clear();
    work.push_back(static_cast<std::uint64_t>(tree.size() - 1) * 2);
    while (!work.empty()) {
        const std::uint64_t i = work.back() / 2;
        const bool operands_done = (work.back() & 1) != 0;
        work.pop_back();
        const Node& node = tree[i];
        switch (node.tag) {
            case NodeTag::Const:
            case NodeTag::ArgRef:
                apply_node(node.tag, node.op, node.bits, args, index, values);
                break;
            case NodeTag::Unary:
                if (!operands_done) {
                    work.push_back(i * 2 + 1);
                    work.push_back(operand_before(tree, i) * 2);
                } else {
                    apply_node(node.tag, node.op, node.bits, args, index, values);
                }
                break;
            case NodeTag::Binary:
            case NodeTag::Compare:
                if (!operands_done) {
                    const std::uint64_t right = operand_before(tree, i);
                    const std::uint64_t left = operand_before(tree, subtree_start(tree, right));
                    work.push_back(i * 2 + 1);
                    work.push_back(right * 2);
                    work.push_back(left * 2);  // on top: evaluated first
                } else {
                    apply_node(node.tag, node.op, node.bits, args, index, values);
                }
                break;
            case NodeTag::Select: {
                const std::uint64_t if_false = operand_before(tree, i);
                const std::uint64_t if_true = operand_before(tree, subtree_start(tree, if_false));
                if (!operands_done) {
                    work.push_back(i * 2 + 1);
                    work.push_back(operand_before(tree, subtree_start(tree, if_true)) * 2);
                } else {
                    // The chosen branch takes the Select's place: chains need no extra frames.
                    work.push_back((pop_value(values) != 0.0 ? if_true : if_false) * 2);
                }
                break;
            }
            default: fault("malformed expression tree: unknown node tag");
        }
    }
    if (values.size() != 1) fault("tree evaluator must leave exactly one value");
    return values.back();
}

double eval_flat(const FlatProgram& program, std::size_t index, std::span<const ArgView> args,
                 std::vector<double>& scratch) {
    scratch.clear();
    for (const FlatOp& ins : program.instructions) {
        apply_node(static_cast<NodeTag>(ins.kind), ins.op, ins.value, args, index, scratch);
    }
    if (scratch.empty()) fault("flat program left an empty stack");
    return scratch.front();
}

}  // namespace qv
