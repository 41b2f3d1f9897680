// The operator table: the one list of the engine's operators. One row per operator carries
// everything about it, and everything else is generated from the rows: the enums and their
// names (as repr prints them), the scalar semantics dispatch (scalar_ops.hpp), the cost and
// math-library accessors below, the kernel object's functions with their signatures (the
// binding layer), and the table that the native face exports, from which the package builds
// its node codes, the formula text's parser and the text form. Adding an operator is one row
// here and its scalar function in scalar_ops.hpp; the tests walk the exported table, so they
// fail until the Python reference (and, for a kernel function, the stubs) knows it. The
// compiler's select strategy reads op_cost, and the executor's loops are generated per row.
//
// OP(Name, code, scalar, cost, libm, spellings, doc) is an operator reached through a Python
// operator or the formula text; FN(Name, code, scalar, cost, libm, spellings, doc, function,
// parameters...) is also a function of the kernel object. The first three positions never
// move: users of the rows that need no more take the rest as `...`.
//   code       fixed: the op byte stores it and the cache key hashes it.
//   scalar     its meaning on one value (scalar_ops.hpp).
//   cost       Cheap or Call (OpCost below).
//   libm       the C math library function whose bits it gives, or nullptr where IEEE
//              arithmetic defines the result.
//   spellings  its names in formula text, separated by spaces; the text form writes the first.
//              A symbol stands between its operands, or before its one operand.
//   doc        its meaning in one line.
// Rows with a kernel function stand in the order of the kernel object's method table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#define QV_UNARY_OPS(OP, FN)                                                                      \
    OP(Neg, 0, op_neg, Cheap, nullptr, "- negative",                                              \
       "Negation: the sign bit flipped, NaN payloads kept.")                                      \
    FN(Sqrt, 2, op_sqrt, Cheap, nullptr, "sqrt", "Square root, correctly rounded.", sqrt, expr)   \
    FN(Abs, 1, op_abs, Cheap, nullptr, "abs absolute fabs",                                       \
       "Absolute value: the sign bit cleared.", abs, expr)                                        \
    FN(Log, 3, op_log, Call, "log", "log", "Natural logarithm.", log, expr)                       \
    FN(Exp, 4, op_exp, Call, "exp", "exp", "e raised to the power of x.", exp, expr)              \
    FN(Log2, 5, op_log2, Call, "log2", "log2", "Base-2 logarithm.", log2, expr)                   \
    FN(Log10, 6, op_log10, Call, "log10", "log10", "Base-10 logarithm.", log10, expr)             \
    FN(Floor, 7, op_floor, Cheap, nullptr, "floor", "The largest integer not above x.", floor,    \
       expr)                                                                                      \
    FN(Ceil, 8, op_ceil, Cheap, nullptr, "ceil", "The smallest integer not below x.", ceil, expr) \
    FN(Round, 9, op_round, Cheap, nullptr, "kernel_round",                                        \
       "The nearest integer, halfway cases away from zero.", round, expr)                         \
    FN(Sin, 10, op_sin, Call, "sin", "sin", "Sine of an angle in radians.", sin, expr)            \
    FN(Cos, 11, op_cos, Call, "cos", "cos", "Cosine of an angle in radians.", cos, expr)          \
    FN(Tan, 12, op_tan, Call, "tan", "tan", "Tangent of an angle in radians.", tan, expr)         \
    OP(Tanh, 13, op_tanh, Call, "tanh", "tanh", "Hyperbolic tangent.")                            \
    OP(Arcsin, 14, op_arcsin, Call, "asin", "arcsin asin", "Inverse sine, in radians.")           \
    OP(Arccos, 15, op_arccos, Call, "acos", "arccos acos", "Inverse cosine, in radians.")         \
    OP(Arctan, 16, op_arctan, Call, "atan", "arctan atan", "Inverse tangent, in radians.")        \
    OP(Arcsinh, 17, op_arcsinh, Call, "asinh", "arcsinh asinh", "Inverse hyperbolic sine.")       \
    OP(Arccosh, 18, op_arccosh, Call, "acosh", "arccosh acosh", "Inverse hyperbolic cosine.")     \
    OP(Arctanh, 19, op_arctanh, Call, "atanh", "arctanh atanh", "Inverse hyperbolic tangent.")    \
    OP(Sinh, 20, op_sinh, Call, "sinh", "sinh", "Hyperbolic sine.")                               \
    OP(Cosh, 21, op_cosh, Call, "cosh", "cosh", "Hyperbolic cosine.")                             \
    OP(Expm1, 22, op_expm1, Call, "expm1", "expm1", "e raised to the power of x, minus 1.")       \
    OP(Log1p, 23, op_log1p, Call, "log1p", "log1p", "Natural logarithm of 1 + x.")                \
    OP(Cbrt, 24, op_cbrt, Call, "cbrt", "cbrt", "Cube root.")                                     \
    OP(Exp2, 25, op_exp2, Call, "exp2", "exp2", "2 raised to the power of x.")                    \
    OP(Trunc, 26, op_trunc, Cheap, nullptr, "trunc",                                              \
       "The integer part of x: rounded toward zero.")                                             \
    OP(Rint, 27, op_rint, Cheap, nullptr, "rint round",                                           \
       "The nearest integer, halfway cases to even; NaN quieted.")                                \
    OP(Sign, 28, op_sign, Cheap, nullptr, "sign",                                                 \
       "-1.0, 0.0 or 1.0 as x is negative, zero or positive; NaN kept.")                          \
    OP(Signbit, 29, op_signbit, Cheap, nullptr, "signbit",                                        \
       "1.0 where the sign bit of x is set (-0.0 and NaN too), else 0.0.")                        \
    OP(Isnan, 30, op_isnan, Cheap, nullptr, "isnan", "1.0 where x is NaN, else 0.0.")             \
    OP(Isinf, 31, op_isinf, Cheap, nullptr, "isinf", "1.0 where x is infinite, else 0.0.")        \
    OP(Isfinite, 32, op_isfinite, Cheap, nullptr, "isfinite",                                     \
       "1.0 where x is neither infinite nor NaN, else 0.0.")                                      \
    OP(Square, 33, op_square, Cheap, nullptr, "square", "x times x.")                             \
    OP(Reciprocal, 34, op_reciprocal, Cheap, nullptr, "reciprocal", "1.0 divided by x.")          \
    OP(Positive, 35, op_positive, Cheap, nullptr, "positive copy", "x itself, every bit kept.")   \
    OP(Degrees, 36, op_degrees, Cheap, nullptr, "degrees rad2deg",                                \
       "Radians to degrees: x times 180/pi.")                                                     \
    OP(Radians, 37, op_radians, Cheap, nullptr, "radians deg2rad",                                \
       "Degrees to radians: x times pi/180.")                                                     \
    OP(OnesLike, 38, op_ones_like, Cheap, nullptr, "ones_like", "1.0 for every element.")         \
    OP(Invert, 39, op_invert, Cheap, nullptr, "~ invert bitwise_not",                             \
       "Not: of a bool, its negation; of 1.0 or 0.0, 0.0 or 1.0.")                                \
    OP(Real, 40, op_real, Cheap, nullptr, "real", "The real part; a real x itself.")              \
    OP(Imag, 41, op_imag, Cheap, nullptr, "imag", "The imaginary part; 0.0 for a real x.")        \
    OP(Conj, 42, op_conj, Cheap, nullptr, "conj conjugate",                                       \
       "The complex conjugate: the imaginary part negated; a real x itself.")
#define QV_BINARY_OPS(OP, FN)                                                                     \
    OP(Add, 0, op_add, Cheap, nullptr, "+", "Sum; of two NaNs, the left one.")                    \
    OP(Sub, 1, op_sub, Cheap, nullptr, "-", "Difference.")                                        \
    OP(Mul, 2, op_mul, Cheap, nullptr, "*", "Product; of two NaNs, the left one.")                \
    OP(Div, 3, op_div, Cheap, nullptr, "/ true_divide divide",                                    \
       "Quotient; a nonzero number over zero is infinite.")                                       \
    FN(Pow, 4, op_pow, Call, "pow", "** pow power", "base raised to the power exp.", pow, base,   \
       exp)                                                                                       \
    FN(Atan2, 5, op_atan2, Call, "atan2", "atan2 arctan2",                                        \
       "Angle of the point (x, y) in radians, from -pi to pi.", atan2, y, x)                      \
    FN(Min, 6, op_min, Cheap, nullptr, "kernel_min",                                              \
       "The smaller operand; a NaN on the left gives the right one.", min, a, b)                  \
    FN(Max, 7, op_max, Cheap, nullptr, "kernel_max",                                              \
       "The larger operand; a NaN on the left gives the right one.", max, a, b)                   \
    OP(Hypot, 8, op_hypot, Call, "hypot", "hypot",                                                \
       "Hypotenuse of the legs l and r, without overflow in between.")                            \
    OP(Fmod, 9, op_fmod, Call, "fmod", "fmod",                                                    \
       "Remainder of l / r truncated, with the sign of l.")                                       \
    OP(Nextafter, 10, op_nextafter, Call, "nextafter", "nextafter",                               \
       "The next double after l toward r.")                                                       \
    OP(Copysign, 11, op_copysign, Cheap, nullptr, "copysign",                                     \
       "The magnitude of l with the sign of r.")                                                  \
    OP(Fmin, 12, op_fmin, Call, "fmin", "fmin", "The smaller operand; NaN only if both are NaN.") \
    OP(Fmax, 13, op_fmax, Call, "fmax", "fmax", "The larger operand; NaN only if both are NaN.")  \
    OP(Minimum, 14, op_minimum, Cheap, nullptr, "minimum",                                        \
       "The smaller operand; a NaN operand wins, the left one first.")                            \
    OP(Maximum, 15, op_maximum, Cheap, nullptr, "maximum",                                        \
       "The larger operand; a NaN operand wins, the left one first.")                             \
    OP(Remainder, 16, op_remainder, Call, nullptr, "% remainder mod",                             \
       "Remainder of l / r floored, with the sign of r.")                                         \
    OP(FloorDivide, 17, op_floor_divide, Call, nullptr, "// floor_divide",                        \
       "Quotient l / r rounded toward minus infinity.")                                           \
    OP(Logaddexp, 18, op_logaddexp, Call, nullptr, "logaddexp", "log(exp(l) + exp(r)).")          \
    OP(Logaddexp2, 19, op_logaddexp2, Call, nullptr, "logaddexp2", "log2(2**l + 2**r).")          \
    OP(Heaviside, 20, op_heaviside, Cheap, nullptr, "heaviside",                                  \
       "0.0 where l < 0, r where l == 0, 1.0 where l > 0; NaN where l is NaN.")                   \
    OP(BitwiseAnd, 21, op_bitwise_and, Cheap, nullptr, "& bitwise_and",                           \
       "And: of bools, true where both are; of 1.0 and 0.0, 1.0 where both are nonzero.")         \
    OP(BitwiseOr, 22, op_bitwise_or, Cheap, nullptr, "| bitwise_or",                              \
       "Or: of bools, true where either is; of 1.0 and 0.0, 1.0 where either is nonzero.")        \
    OP(BitwiseXor, 23, op_bitwise_xor, Cheap, nullptr, "^ bitwise_xor",                           \
       "Exclusive or: of bools, true where one alone is; of 1.0 and 0.0, likewise.")              \
    OP(LeftShift, 24, op_left_shift, Cheap, nullptr, "<< left_shift",                             \
       "The integer l shifted left by r bits; 0 past the type's width.")                          \
    OP(RightShift, 25, op_right_shift, Cheap, nullptr, ">> right_shift",                          \
       "The integer l shifted right by r bits, keeping its sign; 0 or -1 past the type's width.") \
    OP(Complex, 26, op_complex, Cheap, nullptr, "complex",                                        \
       "The complex number l + r*1j, of the real parts l and r.")
#define QV_COMPARE_OPS(OP)                                                \
    OP(Gt, 0, op_gt, Cheap, nullptr, ">", "1.0 where l > r, else 0.0.")   \
    OP(Ge, 1, op_ge, Cheap, nullptr, ">=", "1.0 where l >= r, else 0.0.") \
    OP(Lt, 2, op_lt, Cheap, nullptr, "<", "1.0 where l < r, else 0.0.")   \
    OP(Le, 3, op_le, Cheap, nullptr, "<=", "1.0 where l <= r, else 0.0.") \
    OP(Eq, 4, op_eq, Cheap, nullptr, "==", "1.0 where l == r, else 0.0.") \
    OP(Ne, 5, op_ne, Cheap, nullptr, "!=", "1.0 where l != r or either is NaN, else 0.0.")

// Expands to nothing: for the rows a use of the table skips.
#define QV_NO_ROW(...)

namespace qv {

#define QV_ENUM_ROW(name, code, ...) name = code,
enum class UnaryOp : std::uint8_t { QV_UNARY_OPS(QV_ENUM_ROW, QV_ENUM_ROW) };
enum class BinaryOp : std::uint8_t { QV_BINARY_OPS(QV_ENUM_ROW, QV_ENUM_ROW) };
enum class CompareOp : std::uint8_t { QV_COMPARE_OPS(QV_ENUM_ROW) };
#undef QV_ENUM_ROW

// What an operator costs per element, as the compiler weighs it: a blended Select computes
// both branches for every lane, which pays only for Cheap operators (a few instructions);
// a Call (into the math library) runs only for the lanes that need it.
enum class OpCost : std::uint8_t { Cheap, Call };

namespace ops_detail {

// True when the codes are 0, 1, ..., n - 1 in some order: tables indexed by code are full.
template <std::size_t N>
constexpr bool dense(const int (&codes)[N]) {
    for (std::size_t want = 0; want < N; ++want) {
        int found = 0;
        for (int code : codes) found += code == static_cast<int>(want);
        if (found != 1) return false;
    }
    return true;
}

#define QV_CODE_ROW(name, code, ...) code,
inline constexpr int kUnaryCodes[] = {QV_UNARY_OPS(QV_CODE_ROW, QV_CODE_ROW)};
inline constexpr int kBinaryCodes[] = {QV_BINARY_OPS(QV_CODE_ROW, QV_CODE_ROW)};
inline constexpr int kCompareCodes[] = {QV_COMPARE_OPS(QV_CODE_ROW)};
#undef QV_CODE_ROW
static_assert(dense(kUnaryCodes) && dense(kBinaryCodes) && dense(kCompareCodes));

}  // namespace ops_detail

inline constexpr int kUnaryOpCount = static_cast<int>(std::size(ops_detail::kUnaryCodes));
inline constexpr int kBinaryOpCount = static_cast<int>(std::size(ops_detail::kBinaryCodes));
inline constexpr int kCompareOpCount = static_cast<int>(std::size(ops_detail::kCompareCodes));

std::string_view op_name(UnaryOp op) noexcept;
std::string_view op_name(BinaryOp op) noexcept;
std::string_view op_name(CompareOp op) noexcept;

#define QV_COST_ROW(name, code, scalar, cost, ...) \
    case decltype(op)::name: return OpCost::cost;
constexpr OpCost op_cost(UnaryOp op) noexcept {
    switch (op) { QV_UNARY_OPS(QV_COST_ROW, QV_COST_ROW) }
    return OpCost::Call;
}
constexpr OpCost op_cost(BinaryOp op) noexcept {
    switch (op) { QV_BINARY_OPS(QV_COST_ROW, QV_COST_ROW) }
    return OpCost::Call;
}
constexpr OpCost op_cost(CompareOp op) noexcept {
    switch (op) { QV_COMPARE_OPS(QV_COST_ROW) }
    return OpCost::Call;
}
#undef QV_COST_ROW

// The math library function an operator gives the bits of; empty for none.
#define QV_LIBM_ROW(name, code, scalar, cost, libm, ...) \
    case decltype(op)::name: return ops_detail::libm_text(libm);
namespace ops_detail {
constexpr std::string_view libm_text(const char* name) { return name != nullptr ? name : ""; }
}  // namespace ops_detail
constexpr std::string_view op_libm_name(UnaryOp op) noexcept {
    switch (op) { QV_UNARY_OPS(QV_LIBM_ROW, QV_LIBM_ROW) }
    return "";
}
constexpr std::string_view op_libm_name(BinaryOp op) noexcept {
    switch (op) { QV_BINARY_OPS(QV_LIBM_ROW, QV_LIBM_ROW) }
    return "";
}
#undef QV_LIBM_ROW

// The operators whose value is a truth, 1.0 or 0.0: the comparisons and these tests.
constexpr bool op_is_predicate(UnaryOp op) noexcept {
    return op == UnaryOp::Signbit || op == UnaryOp::Isnan || op == UnaryOp::Isinf ||
           op == UnaryOp::Isfinite;
}
constexpr bool op_is_predicate(BinaryOp) noexcept { return false; }
constexpr bool op_is_predicate(CompareOp) noexcept { return true; }

// The operators NumPy defines on bools and integers alone (on their bits), and refuses on
// floats: a float operand is a TypeError unless it is a truth of the float64 surface.
constexpr bool op_is_bitwise(UnaryOp op) noexcept { return op == UnaryOp::Invert; }
constexpr bool op_is_bitwise(BinaryOp op) noexcept {
    return op == BinaryOp::BitwiseAnd || op == BinaryOp::BitwiseOr || op == BinaryOp::BitwiseXor;
}

constexpr bool op_calls_libm(UnaryOp op) noexcept { return !op_libm_name(op).empty(); }
constexpr bool op_calls_libm(BinaryOp op) noexcept { return !op_libm_name(op).empty(); }

namespace ops_detail {
template <class Op>
constexpr bool calls_cost_calls(int count) {
    for (int code = 0; code < count; ++code) {
        const auto op = static_cast<Op>(code);
        if (op_calls_libm(op) && op_cost(op) != OpCost::Call) return false;
    }
    return true;
}
static_assert(calls_cost_calls<UnaryOp>(kUnaryOpCount) &&
                  calls_cost_calls<BinaryOp>(kBinaryOpCount),
              "an operator that calls the math library is a Call, never Cheap");
}  // namespace ops_detail

}  // namespace qv
