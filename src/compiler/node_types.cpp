// One pass in post-order: children are typed before their parent.
#include "compiler/node_types.hpp"

#include <string>

#include "core/fault.hpp"
#include "ir/int_ops.hpp"

namespace qv {

// The formula text's | and & are maximum and *.
bool logical(BinaryOp op) {
    return op == BinaryOp::Add || op == BinaryOp::Mul || op == BinaryOp::Min || op == BinaryOp::Max;
}

namespace {

// Other arithmetic and functions compute bools as float64 numbers, and integers too unless
// the operator has an integer form (NumPy: int32 / int32 and sqrt(int32) are float64).
NodeType numeric(NodeType t, bool int_form) {
    if (t.type == ValueType::Bool || (is_integer(t.type) && !int_form)) t.type = ValueType::F64;
    return t;
}

// Python's own arithmetic on ints alone stays int for these; the rest gives a float.
bool python_int_op(BinaryOp op) {
    return op == BinaryOp::Add || op == BinaryOp::Sub || op == BinaryOp::Mul ||
           op == BinaryOp::FloorDivide || op == BinaryOp::Remainder;
}

}  // namespace

std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern,
                                 Comparisons comparisons) {
    std::vector<NodeType> types(tree.size());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const Node& node = tree[i];
        const auto kids = children(tree, i);
        switch (node.tag) {
            case NodeTag::Const:
                types[i] = NodeType{true, const_is_int(node) ? ValueType::I64 : ValueType::F64};
                break;
            case NodeTag::ArgRef: {
                if (node.bits >= pattern.size())
                    fault("argument " + std::to_string(node.bits) + " outside the pattern");
                const ArgPattern& p = pattern[node.bits];
                types[i] = NodeType{p.weak, p.weak && is_integer(p.type) ? ValueType::I64 : p.type};
                break;
            }
            case NodeTag::Unary: {
                const NodeType x = types[kids[0]];
                const auto op = static_cast<UnaryOp>(node.op);
                const bool truth = op_is_predicate(op);
                if (truth && !x.weak && comparisons == Comparisons::Bool) {
                    types[i] = NodeType{false, ValueType::Bool};
                } else if (x.weak) {
                    const bool ints =
                        x.type == ValueType::I64 &&
                        (op == UnaryOp::Neg || op == UnaryOp::Abs || op == UnaryOp::Positive);
                    types[i] = NodeType{true, ints ? ValueType::I64 : ValueType::F64};
                } else {
                    types[i] = numeric(x, has_int_form(op) && !truth);
                }
                break;
            }
            case NodeTag::Binary: {
                const auto op = static_cast<BinaryOp>(node.op);
                const NodeType t = promote(types[kids[0]], types[kids[1]]);
                const bool bools =
                    !types[kids[0]].weak && !types[kids[1]].weak && t.type == ValueType::Bool;
                // Python's int ** int is an int unless the exponent is negative.
                const Node& exponent = tree[kids[1]];
                const bool int_power = op == BinaryOp::Pow && exponent.tag == NodeTag::Const &&
                                       const_is_int(exponent) && const_int(exponent) >= 0;
                if (t.weak) {
                    types[i] =
                        NodeType{true, t.type == ValueType::I64 && (python_int_op(op) || int_power)
                                           ? ValueType::I64
                                           : ValueType::F64};
                } else {
                    types[i] = bools && logical(op) ? t : numeric(t, has_int_form(op));
                }
                break;
            }
            case NodeTag::Compare: {
                const NodeType l = types[kids[0]], r = types[kids[1]];
                if (l.weak && r.weak) {
                    types[i] = NodeType{};
                } else if (comparisons == Comparisons::Bool) {
                    types[i] = NodeType{false, ValueType::Bool};
                } else {
                    types[i] = NodeType{false, compared_in(l, r)};
                }
                break;
            }
            // The condition only chooses: the branches make the type.
            case NodeTag::Select: types[i] = promote(types[kids[1]], types[kids[2]]); break;
        }
    }
    return types;
}

}  // namespace qv
