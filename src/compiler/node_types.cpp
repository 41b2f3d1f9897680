// One pass in post-order: children are typed before their parent.
#include "compiler/node_types.hpp"

#include <string>

#include "core/fault.hpp"

namespace qv {

namespace {}  // namespace

// The formula text's | and & are maximum and *.
bool logical(BinaryOp op) {
    return op == BinaryOp::Add || op == BinaryOp::Mul || op == BinaryOp::Min || op == BinaryOp::Max;
}

namespace {

// Other arithmetic and functions compute bools as float64 numbers.
NodeType numeric(NodeType t) {
    if (!t.weak && t.type == ValueType::Bool) t.type = ValueType::F64;
    return t;
}

}  // namespace

std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern,
                                 Comparisons comparisons) {
    std::vector<NodeType> types(tree.size());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const Node& node = tree[i];
        const auto kids = children(tree, i);
        switch (node.tag) {
            case NodeTag::Const: types[i] = NodeType{}; break;
            case NodeTag::ArgRef: {
                if (node.bits >= pattern.size())
                    fault("argument " + std::to_string(node.bits) + " outside the pattern");
                const ArgPattern& p = pattern[node.bits];
                types[i] = NodeType{p.weak, p.type};
                break;
            }
            case NodeTag::Unary: {
                const NodeType x = types[kids[0]];
                const bool truth = op_is_predicate(static_cast<UnaryOp>(node.op));
                types[i] = truth && !x.weak && comparisons == Comparisons::Bool
                               ? NodeType{false, ValueType::Bool}
                               : numeric(x);
                break;
            }
            case NodeTag::Binary: {
                const NodeType t = promote(types[kids[0]], types[kids[1]]);
                const bool bools =
                    !types[kids[0]].weak && !types[kids[1]].weak && t.type == ValueType::Bool;
                types[i] = bools && logical(static_cast<BinaryOp>(node.op)) ? t : numeric(t);
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
