// Complex arithmetic with NumPy's values on this platform: its formulas, written out with the
// same roundings (not std::complex's operators, whose multiplication recovers NaNs otherwise and
// whose division scales otherwise).
#pragma once

#include <cmath>
#include <limits>

#include "ir/value_type.hpp"

namespace qv {

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

}  // namespace qv
