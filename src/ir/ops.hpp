// The operator table. One row per operator drives the enums, their names (as repr prints
// them), the scalar semantics dispatch (scalar_ops.hpp), and the kernel object's functions
// with their signatures and docstrings (the binding layer): adding an operator is one row
// here plus its scalar function in scalar_ops.hpp.
//
// OP(Name, code, scalar function) is an operator reached through a Python operator only;
// FN(Name, code, scalar function, kernel function, parameters...) is also a function of the
// kernel object. Codes are fixed: the op byte stores them and the cache key hashes them.
// Rows with a kernel function stand in the order of the kernel object's method table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#define QV_UNARY_OPS(OP, FN)                 \
    OP(Neg, 0, op_neg)                       \
    FN(Sqrt, 2, op_sqrt, sqrt, expr)         \
    FN(Abs, 1, op_abs, abs, expr)            \
    FN(Log, 3, op_log, log, expr)            \
    FN(Exp, 4, op_exp, exp, expr)            \
    FN(Log2, 5, op_log2, log2, expr)         \
    FN(Log10, 6, op_log10, log10, expr)      \
    FN(Floor, 7, op_floor, floor, expr)      \
    FN(Ceil, 8, op_ceil, ceil, expr)         \
    FN(Round, 9, op_round, round, expr)      \
    FN(Sin, 10, op_sin, sin, expr)           \
    FN(Cos, 11, op_cos, cos, expr)           \
    FN(Tan, 12, op_tan, tan, expr)
#define QV_BINARY_OPS(OP, FN)                \
    OP(Add, 0, op_add)                       \
    OP(Sub, 1, op_sub)                       \
    OP(Mul, 2, op_mul)                       \
    OP(Div, 3, op_div)                       \
    FN(Pow, 4, op_pow, pow, base, exp)       \
    FN(Atan2, 5, op_atan2, atan2, y, x)      \
    FN(Min, 6, op_min, min, a, b)            \
    FN(Max, 7, op_max, max, a, b)
#define QV_COMPARE_OPS(OP)                   \
    OP(Gt, 0, op_gt)                         \
    OP(Ge, 1, op_ge)                         \
    OP(Lt, 2, op_lt)                         \
    OP(Le, 3, op_le)                         \
    OP(Eq, 4, op_eq)                         \
    OP(Ne, 5, op_ne)

// Expands to nothing: for the rows a use of the table skips.
#define QV_NO_ROW(...)

namespace qv {

#define QV_ENUM_ROW(name, code, ...) name = code,
enum class UnaryOp : std::uint8_t { QV_UNARY_OPS(QV_ENUM_ROW, QV_ENUM_ROW) };
enum class BinaryOp : std::uint8_t { QV_BINARY_OPS(QV_ENUM_ROW, QV_ENUM_ROW) };
enum class CompareOp : std::uint8_t { QV_COMPARE_OPS(QV_ENUM_ROW) };
#undef QV_ENUM_ROW

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

}  // namespace qv
