// The cost classes the select strategy reads: which operators call the math library (a branch
// with one is never blended), and how many operators a blended branch may hold.
#pragma once

#include <cstdint>

#include "ir/expr_tree.hpp"

namespace qv {

// Branches of at most this many operators, none of them a math-library call, are blended.
inline constexpr std::uint32_t kBlendOps = 4;

inline bool calls_libm(const Node& n) {
    if (n.tag == NodeTag::Unary) {
        switch (static_cast<UnaryOp>(n.op)) {
            case UnaryOp::Log:
            case UnaryOp::Exp:
            case UnaryOp::Log2:
            case UnaryOp::Log10:
            case UnaryOp::Sin:
            case UnaryOp::Cos:
            case UnaryOp::Tan: return true;
            default: return false;
        }
    }
    return n.tag == NodeTag::Binary && (static_cast<BinaryOp>(n.op) == BinaryOp::Pow ||
                                        static_cast<BinaryOp>(n.op) == BinaryOp::Atan2);
}

}  // namespace qv
