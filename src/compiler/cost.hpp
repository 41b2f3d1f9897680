// The cost classes the select strategy reads: which operators call the math library (a branch
// with one is never blended), and how many operators a blended branch may hold.
#pragma once

#include <cstdint>

#include "ir/expr_tree.hpp"
#include "ir/ops.hpp"

namespace qv {

// Branches of at most this many operators, none of them a math-library call, are blended.
inline constexpr std::uint32_t kBlendOps = 4;

// The operator table's cost class decides: a Call is never blended.
inline bool calls_libm(const Node& n) {
    switch (n.tag) {
        case NodeTag::Unary: return op_cost(static_cast<UnaryOp>(n.op)) == OpCost::Call;
        case NodeTag::Binary: return op_cost(static_cast<BinaryOp>(n.op)) == OpCost::Call;
        case NodeTag::Compare: return op_cost(static_cast<CompareOp>(n.op)) == OpCost::Call;
        default: return false;
    }
}

}  // namespace qv
