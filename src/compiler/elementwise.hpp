// What a step computes per element, for the operators of the table and the steps the compiler
// adds (blend, copy, constant powers). Each function object has an arity and an apply over
// three operands (those past the arity are ignored); the loop sets run them over blocks, and the
// compiler folds constants through the same apply, so both give the same bits. A kernel with a
// float32 form has `f32` too; the others have float64 loops alone.
//
// Integer forms (`integer`, over int32 and int64): the operators with NumPy integer loops, as
// ir/int_ops.hpp defines them.
//
// float32 forms: the math library's rows call its float32 functions; + - * / are float
// arithmetic, - abs copysign the sign bit; every other row is its float64 function on the
// operands widened, rounded back. That is exact: comparisons, min and max and the roundings to
// integers give values a float32 holds, and sqrt through float64 rounds once more without
// changing the result (53 >= 2 * 24 + 2 bits, so the double rounding is innocuous). A NaN they
// give is quieted, as the widening would quiet it, so that it cannot depend on whether the
// compiler removes the round trip (it may, assuming no signalling NaN).
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ir/int_ops.hpp"
#include "ir/libm_entries.hpp"
#include "ir/libm_f32.hpp"
#include "ir/ops.hpp"
#include "ir/pow_const.hpp"
#include "ir/scalar_ops.hpp"
#include "ir/value_type.hpp"

namespace qv {

// A NaN quieted (its payload kept); any other value as it is.
inline float quieted(float x) { return x != x ? x + x : x; }

// The math-library functions that go through the entries that skip the library's errno
// wrappers (same bits); every other operator is its scalar function.
template <UnaryOp Op>
struct UnaryFn {
    static constexpr int arity = 1;
    static double apply(double x, double, double) {
        if constexpr (Op == UnaryOp::Exp) {
            return libm_entries().exp(x);
        } else if constexpr (Op == UnaryOp::Log) {
            return libm_entries().log(x);
        } else if constexpr (Op == UnaryOp::Log10) {
            return libm_entries().log10(x);
        } else {
            return apply_unary(Op, x);
        }
    }
    static float f32(float x, float, float) {
        if constexpr (op_calls_libm(Op)) {
            return libm_f32().unary[static_cast<int>(Op)](x);
        } else if constexpr (Op == UnaryOp::Neg) {
            return -x;
        } else if constexpr (Op == UnaryOp::Abs) {
            return std::fabs(x);
        } else {
            return quieted(static_cast<float>(apply_unary(Op, x)));
        }
    }
    // Over bools and integers, on their bits: ~ of a bool is "not", as in NumPy.
    template <std::integral T>
    requires(op_is_bitwise(Op)) static T bits(T x, T, T) {
        if constexpr (std::is_same_v<T, bool>) {
            return !x;
        } else {
            return static_cast<T>(~x);
        }
    }
    template <std::signed_integral I>
    requires(has_int_form(Op)) static I integer(I x, I, I) { return int_unary<Op>(x); }
};
template <BinaryOp Op>
struct BinaryFn {
    static constexpr int arity = 2;
    static double apply(double l, double r, double) {
        if constexpr (Op == BinaryOp::Pow) {
            return libm_entries().pow(l, r);
        } else if constexpr (Op == BinaryOp::Atan2) {
            return libm_entries().atan2(l, r);
        } else {
            return apply_binary(Op, l, r);
        }
    }
    // Sums and products pin the NaN they carry to the left one, as op_add and op_mul do,
    // whichever operand order the compiler gives the instruction.
    static float f32(float l, float r, float) {
        if constexpr (op_calls_libm(Op)) {
            return libm_f32().binary[static_cast<int>(Op)](l, r);
        } else if constexpr (Op == BinaryOp::Add) {
            return l + (l != l ? l : r);
        } else if constexpr (Op == BinaryOp::Mul) {
            return l * (l != l ? l : r);
        } else if constexpr (Op == BinaryOp::Sub) {
            return l - r;
        } else if constexpr (Op == BinaryOp::Div) {
            return l / r;
        } else if constexpr (Op == BinaryOp::Copysign) {
            return std::copysign(l, r);
        } else {
            return quieted(static_cast<float>(apply_binary(Op, l, r)));
        }
    }
    // Over bools and integers, on their bits (byte-wise for bools, which the loops vectorise).
    template <std::integral T>
    requires(op_is_bitwise(Op)) static T bits(T l, T r, T) {
        if constexpr (Op == BinaryOp::BitwiseAnd) {
            return static_cast<T>(l & r);
        } else if constexpr (Op == BinaryOp::BitwiseOr) {
            return static_cast<T>(l | r);
        } else {
            return static_cast<T>(l ^ r);
        }
    }
    template <std::signed_integral I>
    requires(has_int_form(Op)) static I integer(I l, I r, I) { return int_binary<Op>(l, r); }
};
template <CompareOp Op>
struct CompareFn {
    static constexpr int arity = 2;
    static double apply(double l, double r, double) { return apply_compare(Op, l, r); }
    static float f32(float l, float r, float) {
        return static_cast<float>(apply_compare(Op, l, r));
    }
    template <std::signed_integral I>
    static I integer(I l, I r, I) {
        return int_compare<Op>(l, r);
    }
};
// An operator whose value is a truth (a comparison or a predicate), answered as a bool, as
// NumPy answers it; its loops write 1.0 and 0.0 as true and false.
template <class Fn>
struct AsBool : Fn {
    static constexpr bool gives_bool = true;
};
// A predicate of the operand's own bits, without a branch so that the loops vectorise (signbit
// of random signs mispredicts half the time otherwise). The same answers as op_isnan and the
// others: a float32 widens keeping NaN, infinity and its sign.
template <UnaryOp Op>
struct AsBool<UnaryFn<Op>> : UnaryFn<Op> {
    static constexpr bool gives_bool = true;
    template <class U, U kSign, U kInf>
    static bool test(U bits) {
        const U magnitude = bits & ~kSign;
        if constexpr (Op == UnaryOp::Signbit) {
            return (bits & kSign) != 0;
        } else if constexpr (Op == UnaryOp::Isnan) {
            return magnitude > kInf;
        } else if constexpr (Op == UnaryOp::Isinf) {
            return magnitude == kInf;
        } else {
            static_assert(Op == UnaryOp::Isfinite, "a predicate of the table");
            return magnitude < kInf;
        }
    }
    static double apply(double x, double, double) {
        return test<std::uint64_t, 0x8000000000000000u, 0x7ff0000000000000u>(
            std::bit_cast<std::uint64_t>(x));
    }
    static float f32(float x, float, float) {
        return test<std::uint32_t, 0x80000000u, 0x7f800000u>(std::bit_cast<std::uint32_t>(x));
    }
};
// A Select whose branches are plain values: -0.0 and +0.0 choose if_false, NaN if_true.
struct BlendFn {
    static constexpr int arity = 3;
    static double apply(double c, double t, double f) { return c != 0.0 ? t : f; }
    static float f32(float c, float t, float f) { return c != 0.0f ? t : f; }
    template <std::signed_integral I>
    static I integer(I c, I t, I f) {
        return c != 0 ? t : f;
    }
};
struct CopyFn {
    static constexpr int arity = 1;
    static double apply(double x, double, double) { return x; }
    static float f32(float x, float, float) { return x; }
    template <std::signed_integral I>
    static I integer(I x, I, I) {
        return x;
    }
};
// The operand, of type From, converted to the step's type as NumPy's astype converts it.
template <ValueType From>
struct CastFn {
    static constexpr int arity = 1;
    static constexpr ValueType from = From;
    static double apply(double x, double, double) { return x; }
};

// x ** c for a constant c: the candidate where it proves pow's result, pow itself elsewhere.
// Fma: whether the loop set running it has fused multiply-add (the same bits either way).
template <PowExponent E>
struct PowConstFn {
    static constexpr int arity = 1;
    template <bool Fma>
    static double candidate(double x) {
        return pow_candidate<E, Fma>(x);
    }
    // Through the entry, which the compiler cannot see into: with a constant exponent it
    // rewrites pow(x, 1.0) into x and pow(x, 2.0) into x * x, which are not always pow's bits.
    static double fallback(double x) { return libm_entries().pow(x, exponent); }
    static constexpr double exponent = exponent_value(E);
    template <bool Fma = false>
    static double apply(double x, double, double) {
        const double d = candidate<Fma>(x);
        return d == d ? d : fallback(x);
    }
};

// A family of kernels: `count` function objects, Fn<0> to Fn<count - 1>.
struct UnaryKernels {
    static constexpr std::size_t count = kUnaryOpCount;
    template <std::size_t K>
    using Fn = UnaryFn<static_cast<UnaryOp>(K)>;
};
struct BinaryKernels {
    static constexpr std::size_t count = kBinaryOpCount;
    template <std::size_t K>
    using Fn = BinaryFn<static_cast<BinaryOp>(K)>;
};
struct CompareKernels {
    static constexpr std::size_t count = kCompareOpCount;
    template <std::size_t K>
    using Fn = CompareFn<static_cast<CompareOp>(K)>;
};
struct BoolCompareKernels {
    static constexpr std::size_t count = kCompareOpCount;
    template <std::size_t K>
    using Fn = AsBool<CompareFn<static_cast<CompareOp>(K)>>;
};
// The unary predicates answered as bools, numbered in the order of their codes.
struct BoolPredicateKernels {
    static constexpr std::size_t count = [] {
        std::size_t n = 0;
        for (std::size_t k = 0; k < kUnaryOpCount; ++k)
            n += op_is_predicate(static_cast<UnaryOp>(k));
        return n;
    }();
    static constexpr std::array<UnaryOp, count> ops = [] {
        std::array<UnaryOp, count> a{};
        std::size_t n = 0;
        for (std::size_t k = 0; k < kUnaryOpCount; ++k) {
            if (op_is_predicate(static_cast<UnaryOp>(k))) a[n++] = static_cast<UnaryOp>(k);
        }
        return a;
    }();
    template <std::size_t K>
    using Fn = AsBool<UnaryFn<ops[K]>>;
    // The kernel number of predicate `op` within the family.
    static constexpr std::size_t index(UnaryOp op) {
        std::size_t k = 0;
        while (k < count && ops[k] != op) ++k;
        return k;
    }
};
struct BlendKernels {
    static constexpr std::size_t count = 1;
    template <std::size_t>
    using Fn = BlendFn;
};
struct CopyKernels {
    static constexpr std::size_t count = 1;
    template <std::size_t>
    using Fn = CopyFn;
};
struct CastKernels {
    static constexpr std::size_t count = kValueTypeCount;
    template <std::size_t K>
    using Fn = CastFn<static_cast<ValueType>(K)>;
};
struct PowConstKernels {
    static constexpr std::size_t count = kPowExponentCount;
    template <std::size_t K>
    using Fn = PowConstFn<static_cast<PowExponent>(K)>;
};

}  // namespace qv
