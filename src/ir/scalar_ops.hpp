// The numeric meaning of every operator, shared by the flat interpreters and the tree evaluator
// so that a body gives the same bits whichever of them runs it.
#pragma once

#include <math.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "core/fault.hpp"
#include "ir/int_ops.hpp"
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

// A NaN quieted (its quiet bit set, as the library's and NumPy's roundings return it); any
// other value as it is. On the bits, so that the loops around it still vectorise.
inline double quieted(double x) {
    using namespace scalar_detail;
    const auto u = std::bit_cast<std::uint64_t>(x);
    const bool nan = (u & ~kSignBit) > 0x7ff0000000000000u;
    return std::bit_cast<double>(nan ? u | std::uint64_t{1} << 51 : u);
}

// Floor, ceiling and rounding work on the bits, so the result never depends on the rounding
// mode; values of magnitude 2^52 and above, infinities and NaN are already integral.
// round_toward<false> is the floor (toward minus infinity), round_toward<true> the ceiling.
template <bool Up>
inline double round_toward(double x) {
    using namespace scalar_detail;
    const auto u = std::bit_cast<std::uint64_t>(x);
    const int e = exponent_of(u);
    if (e >= 52) return quieted(x);
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

// Toward zero: the fraction bits cleared.
inline double op_trunc(double x) {
    using namespace scalar_detail;
    const auto u = std::bit_cast<std::uint64_t>(x);
    const int e = exponent_of(u);
    // Without branches, so that the loops vectorise: every bit below the sign cleared for
    // e < 0, none for e >= 52 (then a NaN is quieted).
    const std::uint64_t cleared = e < 0 ? ~kSignBit : fraction_mask(std::clamp(e, 0, 52));
    return quieted(std::bit_cast<double>(u & ~cleared));
}

// Halfway cases to the even neighbour, as rint in the default rounding mode, but decided on
// the bits so that a caller's rounding mode cannot change it.
inline double op_rint(double x) {
    using namespace scalar_detail;
    const auto u = std::bit_cast<std::uint64_t>(x);
    const int e = exponent_of(u);
    if (e >= 52) return quieted(x);
    const bool negative = (u & kSignBit) != 0;
    const double zero = negative ? -0.0 : 0.0;
    if (e < -1) return zero;
    if (e == -1) {  // 0.5 <= |x| < 1: exactly one half goes to the even zero
        if ((u & ~kSignBit) == std::bit_cast<std::uint64_t>(0.5)) return zero;
        return negative ? -1.0 : 1.0;
    }
    const std::uint64_t mask = fraction_mask(e);
    const double truncated = std::bit_cast<double>(u & ~mask);
    const std::uint64_t fraction = u & mask;
    const std::uint64_t half = std::uint64_t{1} << (51 - e);
    // truncated is an integer below 2^52, so the conversion is exact.
    const bool odd = (static_cast<std::int64_t>(truncated) & 1) != 0;
    if (fraction < half || (fraction == half && !odd)) return truncated;
    return negative ? truncated - 1.0 : truncated + 1.0;
}

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

inline double op_sqrt(double x) { return std::sqrt(x); }
inline double op_log(double x) { return std::log(x); }
inline double op_exp(double x) { return std::exp(x); }
inline double op_log2(double x) { return std::log2(x); }
inline double op_log10(double x) { return std::log10(x); }
inline double op_sin(double x) { return std::sin(x); }
inline double op_cos(double x) { return std::cos(x); }
inline double op_tan(double x) { return std::tan(x); }
inline double op_tanh(double x) { return std::tanh(x); }
inline double op_arcsin(double x) { return std::asin(x); }
inline double op_arccos(double x) { return std::acos(x); }
inline double op_arctan(double x) { return std::atan(x); }
inline double op_arcsinh(double x) { return std::asinh(x); }
inline double op_arccosh(double x) { return std::acosh(x); }
inline double op_arctanh(double x) { return std::atanh(x); }
inline double op_sinh(double x) { return std::sinh(x); }
inline double op_cosh(double x) { return std::cosh(x); }
inline double op_expm1(double x) { return std::expm1(x); }
inline double op_log1p(double x) { return std::log1p(x); }
inline double op_cbrt(double x) { return std::cbrt(x); }
inline double op_exp2(double x) { return std::exp2(x); }

inline double op_sub(double l, double r) { return l - r; }
inline double op_div(double l, double r) { return l / r; }
inline double op_pow(double l, double r) { return std::pow(l, r); }
inline double op_atan2(double l, double r) { return std::atan2(l, r); }
inline double op_hypot(double l, double r) { return std::hypot(l, r); }
inline double op_fmod(double l, double r) { return std::fmod(l, r); }
inline double op_nextafter(double l, double r) { return std::nextafter(l, r); }
// The sign bit of r on l, NaN payloads kept.
inline double op_copysign(double l, double r) { return std::copysign(l, r); }

// NumPy's own functions, as NumPy 2 computes them for float64 (its scalar and vector loops
// agree on these), with the same operations in the same order so that every bit matches.

// Zero for either zero, the NaN itself for a NaN.
inline double op_sign(double x) { return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : (x == 0.0 ? 0.0 : x)); }
inline double op_square(double x) { return x * x; }
inline double op_reciprocal(double x) { return 1.0 / x; }
inline double op_positive(double x) { return x; }
inline double op_ones_like(double) { return 1.0; }
// The logical operators on the float64 surface's truths (and constants): nonzero is true. Bools
// and integers have their own loops, on the bits (elementwise.hpp).
inline double op_invert(double x) { return x == 0.0 ? 1.0 : 0.0; }
inline double op_bitwise_and(double l, double r) { return l != 0.0 && r != 0.0 ? 1.0 : 0.0; }
inline double op_bitwise_or(double l, double r) { return l != 0.0 || r != 0.0 ? 1.0 : 0.0; }
inline double op_bitwise_xor(double l, double r) { return (l != 0.0) != (r != 0.0) ? 1.0 : 0.0; }
// Of a real number; complex values have their own kernels (compiler/complex_elementwise.hpp).
inline double op_real(double x) { return x; }
inline double op_imag(double) { return 0.0; }
inline double op_conj(double x) { return x; }
// Shifts take integers alone (floats are refused before computing): Python ints folded, as int64.
inline double op_left_shift(double l, double r) {
    return static_cast<double>(
        int_left_shift(float_to_int<std::int64_t>(l), float_to_int<std::int64_t>(r)));
}
inline double op_right_shift(double l, double r) {
    return static_cast<double>(
        int_right_shift(float_to_int<std::int64_t>(l), float_to_int<std::int64_t>(r)));
}
inline double op_degrees(double x) { return x * (180.0 / 3.141592653589793238462643383279502884); }
inline double op_radians(double x) { return x * (3.141592653589793238462643383279502884 / 180.0); }

// The predicates read the bits, so that no comparison can raise on a signalling NaN.
inline double op_signbit(double x) {
    return (std::bit_cast<std::uint64_t>(x) & scalar_detail::kSignBit) != 0 ? 1.0 : 0.0;
}
inline double op_isnan(double x) {
    return (std::bit_cast<std::uint64_t>(x) & ~scalar_detail::kSignBit) > 0x7ff0000000000000u ? 1.0
                                                                                              : 0.0;
}
inline double op_isinf(double x) {
    return (std::bit_cast<std::uint64_t>(x) & ~scalar_detail::kSignBit) == 0x7ff0000000000000u
               ? 1.0
               : 0.0;
}
inline double op_isfinite(double x) {
    return (std::bit_cast<std::uint64_t>(x) & ~scalar_detail::kSignBit) < 0x7ff0000000000000u ? 1.0
                                                                                              : 0.0;
}

// NumPy's minimum and maximum: a NaN wins (the left one when both are), and of equal operands
// (+0.0 and -0.0 too) the right one.
inline double op_minimum(double l, double r) { return (l < r || l != l) ? l : r; }
inline double op_maximum(double l, double r) { return (l > r || l != l) ? l : r; }
// fmin and fmax are the math library's: a NaN loses to a number. The compiler may turn them
// into min and max instructions, which the C standard allows but which order +0.0 and -0.0
// otherwise than the library; called through a pointer it cannot see through, they give the
// library's bits.
namespace scalar_detail {
inline double (*const volatile fmin_entry)(double, double) = ::fmin;
inline double (*const volatile fmax_entry)(double, double) = ::fmax;
}  // namespace scalar_detail
inline double op_fmin(double l, double r) { return scalar_detail::fmin_entry(l, r); }
inline double op_fmax(double l, double r) { return scalar_detail::fmax_entry(l, r); }

// NumPy's divmod of a by b (npy_divmod), for a nonzero b: the floored quotient, and the
// remainder with the sign of b. fmod is exact; the quotient (a - mod) / b is nearly an
// integer and is snapped to the nearest one.
struct FlooredDivision {
    double quotient;
    double remainder;
};
inline FlooredDivision floored_division(double a, double b) {
    double mod = std::fmod(a, b);
    double div = (a - mod) / b;
    if (mod != 0.0) {
        if ((b < 0.0) != (mod < 0.0)) {
            mod += b;  // neither is NaN here
            div -= 1.0;
        }
    } else {
        mod = std::copysign(0.0, b);
    }
    double floordiv;
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, a / b);
    }
    return {floordiv, mod};
}
// Of two NaNs, the remainder is the one NumPy's build of fmod (the x87 remainder instruction)
// returns: both quieted, the larger significand, and of equal ones the positive sign if either
// has it. Over a zero divisor NumPy returns fmod's NaN.
inline double nan_of_x87_remainder(double a, double b) {
    using namespace scalar_detail;
    constexpr std::uint64_t kQuiet = std::uint64_t{1} << 51;
    const std::uint64_t ua = std::bit_cast<std::uint64_t>(a) | kQuiet;
    const std::uint64_t ub = std::bit_cast<std::uint64_t>(b) | kQuiet;
    const std::uint64_t sa = ua & ~kSignBit, sb = ub & ~kSignBit;
    if (sa != sb) return std::bit_cast<double>(sa > sb ? ua : ub);
    return std::bit_cast<double>(ua & ub);
}
inline double op_remainder(double a, double b) {
    if (a != a && b != b) return nan_of_x87_remainder(a, b);
    return b == 0.0 ? std::fmod(a, b) : floored_division(a, b).remainder;
}
inline double op_floor_divide(double a, double b) {
    return b == 0.0 ? a / b : floored_division(a, b).quotient;
}

// NumPy's logaddexp and logaddexp2 (npy_logaddexp): equal operands (infinities included) add
// the constant; otherwise the larger plus the library's log1p of the library's exp (exp2) of
// the difference; a NaN difference is returned as it is.
inline double op_logaddexp(double x, double y) {
    constexpr double kLn2 = 0.693147180559945309417232121458176568;
    if (x == y) return x + kLn2;
    const double tmp = x - y;
    if (tmp > 0.0) return x + std::log1p(std::exp(-tmp));
    if (tmp <= 0.0) return y + std::log1p(std::exp(tmp));
    return tmp;
}
inline double op_logaddexp2(double x, double y) {
    constexpr double kLog2e = 1.442695040888963407359924681001892137;
    if (x == y) return x + 1.0;
    const double tmp = x - y;
    if (tmp > 0.0) return x + kLog2e * std::log1p(std::exp2(-tmp));
    if (tmp <= 0.0) return y + kLog2e * std::log1p(std::exp2(tmp));
    return tmp;
}

// NumPy's heaviside: any NaN x gives the default quiet NaN; zero gives h0 as it is.
// Its real part: a complex value is not a float64 (the compiler types it complex).
inline double op_complex(double l, double) { return l; }
inline double op_heaviside(double x, double h0) {
    if (x != x) return std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});
    if (x == 0.0) return h0;
    return x < 0.0 ? 0.0 : 1.0;
}

// Ne is the negation of Eq, so it holds when either side is NaN.
inline bool op_gt(double l, double r) { return l > r; }
inline bool op_ge(double l, double r) { return l >= r; }
inline bool op_lt(double l, double r) { return l < r; }
inline bool op_le(double l, double r) { return l <= r; }
inline bool op_eq(double l, double r) { return l == r; }
inline bool op_ne(double l, double r) { return !(l == r); }

// Dispatch by code, generated from the operator table. Unformatted: clang-format would join
// these definitions into one.
// clang-format off
#define QV_UNARY_ROW(name, code, scalar, ...) \
    case UnaryOp::name: return scalar(x);
#define QV_BINARY_ROW(name, code, scalar, ...) \
    case BinaryOp::name: return scalar(l, r);
#define QV_COMPARE_ROW(name, code, scalar, ...) \
    case CompareOp::name: return scalar(l, r) ? 1.0 : 0.0;
// clang-format on

inline double apply_unary(UnaryOp op, double x) {
    switch (op) { QV_UNARY_OPS(QV_UNARY_ROW, QV_UNARY_ROW) }
    fault("unknown unary operator code " + std::to_string(static_cast<int>(op)));
}

inline double apply_binary(BinaryOp op, double l, double r) {
    switch (op) { QV_BINARY_OPS(QV_BINARY_ROW, QV_BINARY_ROW) }
    fault("unknown binary operator code " + std::to_string(static_cast<int>(op)));
}

inline double apply_compare(CompareOp op, double l, double r) {
    switch (op) { QV_COMPARE_OPS(QV_COMPARE_ROW) }
    fault("unknown compare operator code " + std::to_string(static_cast<int>(op)));
}

#undef QV_UNARY_ROW
#undef QV_BINARY_ROW
#undef QV_COMPARE_ROW

}  // namespace qv
