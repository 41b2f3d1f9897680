// The C library's complex functions (csqrt, cexp, ..., cpow, and their float forms), which NumPy
// calls for its complex functions on this platform: found when the engine loads, as ctypes finds
// them, so that the loops give NumPy's very bits.
#pragma once

#include <string_view>
#include <type_traits>

#include "ir/ops.hpp"
#include "ir/value_type.hpp"

namespace qv {

// The C library's complex function of a unary row, or "" where NumPy computes the row's complex
// form by a formula of its own (log10, log1p, expm1) or by none.
constexpr std::string_view complex_libm_name(UnaryOp op) noexcept {
    switch (op) {
        case UnaryOp::Sqrt: return "csqrt";
        case UnaryOp::Exp: return "cexp";
        case UnaryOp::Log: return "clog";
        case UnaryOp::Sin: return "csin";
        case UnaryOp::Cos: return "ccos";
        case UnaryOp::Tan: return "ctan";
        case UnaryOp::Sinh: return "csinh";
        case UnaryOp::Cosh: return "ccosh";
        case UnaryOp::Tanh: return "ctanh";
        case UnaryOp::Arcsin: return "casin";
        case UnaryOp::Arccos: return "cacos";
        case UnaryOp::Arctan: return "catan";
        case UnaryOp::Arcsinh: return "casinh";
        case UnaryOp::Arccosh: return "cacosh";
        case UnaryOp::Arctanh: return "catanh";
        default: return "";
    }
}

// The entries in the C types they are defined with, so that calls pass values as the C
// library's ABI has them.
struct LibmComplex {
    __complex__ double (*c128[kUnaryOpCount])(__complex__ double);
    __complex__ float (*c64[kUnaryOpCount])(__complex__ float);
    __complex__ double (*cpow)(__complex__ double, __complex__ double);
    __complex__ float (*cpowf)(__complex__ float, __complex__ float);
};

namespace libm_detail {
extern const LibmComplex complex_entries;  // resolved once, when the engine loads
}

namespace libm_complex_detail {
// Between the engine's pairs and the C types (GCC's complex types take no template parameter).
inline __complex__ double packed(Complex<double> x) {
    __complex__ double z;
    __real__ z = x.re;
    __imag__ z = x.im;
    return z;
}
inline __complex__ float packed(Complex<float> x) {
    __complex__ float z;
    __real__ z = x.re;
    __imag__ z = x.im;
    return z;
}
inline Complex<double> unpacked(__complex__ double z) { return {__real__ z, __imag__ z}; }
inline Complex<float> unpacked(__complex__ float z) { return {__real__ z, __imag__ z}; }
}  // namespace libm_complex_detail

// The C library's complex function of row Op (csqrt for Sqrt, csqrtf for complex64).
// Entries of rows without one fault when called.
template <UnaryOp Op, class T>
Complex<T> libm_complex(Complex<T> x) {
    using namespace libm_complex_detail;
    const LibmComplex& e = libm_detail::complex_entries;
    if constexpr (std::is_same_v<T, float>) {
        return unpacked(e.c64[static_cast<int>(Op)](packed(x)));
    } else {
        return unpacked(e.c128[static_cast<int>(Op)](packed(x)));
    }
}

// The C library's cpow (cpowf for complex64).
template <class T>
Complex<T> libm_cpow(Complex<T> base, Complex<T> exponent) {
    using namespace libm_complex_detail;
    const LibmComplex& e = libm_detail::complex_entries;
    if constexpr (std::is_same_v<T, float>) {
        return unpacked(e.cpowf(packed(base), packed(exponent)));
    } else {
        return unpacked(e.cpow(packed(base), packed(exponent)));
    }
}

}  // namespace qv
