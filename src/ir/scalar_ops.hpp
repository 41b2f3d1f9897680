// The numeric meaning of every operator, shared by the flat interpreters and the tree evaluator
// so that a body gives the same bits whichever of them runs it.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "core/fault.hpp"
#include "ir/ops.hpp"

namespace qv {

namespace scalar_detail {

inline constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// Unbiased exponent; -1023 for zeros and subnormals, 1024 for infinities and NaN.
inline int exponent_of(std::uint64_t u) { return static_cast<int>((u >> 52) & 0x7ff) - 1023; }

// Bits below the binary point of a value with exponent 0 <= e < 52.
inline std::uint64_t fraction_mask(int e) { return (std::uint64_t{1} << (52 - e)) - 1; }

}  // namespace scalar_detail

// Negation and absolute value touch only the sign bit (IEEE negate/abs), NaN payloads included.
inline double op_neg(double x) { return -x; }
inline double op_abs(double x) { return std::fabs(x); }

// Floor, ceiling and rounding work on the bits, so the result never depends on the rounding
// mode; values of magnitude 2^52 and above, infinities and NaN are already integral.
// round_toward<false> is the floor (toward minus infinity), round_toward<true> the ceiling.
template <bool Up>
inline double round_toward(double x) {
    using namespace scalar_detail;
    const auto u = std::bit_cast<std::uint64_t>(x);
    const int e = exponent_of(u);
    if (e >= 52) return x;
    const bool negative = (u & kSignBit) != 0;
    if (e < 0) {
        if ((u & ~kSignBit) == 0) return x;
        if constexpr (Up) {
            return negative ? -0.0 : 1.0;
        } else {
            return negative ? -1.0 : 0.0;
        }
    }
    const std::uint64_t mask = fraction_mask(e);
    if ((u & mask) == 0) return x;
    const double truncated = std::bit_cast<double>(u & ~mask);  // toward zero
    if (negative == Up) return truncated;
    return Up ? truncated + 1.0 : truncated - 1.0;  // exact: an integer below 2^52
}

inline double op_floor(double x) { return round_toward<false>(x); }
inline double op_ceil(double x) { return round_toward<true>(x); }

// Halfway cases away from zero: the same as adding 0.49999999999999994 with the sign of x and
// truncating, decided here by the first fraction bit instead.
inline double op_round(double x) {
    using namespace scalar_detail;
    const auto u = std::bit_cast<std::uint64_t>(x);
    const int e = exponent_of(u);
    if (e >= 52) return x;
    const bool negative = (u & kSignBit) != 0;
    if (e < 0) {
        if (e == -1) return negative ? -1.0 : 1.0;  // 0.5 <= |x| < 1
        return negative ? -0.0 : 0.0;
    }
    const std::uint64_t mask = fraction_mask(e);
    const double truncated = std::bit_cast<double>(u & ~mask);
    const std::uint64_t half = std::uint64_t{1} << (51 - e);
    if ((u & half) == 0) return truncated;
    return negative ? truncated - 1.0 : truncated + 1.0;
}

// Which NaN a sum or product of two NaNs carries follows the operand order of the instruction,
// and the compiler may swap the operands of + and *; the order is pinned (left NaN wins, as for
// - and /) so that scalar and vectorised paths give the same bits.
inline double op_add(double l, double r) {
#if defined(__SSE2__) && defined(__GNUC__)
    asm("addsd %1, %0" : "+x"(l) : "x"(r));
    return l;
#else
    return l + (l != l ? l : r);
#endif
}
inline double op_mul(double l, double r) {
#if defined(__SSE2__) && defined(__GNUC__)
    asm("mulsd %1, %0" : "+x"(l) : "x"(r));
    return l;
#else
    return l * (l != l ? l : r);
#endif
}

// A NaN left operand yields the right one; ties (+0.0 against -0.0 too) keep the left.
inline double op_min(double l, double r) { return l != l ? r : (r < l ? r : l); }
inline double op_max(double l, double r) { return l != l ? r : (l < r ? r : l); }

inline double apply_unary(UnaryOp op, double x) {
    switch (op) {
        case UnaryOp::Neg: return op_neg(x);
        case UnaryOp::Abs: return op_abs(x);
        case UnaryOp::Sqrt: return std::sqrt(x);
        case UnaryOp::Log: return std::log(x);
        case UnaryOp::Exp: return std::exp(x);
        case UnaryOp::Log2: return std::log2(x);
        case UnaryOp::Log10: return std::log10(x);
        case UnaryOp::Floor: return op_floor(x);
        case UnaryOp::Ceil: return op_ceil(x);
        case UnaryOp::Round: return op_round(x);
        case UnaryOp::Sin: return std::sin(x);
        case UnaryOp::Cos: return std::cos(x);
        case UnaryOp::Tan: return std::tan(x);
    }
    fault("unknown unary operator code " + std::to_string(static_cast<int>(op)));
}

inline double apply_binary(BinaryOp op, double l, double r) {
    switch (op) {
        case BinaryOp::Add: return op_add(l, r);
        case BinaryOp::Sub: return l - r;
        case BinaryOp::Mul: return op_mul(l, r);
        case BinaryOp::Div: return l / r;
        case BinaryOp::Pow: return std::pow(l, r);
        case BinaryOp::Atan2: return std::atan2(l, r);
        case BinaryOp::Min: return op_min(l, r);
        case BinaryOp::Max: return op_max(l, r);
    }
    fault("unknown binary operator code " + std::to_string(static_cast<int>(op)));
}

inline double apply_compare(CompareOp op, double l, double r) {
    bool holds = false;
    switch (op) {
        case CompareOp::Gt: holds = l > r; break;
        case CompareOp::Ge: holds = l >= r; break;
        case CompareOp::Lt: holds = l < r; break;
        case CompareOp::Le: holds = l <= r; break;
        case CompareOp::Eq: holds = l == r; break;
        case CompareOp::Ne: holds = !(l == r); break;
        default: fault("unknown compare operator code " + std::to_string(static_cast<int>(op)));
    }
    return holds ? 1.0 : 0.0;
}

}  // namespace qv
