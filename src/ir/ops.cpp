// Operator names, generated from the operator table.
#include "ir/ops.hpp"

namespace qv {

#define QV_NAME_ENTRY(name) #name,
namespace {
constexpr std::string_view kUnaryNames[] = {QV_UNARY_OPS(QV_NAME_ENTRY)};
constexpr std::string_view kBinaryNames[] = {QV_BINARY_OPS(QV_NAME_ENTRY)};
constexpr std::string_view kCompareNames[] = {QV_COMPARE_OPS(QV_NAME_ENTRY)};
}  // namespace
#undef QV_NAME_ENTRY

std::string_view op_name(UnaryOp op) noexcept { return kUnaryNames[static_cast<int>(op)]; }
std::string_view op_name(BinaryOp op) noexcept { return kBinaryNames[static_cast<int>(op)]; }
std::string_view op_name(CompareOp op) noexcept { return kCompareNames[static_cast<int>(op)]; }

}  // namespace qv
