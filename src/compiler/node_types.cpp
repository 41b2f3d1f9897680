// One pass in post-order: children are typed before their parent.
#include "compiler/node_types.hpp"

#include <string>
#include <string_view>

#include "compiler/complex_elementwise.hpp"
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

// A bitwise operator over operands promoted to `t`: NumPy's bools as themselves (a float is
// refused, see type_refusal); on the float64 surface, truths as 1.0 and 0.0.
NodeType bitwise(NodeType t, Comparisons comparisons) {
    if (t.weak) return t;
    if (comparisons == Comparisons::Numbers) return numeric(t, false);
    if (!bitwise_accepts(t.type)) t.type = ValueType::Bool;
    return t;
}

// NumPy's name of a bitwise operator or shift, as its TypeError gives it.
std::string ufunc_name(const Node& node) {
    if (node.tag == NodeTag::Unary) return "invert";
    switch (static_cast<BinaryOp>(node.op)) {
        case BinaryOp::BitwiseAnd: return "bitwise_and";
        case BinaryOp::BitwiseOr: return "bitwise_or";
        case BinaryOp::LeftShift: return "left_shift";
        case BinaryOp::RightShift: return "right_shift";
        default: return "bitwise_xor";
    }
}

bool shift_node(const Node& node) {
    return node.tag == NodeTag::Binary && (static_cast<BinaryOp>(node.op) == BinaryOp::LeftShift ||
                                           static_cast<BinaryOp>(node.op) == BinaryOp::RightShift);
}

// Shifts over operands promoted to `t`: integers as themselves. Over floats (and on the
// float64 surface) they are refused, see type_refusal; so are two bools, which NumPy shifts
// as int8.
NodeType shift(NodeType t, Comparisons comparisons) {
    if (comparisons == Comparisons::Numbers) return numeric(t, false);
    if (!t.weak && t.type == ValueType::Bool) t.type = ValueType::I64;
    return t;
}

// A Python number under a bitwise operator that NumPy would refuse, or that the float64
// surface would read as a truth although it is none: a float other than 1.0 and 0.0 (which
// the formula text writes for True and False), a float scalar argument on the NumPy path, and
// on the float64 surface an integer other than 1 and 0 (a computed one included).
bool weak_refused(const Node& node, NodeType t, Comparisons comparisons) {
    if (node.tag == NodeTag::ArgRef) return comparisons == Comparisons::Bool && !is_integer(t.type);
    if (node.tag != NodeTag::Const)
        return comparisons == Comparisons::Numbers || !is_integer(t.type);
    const double v = const_value(node);
    if (v == 0.0 || v == 1.0) return false;
    return comparisons == Comparisons::Numbers || !const_is_int(node);
}

bool bitwise_node(const Node& node) {
    return (node.tag == NodeTag::Unary && op_is_bitwise(static_cast<UnaryOp>(node.op))) ||
           (node.tag == NodeTag::Binary && op_is_bitwise(static_cast<BinaryOp>(node.op)));
}

// NumPy's real, imag and conjugate keep a real operand's type (imag gives zeros of it).
bool keeps_real_type(UnaryOp op) {
    return op == UnaryOp::Real || op == UnaryOp::Imag || op == UnaryOp::Conj;
}

// Python's own arithmetic on ints alone stays int for these; the rest gives a float.
bool python_int_op(BinaryOp op) {
    return op == BinaryOp::Add || op == BinaryOp::Sub || op == BinaryOp::Mul ||
           op == BinaryOp::FloorDivide || op == BinaryOp::Remainder;
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
void refuse(Refusal* refusal, Op op, ValueType type) {
    if (refusal == nullptr || *refusal) return;
    *refusal = {Refusal::Kind::Type,
                std::string(spelling(op)) + " is not defined for " + type_name(type) + " values"};
}

// Whether node i reads bools alone (arrays or NumPy scalars) under an operator to which NumPy
// gives another type than the engine's float64 (int8, float16, bool) or refuses: all but the
// logical and bitwise ones, predicates, `/` (float64 in both) and the parts of a number.
bool bools_elsewhere(const NodeList& tree, std::size_t i, std::span<const NodeType> types) {
    const Node& node = tree[i];
    if (node.tag != NodeTag::Unary && node.tag != NodeTag::Binary) return false;
    const auto kids = children(tree, i);
    for (std::size_t c = 0; c < child_count(node.tag); ++c) {
        if (types[kids[c]].weak || types[kids[c]].type != ValueType::Bool) return false;
    }
    if (node.tag == NodeTag::Unary) {
        const auto op = static_cast<UnaryOp>(node.op);
        // conjugate of bools is int8 in NumPy; real and imag keep them bool.
        return !bitwise_node(node) && !op_is_predicate(op) && op != UnaryOp::Real &&
               op != UnaryOp::Imag;
    }
    const auto op = static_cast<BinaryOp>(node.op);
    return !logical(op) && !bitwise_node(node) && op != BinaryOp::Div && op != BinaryOp::Complex;
}

}  // namespace

std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern,
                                 Comparisons comparisons, Refusal* refusal) {
    std::vector<NodeType> types(tree.size());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const Node& node = tree[i];
        const auto kids = children(tree, i);
        switch (node.tag) {
            case NodeTag::Const:
                // A typed bool on the float64 surface is the truth 1.0 or 0.0 it was.
                if (const_is_typed(node) &&
                    !(const_type(node) == ValueType::Bool && comparisons == Comparisons::Numbers)) {
                    types[i] = NodeType{false, const_type(node)};
                } else {
                    types[i] = NodeType{true, const_is_int(node) ? ValueType::I64 : ValueType::F64};
                }
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
                if (is_complex(x.type)) {
                    // Its tests answer bools of arrays only: complex values have no 1.0/0.0
                    // surface.
                    if (!has_complex_form(op) ||
                        (has_complex_test(op) && (comparisons != Comparisons::Bool || x.weak)))
                        refuse(refusal, op, computed_in(x));
                    types[i] = has_complex_test(op) ? NodeType{false, ValueType::Bool}
                               : gives_part(op)     ? NodeType{x.weak, part_type(x.type)}
                                                    : x;
                    break;
                }
                const bool truth = op_is_predicate(op);
                if (bitwise_node(node)) {
                    types[i] = bitwise(x, comparisons);
                } else if (truth && !x.weak && comparisons == Comparisons::Bool) {
                    types[i] = NodeType{false, ValueType::Bool};
                } else if (x.weak) {
                    const bool ints = x.type == ValueType::I64 &&
                                      (op == UnaryOp::Neg || op == UnaryOp::Abs ||
                                       op == UnaryOp::Positive || keeps_real_type(op));
                    types[i] = NodeType{true, ints ? ValueType::I64 : ValueType::F64};
                } else if (keeps_real_type(op)) {
                    types[i] = x;
                } else {
                    types[i] = numeric(x, has_int_form(op) && !truth);
                }
                break;
            }
            case NodeTag::Binary: {
                const auto op = static_cast<BinaryOp>(node.op);
                const NodeType t = promote(types[kids[0]], types[kids[1]]);
                if (op == BinaryOp::Complex) {
                    // Of real parts; the parts of a complex value are not.
                    if (is_complex(t.type)) refuse(refusal, op, computed_in(t));
                    types[i] = NodeType{t.weak, complex_of(numeric(t, false).type)};
                    break;
                }
                if (is_complex(t.type)) {
                    if (!has_complex_form(op)) refuse(refusal, op, computed_in(t));
                    types[i] = t;
                    break;
                }
                const bool bools =
                    !types[kids[0]].weak && !types[kids[1]].weak && t.type == ValueType::Bool;
                // Python's int ** int is an int unless the exponent is negative.
                const Node& exponent = tree[kids[1]];
                const bool int_power = op == BinaryOp::Pow && exponent.tag == NodeTag::Const &&
                                       const_is_int(exponent) && const_int(exponent) >= 0;
                if (bitwise_node(node)) {
                    types[i] = bitwise(t, comparisons);
                } else if (shift_node(node)) {
                    types[i] = shift(t, comparisons);
                } else if (t.weak) {
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
                const auto op = static_cast<CompareOp>(node.op);
                if (is_complex(compared_in(l, r)) && !has_complex_form(op))
                    refuse(refusal, op, compared_in(l, r));
                // Python's comparison of its numbers is a bool, which meets arrays as
                // NumPy's bool does (`a_int32 + (1 < 2)` stays int32).
                if (comparisons == Comparisons::Bool) {
                    types[i] = NodeType{false, ValueType::Bool};
                } else if (l.weak && r.weak) {
                    types[i] = NodeType{};
                } else {
                    types[i] = NodeType{false, compared_in(l, r)};
                }
                break;
            }
            // The condition only chooses: the branches make the type. NumPy's where makes an
            // array of it, so Python numbers picked by an array's condition are no longer weak
            // (`where(a > 0, 1, 0)` is int64, and stays int64 beside int32 data).
            case NodeTag::Select: {
                const NodeType t = promote(types[kids[1]], types[kids[2]]);
                const bool picked =
                    t.weak && !types[kids[0]].weak && comparisons == Comparisons::Bool;
                types[i] = picked ? NodeType{false, t.type} : t;
                break;
            }
        }
    }
    return types;
}

}  // namespace qv

namespace qv {

Refusal type_refusal(const NodeList& tree, std::span<const NodeType> types,
                     Comparisons comparisons) {
    // On the float64 surface, whether each node is a truth (1.0 or 0.0): comparisons,
    // predicates, the bitwise operators, and the old spellings of "and" and "or" over truths.
    std::vector<bool> truth(tree.size());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const Node& node = tree[i];
        const auto kids = children(tree, i);
        switch (node.tag) {
            case NodeTag::Compare: truth[i] = true; break;
            case NodeTag::Unary:
                truth[i] = bitwise_node(node) || op_is_predicate(static_cast<UnaryOp>(node.op));
                break;
            case NodeTag::Binary:
                truth[i] = bitwise_node(node) || (logical(static_cast<BinaryOp>(node.op)) &&
                                                  truth[kids[0]] && truth[kids[1]]);
                break;
            case NodeTag::Select: truth[i] = truth[kids[1]] && truth[kids[2]]; break;
            default: truth[i] = false; break;
        }
    }
    if (comparisons == Comparisons::Bool) {
        for (std::size_t i = 0; i < tree.size(); ++i) {
            if (!bools_elsewhere(tree, i, types)) continue;
            const Node& node = tree[i];
            const std::string_view name = node.tag == NodeTag::Unary
                                              ? spelling(static_cast<UnaryOp>(node.op))
                                              : spelling(static_cast<BinaryOp>(node.op));
            return {Refusal::Kind::Type, std::string(name) + " " + std::string(kBoolsByPackage)};
        }
    }
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const bool shifts = shift_node(tree[i]);
        if (!bitwise_node(tree[i]) && !shifts) continue;
        const auto kids = children(tree, i);
        std::string operands;
        // Shifts have no meaning on truths.
        bool refused = shifts && comparisons == Comparisons::Numbers;
        for (std::size_t c = 0; c < child_count(tree[i].tag); ++c) {
            const std::size_t k = kids[c];
            // A Python number takes the other operand's type; NumPy refuses a float there,
            // and on the float64 surface only 1 and 0 stand for truths.
            refused = refused || (types[k].weak ? weak_refused(tree[k], types[k], comparisons)
                                  : comparisons == Comparisons::Numbers
                                      ? !truth[k] && types[k].type != ValueType::Bool
                                      : !bitwise_accepts(types[k].type));
            const std::string name = !types[k].weak              ? type_name(types[k].type)
                                     : is_integer(types[k].type) ? "int"
                                                                 : "float";
            operands += (operands.empty() ? "" : ", ") + name;
        }
        if (!refused) continue;
        return {Refusal::Kind::Type, "ufunc '" + ufunc_name(tree[i]) +
                                         "' not supported for the input types (" + operands + ")"};
    }
    return {};
}

}  // namespace qv
