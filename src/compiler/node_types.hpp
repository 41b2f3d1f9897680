// The type of every node's values, by NumPy 2's promotion for the same expression written with
// NumPy's operators: the one place the engine decides result types. Python numbers (constants
// and weak scalar arguments) take the type of what they meet; a subtree of them alone stays
// weak and is computed in float64, as Python computes it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ir/expr_tree.hpp"
#include "ir/value_type.hpp"

namespace qv {

struct NodeType {
    bool weak = true;  // Python numbers alone
    ValueType type = ValueType::F64;
};

// The complex type whose parts hold values of type `parts`: complex64 for float32, else
// complex128.
constexpr ValueType complex_of(ValueType parts) noexcept {
    return parts == ValueType::F32 || parts == ValueType::C64 ? ValueType::C64 : ValueType::C128;
}

// NumPy's result type of two strong types.
constexpr ValueType promote(ValueType a, ValueType b) noexcept {
    if (a == b) return a;
    // Complex with anything: complex with parts wide enough for both.
    if (is_complex(a) || is_complex(b)) return complex_of(promote(part_type(a), part_type(b)));
    if (a == ValueType::F64 || b == ValueType::F64) return ValueType::F64;
    return ValueType::F32;  // float32 with bool
}

// Of operands each strong or weak: weak ones give way to strong ones, but a Python complex
// makes a real type complex (float32 complex64, any other complex128), as in NumPy 2.
constexpr NodeType promote(NodeType a, NodeType b) noexcept {
    if (a.weak && b.weak) return is_complex(a.type) ? a : b;
    if (!a.weak && !b.weak) return NodeType{false, promote(a.type, b.type)};
    const NodeType strong = a.weak ? b : a, weak = a.weak ? a : b;
    if (!is_complex(weak.type) || is_complex(strong.type)) return strong;
    return NodeType{false, complex_of(strong.type)};
}

// The type a node of Python numbers alone computes in: as Python computes them.
constexpr ValueType weak_type(NodeType t) noexcept {
    return is_complex(t.type) ? ValueType::C128 : ValueType::F64;
}

// How comparisons and the predicates (isnan, ...) answer: NumPy's bools, or 1.0 and 0.0 in
// their operands' type (the float64 surface of Expr kernels).
enum class Comparisons : std::uint8_t { Bool, Numbers };

// Whether two bools stay a bool under `op`, as in NumPy (+ and maximum are "or", * and minimum
// "and").
bool logical(BinaryOp op);

// Per node of `tree` (post-order), for arguments bound as `pattern`. A tree that reads past
// the arguments is a fault. An operator without a form for its operands' type (ordering
// complex numbers, floor of one) writes NumPy's refusal to `refusal` when it is given, the
// first one met, and types its node as if it had one.
std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern,
                                 Comparisons comparisons, std::string* refusal = nullptr);

// The refusal node_types writes for these arguments, or empty.
std::string type_refusal(const NodeList& tree, std::span<const ArgPattern> pattern);

// The type a comparison compares in, of operands of these types: bools as numbers.
constexpr ValueType compared_in(NodeType l, NodeType r) noexcept {
    const NodeType t = promote(l, r);
    if (t.weak) return weak_type(t);
    return t.type == ValueType::Bool ? ValueType::F64 : t.type;
}

// The type a predicate tests in, of an operand of this type: bools as numbers.
constexpr ValueType tested_in(NodeType x) noexcept { return compared_in(x, x); }

}  // namespace qv
