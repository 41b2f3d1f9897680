// The kernels over complex values, with NumPy's values on this platform: its formulas, written
// out with the same roundings (not std::complex's operators, whose multiplication recovers
// NaNs otherwise and whose division scales otherwise).
#pragma once

#include <cmath>

#include "compiler/elementwise.hpp"
#include "ir/value_type.hpp"

namespace qv {

// The operators with a complex form.
constexpr bool has_complex_form(UnaryOp op) noexcept {
    return op == UnaryOp::Neg || op == UnaryOp::Positive || op == UnaryOp::Abs ||
           op == UnaryOp::Real || op == UnaryOp::Imag || op == UnaryOp::Conj;
}
constexpr bool has_complex_form(BinaryOp op) noexcept {
    return op == BinaryOp::Add || op == BinaryOp::Sub || op == BinaryOp::Mul || op == BinaryOp::Div;
}
constexpr bool has_complex_form(CompareOp op) noexcept {
    return op == CompareOp::Eq || op == CompareOp::Ne;
}
// The unary operators whose value is real: a part, or the magnitude.
constexpr bool gives_part(UnaryOp op) noexcept {
    return op == UnaryOp::Abs || op == UnaryOp::Real || op == UnaryOp::Imag;
}

// Whether a complex number is nonzero (as a condition, or cast to bool): either part is.
template <class T>
constexpr bool nonzero(Complex<T> x) noexcept {
    return x.re != T{0} || x.im != T{0};
}

// NumPy's magnitude (its vector loop on this platform): the parts' magnitudes, an infinite part
// making both infinite and then a NaN one both NaN; then larger * sqrt(1 + ratio^2) with the
// ratio smaller / larger (0 when larger is zero or smaller infinite), the square and the sum
// fused. Its NaN is the default one.
template <class T>
T complex_abs(Complex<T> x) {
    const T inf = std::numeric_limits<T>::infinity();
    const T nan = std::numeric_limits<T>::quiet_NaN();
    T re = std::fabs(x.re), im = std::fabs(x.im);
    if (re == inf) im = inf;
    if (im == inf) re = inf;
    if (re != re || im != im) return nan;
    const T larger = re > im ? re : im;
    const T smaller = re > im ? im : re;
    const T ratio = larger == T{0} || smaller == inf ? T{0} : smaller / larger;
    return std::sqrt(std::fma(ratio, ratio, T{1})) * larger;
}

// NumPy's product on this platform (its vector loop with fused multiply-add):
// re = ar*br - ai*bi with ar*br unrounded, im = ar*bi + ai*br with ar*bi unrounded.
template <class T>
Complex<T> complex_mul(Complex<T> a, Complex<T> b) {
    return {std::fma(a.re, b.re, -(a.im * b.im)), std::fma(a.re, b.im, a.im * b.re)};
}

// NumPy's quotient: Smith's algorithm, dividing by the larger part of the divisor; over zero
// the parts divided by a zero.
// Not inlined: GCC 12 vectorising it into the loops gave some elements of a loop's remainder
// one ulp away (seen for complex128), which NumPy's scalar formula does not.
template <class T>
[[gnu::noinline]] Complex<T> complex_div(Complex<T> a, Complex<T> b) {
    const T br_abs = std::fabs(b.re), bi_abs = std::fabs(b.im);
    if (br_abs >= bi_abs) {
        if (br_abs == T{0} && bi_abs == T{0}) return {a.re / br_abs, a.im / br_abs};
        const T rat = b.im / b.re;
        const T scl = T{1} / (b.re + b.im * rat);
        return {(a.re + a.im * rat) * scl, (a.im - a.re * rat) * scl};
    }
    const T rat = b.re / b.im;
    const T scl = T{1} / (b.im + b.re * rat);
    return {(a.re * rat + a.im) * scl, (a.im * rat - a.re) * scl};
}

// The complex form of kernel F, where it has one: `apply` over Complex<T>.
template <class F>
struct ComplexForm {
    static constexpr bool exists = false;
};
template <UnaryOp Op>
requires(has_complex_form(Op)) struct ComplexForm<UnaryFn<Op>> {
    static constexpr bool exists = true;
    template <class T>
    static auto apply(Complex<T> x, Complex<T>, Complex<T>) {
        if constexpr (Op == UnaryOp::Neg) {
            return Complex<T>{-x.re, -x.im};
        } else if constexpr (Op == UnaryOp::Positive) {
            return x;
        } else if constexpr (Op == UnaryOp::Conj) {
            return Complex<T>{x.re, -x.im};
        } else if constexpr (Op == UnaryOp::Real) {
            return x.re;
        } else if constexpr (Op == UnaryOp::Imag) {
            return x.im;
        } else {
            static_assert(Op == UnaryOp::Abs, "a unary operator with a complex form");
            return complex_abs(x);
        }
    }
};
template <BinaryOp Op>
requires(has_complex_form(Op)) struct ComplexForm<BinaryFn<Op>> {
    static constexpr bool exists = true;
    template <class T>
    static Complex<T> apply(Complex<T> l, Complex<T> r, Complex<T>) {
        if constexpr (Op == BinaryOp::Add) {
            return {l.re + r.re, l.im + r.im};
        } else if constexpr (Op == BinaryOp::Sub) {
            return {l.re - r.re, l.im - r.im};
        } else if constexpr (Op == BinaryOp::Mul) {
            return complex_mul(l, r);
        } else {
            static_assert(Op == BinaryOp::Div, "a binary operator with a complex form");
            return complex_div(l, r);
        }
    }
};
template <CompareOp Op>
requires(has_complex_form(Op)) struct ComplexForm<AsBool<CompareFn<Op>>> {
    static constexpr bool exists = true;
    template <class T>
    static bool apply(Complex<T> l, Complex<T> r, Complex<T>) {
        const bool equal = l.re == r.re && l.im == r.im;
        return Op == CompareOp::Eq ? equal : !equal;
    }
};
template <>
struct ComplexForm<BlendFn> {
    static constexpr bool exists = true;
    template <class T>
    static Complex<T> apply(Complex<T> c, Complex<T> t, Complex<T> f) {
        return nonzero(c) ? t : f;
    }
};
template <>
struct ComplexForm<CopyFn> {
    static constexpr bool exists = true;
    template <class T>
    static Complex<T> apply(Complex<T> x, Complex<T>, Complex<T>) {
        return x;
    }
};

// complex(re, im): a step over real operands whose values are complex.
template <class F>
inline constexpr bool kMakesComplex = std::is_same_v<F, BinaryFn<BinaryOp::Complex>>;

// A value of one element type as NumPy's astype converts it to another: a real one becomes the
// real part; a complex one gives a real type its real part, and a bool whether it is nonzero;
// a float becomes an integer as x86 converts it.
template <class To, class From>
To convert(From x) {
    if constexpr (kIsComplex<To> && kIsComplex<From>) {
        using P = decltype(To::re);
        return To{static_cast<P>(x.re), static_cast<P>(x.im)};
    } else if constexpr (kIsComplex<From> && std::is_same_v<To, bool>) {
        return nonzero(x);
    } else if constexpr (kIsComplex<From>) {
        return convert<To>(x.re);
    } else if constexpr (std::is_integral_v<To> && !std::is_same_v<To, bool> &&
                         std::is_floating_point_v<From>) {
        return float_to_int<To>(x);
    } else {
        return static_cast<To>(x);  // to bool: nonzero (NaN is)
    }
}

}  // namespace qv
