// The complex functions and powers, as NumPy computes them on this platform: the C library's
// complex functions where NumPy calls them (csqrt, cexp, clog, the trigonometric and hyperbolic
// functions and their inverses; the float forms for complex64), NumPy's own formulas over the
// library's real functions for log10, log2, log1p, expm1, sign, rint and ones_like, and NumPy's
// power: its cases for zero exponents and bases, repeated plain products for small integer
// exponents, then cpow.
// Every operation is in the parts' type, as NumPy's C code computes it (no fused products:
// NumPy's math library is built without them).
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "compiler/complex_arithmetic.hpp"
#include "compiler/elementwise.hpp"
#include "ir/libm_complex.hpp"

namespace qv {

// The unary rows computed by the functions below.
constexpr bool has_complex_function(UnaryOp op) noexcept {
    return !complex_libm_name(op).empty() || op == UnaryOp::Log10 || op == UnaryOp::Log2 ||
           op == UnaryOp::Log1p || op == UnaryOp::Expm1 || op == UnaryOp::Sign ||
           op == UnaryOp::Rint || op == UnaryOp::OnesLike;
}

namespace complex_detail {

// The math library's real function of row Op in the parts' type (sinf for float).
template <UnaryOp Op, class T>
T real_fn(T x) {
    if constexpr (std::is_same_v<T, float>) {
        return UnaryFn<Op>::f32(x, x, x);
    } else {
        return UnaryFn<Op>::apply(x, x, x);
    }
}
template <BinaryOp Op, class T>
T real_fn(T l, T r) {
    if constexpr (std::is_same_v<T, float>) {
        return BinaryFn<Op>::f32(l, r, r);
    } else {
        return BinaryFn<Op>::apply(l, r, r);
    }
}

// NumPy's product inside its power: both parts rounded from rounded products.
template <class T>
Complex<T> plain_mul(Complex<T> a, Complex<T> b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

}  // namespace complex_detail

// log10 and log2: clog's parts each times NumPy's constant log10(e) or log2(e), written as a
// literal of the parts' type (rounded once).
template <UnaryOp Op, class T>
Complex<T> scaled_log(Complex<T> x) {
    constexpr bool f = std::is_same_v<T, float>;
    constexpr T c = Op == UnaryOp::Log10 ? (f ? T(0.434294481903251827651128918916605082f)
                                              : T(0.434294481903251827651128918916605082))
                                         : (f ? T(1.442695040888963407359924681001892137f)
                                              : T(1.442695040888963407359924681001892137));
    const Complex<T> l = libm_complex<UnaryOp::Log>(x);
    return {l.re * c, l.im * c};
}

// log1p: log(hypot(re + 1, im)) + i atan2(im, re + 1).
template <class T>
Complex<T> complex_log1p(Complex<T> x) {
    using namespace complex_detail;
    const T re1 = x.re + T{1};
    const T l = real_fn<BinaryOp::Hypot>(re1, x.im);
    return {real_fn<UnaryOp::Log>(l), real_fn<BinaryOp::Atan2>(x.im, re1)};
}

// expm1: expm1(re) cos(im) - 2 sin(im/2)^2 + i exp(re) sin(im).
template <class T>
Complex<T> complex_expm1(Complex<T> x) {
    using namespace complex_detail;
    const T a = real_fn<UnaryOp::Sin>(x.im / T{2});
    return {real_fn<UnaryOp::Expm1>(x.re) * real_fn<UnaryOp::Cos>(x.im) - T{2} * a * a,
            real_fn<UnaryOp::Exp>(x.re) * real_fn<UnaryOp::Sin>(x.im)};
}

// sign: x / |x| with the magnitude from hypot; NaN where it is NaN; of an infinite x, the unit
// along its infinite part (NaN where both are); 0 of 0.
template <class T>
Complex<T> complex_sign(Complex<T> x) {
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const T m = complex_detail::real_fn<BinaryOp::Hypot>(x.re, x.im);
    if (std::isnan(m)) return {nan, nan};
    if (std::isinf(m)) {
        if (std::isinf(x.re)) {
            if (std::isinf(x.im)) return {nan, nan};
            return {x.re > T{0} ? T{1} : T{-1}, T{0}};
        }
        return {T{0}, x.im > T{0} ? T{1} : T{-1}};
    }
    if (m == T{0}) return {T{0}, T{0}};
    return {x.re / m, x.im / m};
}

// The complex function of row Op.
template <UnaryOp Op, class T>
requires(has_complex_function(Op)) Complex<T> complex_function(Complex<T> x) {
    using complex_detail::real_fn;
    if constexpr (Op == UnaryOp::Log10 || Op == UnaryOp::Log2) {
        return scaled_log<Op>(x);
    } else if constexpr (Op == UnaryOp::Sign) {
        return complex_sign(x);
    } else if constexpr (Op == UnaryOp::Rint) {
        return {real_fn<UnaryOp::Rint>(x.re), real_fn<UnaryOp::Rint>(x.im)};
    } else if constexpr (Op == UnaryOp::OnesLike) {
        return {T{1}, T{0}};
    } else if constexpr (Op == UnaryOp::Log1p) {
        return complex_log1p(x);
    } else if constexpr (Op == UnaryOp::Expm1) {
        return complex_expm1(x);
    } else {
        return libm_complex<Op>(x);
    }
}

// NumPy's power. A zero exponent gives 1 (a NaN base too); a zero base 0 where the exponent's
// real part is positive, else NaN; a real integer exponent of magnitude below 100 repeated
// products (by squaring; 1, 2 and 3 written out), of the reciprocal by Smith's quotient where it
// is negative; anything else cpow.
// Not inlined, as the quotient is not: vectorised into the loops, the products could round
// otherwise than NumPy's scalar code.
template <class T>
[[gnu::noinline]] Complex<T> complex_pow(Complex<T> a, Complex<T> b) {
    using complex_detail::plain_mul;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    if (b.re == T{0} && b.im == T{0}) return {T{1}, T{0}};
    if (a.re == T{0} && a.im == T{0}) {
        if (b.re > T{0}) return {T{0}, T{0}};
        return {nan, nan};
    }
    // NumPy converts the real part to an integer and compares; below 100 in magnitude that
    // is this test, and above it NumPy calls cpow too.
    if (b.im == T{0} && std::fabs(b.re) < T{100} && b.re == std::trunc(b.re)) {
        int n = static_cast<int>(b.re);
        if (n == 1) return a;
        if (n == 2) return plain_mul(a, a);
        if (n == 3) return plain_mul(a, plain_mul(a, a));
        if (n < 0) n = -n;
        Complex<T> r{T{1}, T{0}};
        Complex<T> p = a;
        for (int mask = 1;; mask <<= 1) {
            if ((n & mask) != 0) r = plain_mul(r, p);
            if (n < (mask << 1)) break;
            p = plain_mul(p, p);
        }
        return b.re < T{0} ? complex_div(Complex<T>{T{1}, T{0}}, r) : r;
    }
    return libm_cpow(a, b);
}

}  // namespace qv
