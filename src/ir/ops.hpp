// The operator table: one X-macro list per enumeration drives the enums, their names,
// repr, flattening and both interpreters. Codes are positions in these lists.
#pragma once

#include <cstdint>
#include <string_view>

#define QV_UNARY_OPS(X) \
    X(Neg) X(Abs) X(Sqrt) X(Log) X(Exp) X(Log2) X(Log10) X(Floor) X(Ceil) X(Round) X(Sin) X(Cos) X(Tan)
#define QV_BINARY_OPS(X) X(Add) X(Sub) X(Mul) X(Div) X(Pow) X(Atan2) X(Min) X(Max)
#define QV_COMPARE_OPS(X) X(Gt) X(Ge) X(Lt) X(Le) X(Eq) X(Ne)

namespace qv {

#define QV_ENUM_ENTRY(name) name,
enum class UnaryOp : std::uint8_t { QV_UNARY_OPS(QV_ENUM_ENTRY) };
enum class BinaryOp : std::uint8_t { QV_BINARY_OPS(QV_ENUM_ENTRY) };
enum class CompareOp : std::uint8_t { QV_COMPARE_OPS(QV_ENUM_ENTRY) };
#undef QV_ENUM_ENTRY

#define QV_COUNT_ENTRY(name) +1
inline constexpr int kUnaryOpCount = 0 QV_UNARY_OPS(QV_COUNT_ENTRY);
inline constexpr int kBinaryOpCount = 0 QV_BINARY_OPS(QV_COUNT_ENTRY);
inline constexpr int kCompareOpCount = 0 QV_COMPARE_OPS(QV_COUNT_ENTRY);
#undef QV_COUNT_ENTRY

std::string_view op_name(UnaryOp op) noexcept;
std::string_view op_name(BinaryOp op) noexcept;
std::string_view op_name(CompareOp op) noexcept;

}  // namespace qv
