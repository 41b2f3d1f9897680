// The type of every node's values, by NumPy 2's promotion for the same expression written with
// NumPy's operators: the one place the engine decides result types. Python numbers (constants
// and weak scalar arguments) take the type of what they meet; a subtree of them alone stays
// weak and is computed in float64, as Python computes it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/engine_error.hpp"
#include "ir/expr_tree.hpp"
#include "ir/value_type.hpp"

namespace qv {

struct NodeType {
    bool weak = true;  // Python numbers alone
    ValueType type = ValueType::F64;
};

// NumPy's result type of two strong types.
constexpr ValueType promote(ValueType a, ValueType b) noexcept {
    if (a == b) return a;
    if (a == ValueType::F64 || b == ValueType::F64) return ValueType::F64;
    return ValueType::F32;  // float32 with bool
}

// Of operands each strong or weak: weak ones give way to strong ones.
constexpr NodeType promote(NodeType a, NodeType b) noexcept {
    if (a.weak) return b;
    if (b.weak) return a;
    return NodeType{false, promote(a.type, b.type)};
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
        case ValueType::Bool: return true;
        case ValueType::F64:
        case ValueType::F32: return false;
    }
    return false;
}

// Per node of `tree` (post-order), for arguments bound as `pattern`. A tree that reads past
// the arguments is a fault. A bitwise operator over a float operand is typed as over bools;
// `type_refusal` reports it first.
std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern,
                                 Comparisons comparisons);

// NumPy's TypeError for the first operator of `tree` that cannot take its operands' types (a
// bitwise operator over floats), as types gives them; nothing when every one can. On the
// float64 surface (Comparisons::Numbers) truths are 1.0 and 0.0, so there the operands must be
// truths (comparisons, predicates, bitwise operators) or Python numbers.
std::optional<EngineError> type_refusal(const NodeList& tree, std::span<const NodeType> types,
                                        Comparisons comparisons);

// The type a comparison compares in, of operands of these types: bools as numbers.
constexpr ValueType compared_in(NodeType l, NodeType r) noexcept {
    const NodeType t = promote(l, r);
    return t.weak || t.type == ValueType::Bool ? ValueType::F64 : t.type;
}

// The type a predicate tests in, of an operand of this type: bools as numbers.
constexpr ValueType tested_in(NodeType x) noexcept { return compared_in(x, x); }

}  // namespace qv
