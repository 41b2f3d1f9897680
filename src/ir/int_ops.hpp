// The operators' meanings on int32 and int64 values, as NumPy's integer loops give them: sums,
// differences, products and negation wrap (computed in the unsigned type, where C++ defines
// the wrap); floor division and the remainders give 0 where NumPy does (a zero divisor; and
// MIN // -1 is MIN), powers by repeated squaring. Operators without an integer form (true
// division, the math library's functions, copysign, ...) compute ints as float64, as NumPy.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "ir/ops.hpp"

namespace qv {

// Whether an operator on integers gives integers (NumPy's loops for int32 and int64).
constexpr bool has_int_form(UnaryOp op) noexcept {
    switch (op) {
        case UnaryOp::Neg:
        case UnaryOp::Abs:
        case UnaryOp::Floor:
        case UnaryOp::Ceil:
        case UnaryOp::Round:
        case UnaryOp::Trunc:
        case UnaryOp::Sign:
        case UnaryOp::Square:
        case UnaryOp::Reciprocal:
        case UnaryOp::Positive:
        case UnaryOp::OnesLike: return true;
        default: return false;
    }
}
constexpr bool has_int_form(BinaryOp op) noexcept {
    switch (op) {
        case BinaryOp::Add:
        case BinaryOp::Sub:
        case BinaryOp::Mul:
        case BinaryOp::Pow:
        case BinaryOp::Min:
        case BinaryOp::Max:
        case BinaryOp::Fmod:
        case BinaryOp::Fmin:
        case BinaryOp::Fmax:
        case BinaryOp::Minimum:
        case BinaryOp::Maximum:
        case BinaryOp::Remainder:
        case BinaryOp::FloorDivide:
        case BinaryOp::LeftShift:
        case BinaryOp::RightShift: return true;
        default: return false;
    }
}

// A float converted to an integer type as NumPy's cast does on x86-64 (cvttsd2si): toward
// zero, and the type's minimum for NaN and for values out of range. Written out, since a C++
// conversion out of range is undefined.
template <std::signed_integral I, std::floating_point F>
constexpr I float_to_int(F x) noexcept {
    constexpr F bound = static_cast<F>(std::numeric_limits<I>::max()) + F(1);  // 2^31 or 2^63
    return x > -bound && x < bound ? static_cast<I>(x) : std::numeric_limits<I>::min();
}

template <std::signed_integral I>
constexpr I wrap_add(I l, I r) noexcept {
    using U = std::make_unsigned_t<I>;
    return static_cast<I>(static_cast<U>(static_cast<U>(l) + static_cast<U>(r)));
}
template <std::signed_integral I>
constexpr I wrap_sub(I l, I r) noexcept {
    using U = std::make_unsigned_t<I>;
    return static_cast<I>(static_cast<U>(static_cast<U>(l) - static_cast<U>(r)));
}
template <std::signed_integral I>
constexpr I wrap_mul(I l, I r) noexcept {
    using U = std::make_unsigned_t<I>;
    return static_cast<I>(static_cast<U>(static_cast<U>(l) * static_cast<U>(r)));
}

// NumPy's floor division: 0 by zero, MIN // -1 wraps to MIN.
template <std::signed_integral I>
constexpr I int_floor_divide(I a, I b) noexcept {
    if (b == 0) return 0;
    if (b == -1) return wrap_sub(I{0}, a);
    const I q = static_cast<I>(a / b);
    return (a % b != 0 && (a < 0) != (b < 0)) ? static_cast<I>(q - 1) : q;
}
// NumPy's remainder, with the sign of the divisor: 0 by zero and by -1.
template <std::signed_integral I>
constexpr I int_remainder(I a, I b) noexcept {
    if (b == 0 || b == -1) return 0;
    const I r = static_cast<I>(a % b);
    return (r != 0 && (r < 0) != (b < 0)) ? static_cast<I>(r + b) : r;
}
// C's truncated remainder (fmod), 0 by zero and by -1.
template <std::signed_integral I>
constexpr I int_fmod(I a, I b) noexcept {
    return b == 0 || b == -1 ? I{0} : static_cast<I>(a % b);
}
// Repeated squaring, wrapping, as NumPy; a negative exponent gives 1/base truncated (1 for 1,
// +-1 for -1, else 0): NumPy refuses it before computing, which the callers check.
template <std::signed_integral I>
constexpr I int_power(I base, I exp) noexcept {
    if (exp < 0) {
        if (base == 1) return 1;
        if (base == -1) return (exp & 1) != 0 ? I{-1} : I{1};
        return 0;
    }
    I result = 1;
    for (;;) {
        if ((exp & 1) != 0) result = wrap_mul(result, base);
        exp = static_cast<I>(exp >> 1);
        if (exp == 0) return result;
        base = wrap_mul(base, base);
    }
}

// NumPy's shifts: a count outside [0, width) (a negative one included) shifts every bit out.
template <std::signed_integral I>
constexpr I int_left_shift(I a, I count) noexcept {
    using U = std::make_unsigned_t<I>;
    if (static_cast<U>(count) >= sizeof(I) * 8) return 0;
    return static_cast<I>(static_cast<U>(static_cast<U>(a) << count));
}
template <std::signed_integral I>
constexpr I int_right_shift(I a, I count) noexcept {
    using U = std::make_unsigned_t<I>;
    if (static_cast<U>(count) >= sizeof(I) * 8) return a < 0 ? I{-1} : I{0};
    return static_cast<I>(a >> count);  // arithmetic: defined for negatives since C++20
}

template <UnaryOp Op, std::signed_integral I>
requires(has_int_form(Op)) constexpr I int_unary(I x) noexcept {
    if constexpr (Op == UnaryOp::Neg) {
        return wrap_sub(I{0}, x);
    } else if constexpr (Op == UnaryOp::Abs) {
        return x < 0 ? wrap_sub(I{0}, x) : x;
    } else if constexpr (Op == UnaryOp::Sign) {
        return static_cast<I>((x > 0) - (x < 0));
    } else if constexpr (Op == UnaryOp::Square) {
        return wrap_mul(x, x);
    } else if constexpr (Op == UnaryOp::Reciprocal) {
        return float_to_int<I>(1.0 / static_cast<double>(x));  // NumPy's: 1/0 gives MIN
    } else if constexpr (Op == UnaryOp::OnesLike) {
        return 1;
    } else {
        return x;  // the roundings and positive: an integer is its own
    }
}

template <BinaryOp Op, std::signed_integral I>
requires(has_int_form(Op)) constexpr I int_binary(I l, I r) noexcept {
    if constexpr (Op == BinaryOp::Add) {
        return wrap_add(l, r);
    } else if constexpr (Op == BinaryOp::Sub) {
        return wrap_sub(l, r);
    } else if constexpr (Op == BinaryOp::Mul) {
        return wrap_mul(l, r);
    } else if constexpr (Op == BinaryOp::Pow) {
        return int_power(l, r);
    } else if constexpr (Op == BinaryOp::Fmod) {
        return int_fmod(l, r);
    } else if constexpr (Op == BinaryOp::Remainder) {
        return int_remainder(l, r);
    } else if constexpr (Op == BinaryOp::FloorDivide) {
        return int_floor_divide(l, r);
    } else if constexpr (Op == BinaryOp::LeftShift) {
        return int_left_shift(l, r);
    } else if constexpr (Op == BinaryOp::RightShift) {
        return int_right_shift(l, r);
    } else if constexpr (Op == BinaryOp::Min || Op == BinaryOp::Fmin || Op == BinaryOp::Minimum) {
        return r < l ? r : l;
    } else {
        return l < r ? r : l;
    }
}

template <CompareOp Op, std::signed_integral I>
constexpr bool int_compare(I l, I r) noexcept {
    switch (Op) {
        case CompareOp::Gt: return l > r;
        case CompareOp::Ge: return l >= r;
        case CompareOp::Lt: return l < r;
        case CompareOp::Le: return l <= r;
        case CompareOp::Eq: return l == r;
        case CompareOp::Ne: return l != r;
    }
    return false;
}

}  // namespace qv
