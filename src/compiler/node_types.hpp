// The type of every node's values, by NumPy 2's promotion for the same expression written with
// NumPy's operators: the one place the engine decides result types. Python numbers (constants
// and weak scalar arguments) take the type of what they meet; a subtree of them alone stays
// weak and is computed in float64, as Python computes it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "compiler/refusal.hpp"
#include "ir/expr_tree.hpp"
#include "ir/value_type.hpp"

namespace qv {

struct NodeType {
    bool weak = true;  // Python numbers alone: type F64 for a float, I64 for an int
    ValueType type = ValueType::F64;
};

constexpr bool is_float(ValueType t) noexcept { return t == ValueType::F64 || t == ValueType::F32; }

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
    if (b == ValueType::Bool) return a;
    if (a == ValueType::Bool) return b;
    if (a == ValueType::F64 || b == ValueType::F64) return ValueType::F64;
    if (a == ValueType::F32 || b == ValueType::F32) {
        return is_integer(a) || is_integer(b) ? ValueType::F64 : ValueType::F32;
    }
    return ValueType::I64;  // int32 with int64
}

// Of operands each strong or weak: weak ones give way to strong ones of their kind or wider
// (a Python int to any number, a Python float to floats and complex numbers), as NumPy 2's
// weak promotion; a Python int with a bool is int64, a Python float with a bool or an integer
// is float64, a Python complex makes a real type complex (float32 complex64, any other
// complex128).
constexpr NodeType promote(NodeType a, NodeType b) noexcept {
    if (a.weak && b.weak) {
        if (is_complex(a.type) || is_complex(b.type)) return NodeType{true, ValueType::C128};
        const bool ints = a.type == ValueType::I64 && b.type == ValueType::I64;
        return NodeType{true, ints ? ValueType::I64 : ValueType::F64};
    }
    if (b.weak) std::swap(a, b);
    if (!a.weak) return NodeType{false, promote(a.type, b.type)};
    if (is_complex(b.type)) return b;
    if (is_complex(a.type)) return NodeType{false, complex_of(b.type)};
    if (a.type == ValueType::I64) {
        return NodeType{false, b.type == ValueType::Bool ? ValueType::I64 : b.type};
    }
    return NodeType{false, is_float(b.type) ? b.type : ValueType::F64};
}

// The type a node of Python numbers alone computes in: as Python computes them (its ints
// exactly enough in float64, as the scalar table holds them).
constexpr ValueType weak_type(NodeType t) noexcept {
    return is_complex(t.type) ? ValueType::C128 : ValueType::F64;
}

// How comparisons and the predicates (isnan, ...) answer: NumPy's bools, or 1.0 and 0.0 in
// their operands' type (the float64 surface of Expr kernels).
enum class Comparisons : std::uint8_t { Bool, Numbers };

// Whether two bools stay a bool under `op`, as in NumPy (+ and maximum are "or", * and minimum
// "and").
bool logical(BinaryOp op);

// Whether NumPy's bitwise operators (& | ^ ~) take operands of this type: bools (and integers),
// never floats.
constexpr bool bitwise_accepts(ValueType t) noexcept {
    switch (t) {
        case ValueType::Bool:
        case ValueType::I32:
        case ValueType::I64:
        case ValueType::I8:
        case ValueType::I16:
        case ValueType::U8:
        case ValueType::U16:
        case ValueType::U32: return true;
        case ValueType::F16:
        case ValueType::F64:
        case ValueType::F32:
        case ValueType::C64:
        case ValueType::C128: return false;
    }
    return false;
}

// Per node of `tree` (post-order), for arguments bound as `pattern`. A tree that reads past
// the arguments is a fault. A bitwise operator over a float operand is typed as over bools;
// `type_refusal` reports it. An operator without a form for its operands' type (ordering
// complex numbers, floor of one) writes NumPy's refusal to `refusal` when it is given, the
// first one met, and types its node as if it had one.
std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern,
                                 Comparisons comparisons, Refusal* refusal = nullptr);

// Ends the refusal of an operator over bools whose NumPy type the engine does not give (int8,
// float16, bool for `abs`, or NumPy's own refusal of `-`): the package computes those formulas
// with NumPy's meaning, and knows them by this text.
inline constexpr std::string_view kBoolsByPackage =
    "of bools is computed with NumPy's dtype by the quorvaline package";

// NumPy's TypeError for the first operator of `tree` that cannot take its operands' types (a
// bitwise operator over floats), as types gives them; nothing when every one can. On the
// float64 surface (Comparisons::Numbers) truths are 1.0 and 0.0, so there the operands must be
// truths (comparisons, predicates, bitwise operators) or Python numbers.
Refusal type_refusal(const NodeList& tree, std::span<const NodeType> types,
                     Comparisons comparisons);

// The type a comparison compares in, of operands of these types: bools as numbers.
constexpr ValueType compared_in(NodeType l, NodeType r) noexcept {
    const NodeType t = promote(l, r);
    if (t.weak) return weak_type(t);
    return t.type == ValueType::Bool ? ValueType::F64 : t.type;
}

// The type a predicate tests in, of an operand of this type: bools and integers as float64
// (exactly enough for their sign, and never NaN or infinite).
constexpr ValueType tested_in(NodeType x) noexcept {
    return x.weak || !(is_float(x.type) || is_complex(x.type)) ? ValueType::F64 : x.type;
}

}  // namespace qv
