// The kernels with loops over int8 and int16 lanes, for the steps compiler/narrow_steps.hpp
// narrows to them.
#pragma once

#include <type_traits>

#include "compiler/elementwise.hpp"

namespace qv {

// Those whose int32 value's low 8 or 16 bits depend on their operands' low bits alone:
// arithmetic modulo 2**32 reduced modulo 2**w is arithmetic modulo 2**w, and the bitwise
// operators act bit by bit.
template <class F>
inline constexpr bool kKeepsLowBits =
    std::is_same_v<F, BinaryFn<BinaryOp::Add>> || std::is_same_v<F, BinaryFn<BinaryOp::Sub>> ||
    std::is_same_v<F, BinaryFn<BinaryOp::Mul>> ||
    std::is_same_v<F, BinaryFn<BinaryOp::BitwiseAnd>> ||
    std::is_same_v<F, BinaryFn<BinaryOp::BitwiseOr>> ||
    std::is_same_v<F, BinaryFn<BinaryOp::BitwiseXor>> || std::is_same_v<F, UnaryFn<UnaryOp::Neg>> ||
    std::is_same_v<F, UnaryFn<UnaryOp::Square>> || std::is_same_v<F, UnaryFn<UnaryOp::Positive>> ||
    std::is_same_v<F, UnaryFn<UnaryOp::Invert>> || std::is_same_v<F, CopyFn>;

}  // namespace qv
