// The kernels with loops over int8 and int16 lanes, for the steps compiler/narrow_steps.hpp
// narrows to them, and the casts between the narrow widths.
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

// The divisions, over int16 alone: of int16 values by a constant within int16, whose quotient,
// remainder and fmod are int16 values too (the dividend is never MIN divided by -1).
template <class F>
inline constexpr bool kDividesNarrow =
    std::is_same_v<F, BinaryFn<BinaryOp::FloorDivide>> ||
    std::is_same_v<F, BinaryFn<BinaryOp::Remainder>> || std::is_same_v<F, BinaryFn<BinaryOp::Fmod>>;

// The types narrow steps compute in or read: int8, int16 and their unsigned forms.
constexpr bool is_narrow_int(ValueType t) noexcept {
    return t == ValueType::I8 || t == ValueType::U8 || t == ValueType::I16 || t == ValueType::U16;
}

}  // namespace qv
