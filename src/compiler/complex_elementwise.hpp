// The kernels over complex values, with NumPy's values on this platform.
#pragma once

#include <cmath>

#include "compiler/complex_arithmetic.hpp"
#include "compiler/complex_functions.hpp"
#include "compiler/elementwise.hpp"
#include "ir/half.hpp"
#include "ir/value_type.hpp"

namespace qv {

// The tests NumPy defines of complex values, answered as bools.
constexpr bool has_complex_test(UnaryOp op) noexcept {
    return op == UnaryOp::Isnan || op == UnaryOp::Isinf || op == UnaryOp::Isfinite;
}
// The operators with a complex form.
constexpr bool has_complex_form(UnaryOp op) noexcept {
    return op == UnaryOp::Neg || op == UnaryOp::Positive || op == UnaryOp::Abs ||
           op == UnaryOp::Real || op == UnaryOp::Imag || op == UnaryOp::Conj ||
           has_complex_function(op) || has_complex_test(op);
}
constexpr bool has_complex_form(BinaryOp op) noexcept {
    return op == BinaryOp::Add || op == BinaryOp::Sub || op == BinaryOp::Mul ||
           op == BinaryOp::Div || op == BinaryOp::Pow;
}
constexpr bool has_complex_form(CompareOp op) noexcept {
    return op == CompareOp::Eq || op == CompareOp::Ne;
}
// The unary operators whose value is real: a part, or the magnitude.
constexpr bool gives_part(UnaryOp op) noexcept {
    return op == UnaryOp::Abs || op == UnaryOp::Real || op == UnaryOp::Imag;
}

// The complex form of kernel F, where it has one: `apply` over Complex<T>.
template <class F>
struct ComplexForm {
    static constexpr bool exists = false;
};
template <UnaryOp Op>
requires(has_complex_form(Op) && !has_complex_test(Op)) struct ComplexForm<UnaryFn<Op>> {
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
        } else if constexpr (has_complex_function(Op)) {
            return complex_function<Op>(x);
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
        } else if constexpr (Op == BinaryOp::Pow) {
            return complex_pow(l, r);
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
// NumPy's tests: NaN or infinite where either part is, finite where both are.
template <UnaryOp Op>
requires(has_complex_test(Op)) struct ComplexForm<AsBool<UnaryFn<Op>>> {
    static constexpr bool exists = true;
    template <class T>
    static bool apply(Complex<T> x, Complex<T>, Complex<T>) {
        if constexpr (Op == UnaryOp::Isnan) {
            return std::isnan(x.re) || std::isnan(x.im);
        } else if constexpr (Op == UnaryOp::Isinf) {
            return std::isinf(x.re) || std::isinf(x.im);
        } else {
            return std::isfinite(x.re) && std::isfinite(x.im);
        }
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
// a float becomes an integer as x86 converts it; float16 as NumPy converts it (ir/half.hpp).
template <class To, class From>
To convert(From x) {
    if constexpr (std::is_same_v<To, Half>) {
        return float_to_half(x);  // from float32 only: the storage type's compute type
    } else if constexpr (std::is_same_v<From, Half>) {
        return static_cast<To>(half_to_float(x));
    } else if constexpr (kIsComplex<To> && kIsComplex<From>) {
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
