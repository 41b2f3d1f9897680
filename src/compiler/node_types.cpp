// One pass in post-order: children are typed before their parent.
#include "compiler/node_types.hpp"

#include <string>
#include <string_view>

#include "compiler/complex_elementwise.hpp"
#include "core/fault.hpp"

namespace qv {

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

// The type a node of this type computes in.
ValueType computed_in(NodeType t) { return t.weak ? weak_type(t) : t.type; }

// An operator as formula text writes it: the first of its spellings.
constexpr std::string_view first_word(std::string_view spellings) {
    return spellings.substr(0, spellings.find(' '));
}
#define QV_SPELLING_ROW(name, code, scalar, cost, libm, spellings, ...) \
    case decltype(op)::name: return first_word(spellings);
std::string_view spelling(UnaryOp op) {
    switch (op) { QV_UNARY_OPS(QV_SPELLING_ROW, QV_SPELLING_ROW) }
    return op_name(op);
}
std::string_view spelling(BinaryOp op) {
    switch (op) { QV_BINARY_OPS(QV_SPELLING_ROW, QV_SPELLING_ROW) }
    return op_name(op);
}
std::string_view spelling(CompareOp op) {
    switch (op) { QV_COMPARE_OPS(QV_SPELLING_ROW) }
    return op_name(op);
}
#undef QV_SPELLING_ROW

// Notes the first refusal: `op` has no form for values of `type`.
template <class Op>
void refuse(std::string* refusal, Op op, ValueType type) {
    if (refusal == nullptr || !refusal->empty()) return;
    *refusal = std::string(spelling(op)) + " is not defined for " + type_name(type) + " values";
}

}  // namespace

std::string type_refusal(const NodeList& tree, std::span<const ArgPattern> pattern) {
    std::string refusal;
    (void)node_types(tree, pattern, Comparisons::Bool, &refusal);
    return refusal;
}

std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern,
                                 Comparisons comparisons, std::string* refusal) {
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
                const auto op = static_cast<UnaryOp>(node.op);
                if (is_complex(x.type)) {
                    if (!has_complex_form(op)) refuse(refusal, op, computed_in(x));
                    types[i] = gives_part(op) ? NodeType{x.weak, part_type(x.type)} : x;
                    break;
                }
                const bool truth = op_is_predicate(op);
                types[i] = truth && !x.weak && comparisons == Comparisons::Bool
                               ? NodeType{false, ValueType::Bool}
                               : numeric(x);
                break;
            }
            case NodeTag::Binary: {
                const auto op = static_cast<BinaryOp>(node.op);
                const NodeType t = promote(types[kids[0]], types[kids[1]]);
                if (op == BinaryOp::Complex) {
                    // Of real parts; the parts of a complex value are not.
                    if (is_complex(t.type)) refuse(refusal, op, computed_in(t));
                    // Complex scalars are not bound yet: a complex value needs an array part.
                    if (t.weak && refusal != nullptr && refusal->empty())
                        *refusal = "complex() of two numbers: one of its parts must be an array";
                    types[i] = NodeType{t.weak, complex_of(numeric(t).type)};
                    break;
                }
                if (is_complex(t.type)) {
                    if (!has_complex_form(op)) refuse(refusal, op, computed_in(t));
                    types[i] = t;
                    break;
                }
                const bool bools =
                    !types[kids[0]].weak && !types[kids[1]].weak && t.type == ValueType::Bool;
                types[i] = bools && logical(op) ? t : numeric(t);
                break;
            }
            case NodeTag::Compare: {
                const NodeType l = types[kids[0]], r = types[kids[1]];
                const auto op = static_cast<CompareOp>(node.op);
                if (is_complex(compared_in(l, r)) && !has_complex_form(op))
                    refuse(refusal, op, compared_in(l, r));
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
