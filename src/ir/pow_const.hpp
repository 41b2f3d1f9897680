// x ** c for a few constant exponents at the price of a few multiplications, with pow's bits.
//
// The argument. Where the platform's pow errs by at most B ulp(z) at the exact z = x**c, let d
// be a double with mantissa bits not all zero (so both neighbours of d lie one ulp(d) away). If
// |z - d| < (1 - B) ulp(d), then z lies in d's binade and every other double p is more than
// B ulp(d) = B ulp(z) from z, which such a pow cannot return: pow(x, c) == d.
// glibc 2.28 and later documents B as ulperr_exp + |c ln x| relerr_log 2^53, with ulperr_exp at
// most 0.511 and relerr_log at most 1.5 * 2^-68 (the figures without fma; with it both are
// lower), 0.54 ULP at worst (|c ln x| = 1024 ln 2). For |x| in [2^-16, 2^16] and |c| <= 4,
// |c ln x| < 44.4 and B < 0.511 + 0.0021 < 0.5131, so residuals below 0.4869 ulp prove a lane;
// elsewhere in range B < 0.54 and residuals below 0.46 ulp do.
// A candidate computes d and its residual z - d (exactly, from Dekker's error-free product, or
// to within 2^-49 ulp(d) where marked), and answers NaN when it cannot prove the lane: the
// caller then calls pow for it. Powers of two are never proven (the gap below them is half the
// gap above). Each candidate works only on a range of x whose results and residuals are normal
// numbers, so that zero, subnormal, huge, infinite and NaN inputs, negative bases of a square
// root, and results that would underflow or overflow all go to pow.
// Round-to-nearest is assumed, as everywhere in the engine.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace qv {

enum class PowExponent : std::uint8_t { Zero, Half, One, Two, Three, Four, MinusOne };
inline constexpr int kPowExponentCount = 7;

// The exponents with a candidate; +0.0 and -0.0 both count as Zero.
inline std::optional<PowExponent> pow_exponent_of(double c) {
    if (c == 0.0) return PowExponent::Zero;
    if (c == 0.5) return PowExponent::Half;
    if (c == 1.0) return PowExponent::One;
    if (c == 2.0) return PowExponent::Two;
    if (c == 3.0) return PowExponent::Three;
    if (c == 4.0) return PowExponent::Four;
    if (c == -1.0) return PowExponent::MinusOne;
    return std::nullopt;
}

inline constexpr double exponent_value(PowExponent e) {
    constexpr double values[kPowExponentCount] = {0.0, 0.5, 1.0, 2.0, 3.0, 4.0, -1.0};
    return values[static_cast<int>(e)];
}

// True where the platform's pow is known to err as above; elsewhere every lane calls pow. Read once
// from the C library at run time.
bool pow_bound_known() noexcept;

namespace pow_detail {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Residual bounds in ulp(d) that prove a lane, for |x| in [2^-16, 2^16] and elsewhere; those
// for residuals known to within 2^-49 ulp are a little lower.
struct Bounds {
    double near_one, wide;
};
inline constexpr Bounds kExact{0.4869, 0.46};
inline constexpr Bounds kNear{0.4868, 0.4599};

// The error of the product p = fl(a * b), exactly, when |a|, |b| < 2^990 and the exponents of
// a and b add to at least -960: one fused multiply-add where the caller's loops have the
// instruction, Dekker's product with Veltkamp's split elsewhere. Both give the same value.
template <bool Fma>
[[gnu::always_inline]] inline double product_error(double a, double b, double p) {
    if constexpr (Fma) return std::fma(a, b, -p);
    constexpr double split = 134217729.0;  // 2^27 + 1
    const double ta = split * a, tb = split * b;
    const double ah = ta - (ta - a), bh = tb - (tb - b);
    const double al = a - ah, bl = b - bh;
    return (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
}

inline bool within(double x, double lo, double hi) {
    const double m = std::fabs(x);
    return (m >= lo) & (m <= hi);  // false for NaN
}

// d where x was in range, d is no power of two and |residual| is below x's bound in ulp(d); NaN
// otherwise. Written without branches (bitwise & on the conditions, a select for the bound),
// so that the loops vectorise; the values computed for lanes out of range are thrown away.
inline double proven(double d, double residual, double x, Bounds bounds, bool in_range) {
    const double bound = within(x, 0x1p-16, 0x1p16) ? bounds.near_one : bounds.wide;
    const auto bits = std::bit_cast<std::uint64_t>(d);
    const double binade = std::bit_cast<double>(bits & 0x7ff0000000000000ull);  // 2^exponent
    const bool ok = in_range & ((bits & 0x000fffffffffffffull) != 0) &
                    (std::fabs(residual) < bound * (binade * 0x1p-52));
    return ok ? d : kNaN;
}

// The double nearest t + rho (|rho| about an ulp of t) and its residual: t - d is exact
// (Sterbenz), the sum rounded once.
struct Corrected {
    double d, residual;
};
inline Corrected corrected(double t, double rho) {
    const double d = t + rho;
    return {d, (t - d) + rho};
}

}  // namespace pow_detail

// Fma: built for loops that have the fused multiply-add instruction (same results either way).
template <PowExponent E, bool Fma = false>
[[gnu::always_inline]] inline double pow_candidate(double x) {
    using namespace pow_detail;
    if constexpr (E == PowExponent::Zero) {
        // Not the bound: C99 Annex F has pow(x, +-0) = 1 for every x, NaN included; glibc turns
        // a signalling NaN into a quiet one instead, so NaN lanes call pow.
        return x == x ? 1.0 : kNaN;
    } else if constexpr (E == PowExponent::One) {
        // x**1 is x itself: residual 0.
        return proven(x, 0.0, x, kExact, within(x, 0x1p-1022, std::numeric_limits<double>::max()));
    } else if constexpr (E == PowExponent::Two) {
        const double d = x * x;
        return proven(d, product_error<Fma>(x, x, d), x, kExact, within(x, 0x1p-200, 0x1p200));
    } else if constexpr (E == PowExponent::Three) {
        // x^3 = (p + e1) x = t + e2 + e1 x: rho, with e1 x and the sum rounded, is within
        // 2^-50 ulp(t) of x^3 - t, and so is the residual of the corrected d.
        const double p = x * x, e1 = product_error<Fma>(x, x, p);
        const double t = p * x, e2 = product_error<Fma>(p, x, t);
        const Corrected c = corrected(t, e2 + e1 * x);
        return proven(c.d, c.residual, x, kNear, within(x, 0x1p-200, 0x1p200));
    } else if constexpr (E == PowExponent::Four) {
        // x^4 = (p + e1)^2 = t + e2 + 2 p e1 + e1^2; e1^2 < 2^-104 ulp(t) is left out, the rest
        // rounded twice: within 2^-50 ulp(t), and so is the residual of the corrected d.
        const double p = x * x, e1 = product_error<Fma>(x, x, p);
        const double t = p * p, e2 = product_error<Fma>(p, p, t);
        const Corrected c = corrected(t, e2 + (2.0 * p) * e1);
        return proven(c.d, c.residual, x, kNear, within(x, 0x1p-200, 0x1p200));
    } else if constexpr (E == PowExponent::MinusOne) {
        // 1/x - d = (1 - h - l) / x with h + l = d x exactly; 1 - h is exact (Sterbenz, h near
        // 1), the rest rounded twice: within 2^-51 of the residual.
        const double d = 1.0 / x;
        const double h = d * x, l = product_error<Fma>(d, x, h);
        return proven(d, ((1.0 - h) - l) / x, x, kNear, within(x, 0x1p-200, 0x1p200));
    } else {
        static_assert(E == PowExponent::Half);
        // sqrt(x) - s = (x - s^2) / (sqrt(x) + s) = (x - h - l) / (2 s) to within 2^-53 relative;
        // x - h is exact (Sterbenz), the rest rounded twice. Negative x, -0.0 and -inf, where
        // sqrt and pow differ, are outside the range.
        const double s = std::sqrt(std::fabs(x));
        const double h = s * s, l = product_error<Fma>(s, s, h);
        return proven(s, ((x - h) - l) / (2.0 * s), x, kNear, (x >= 0x1p-900) & (x <= 0x1p1000));
    }
}

}  // namespace qv
