// Operator names, generated from the operator table.
#include "ir/ops.hpp"

namespace qv {

#define QV_NAME_ROW(name, ...) \
    case decltype(op)::name: return #name;

std::string_view op_name(UnaryOp op) noexcept {
    switch (op) { QV_UNARY_OPS(QV_NAME_ROW, QV_NAME_ROW) }
    return "?";
}

std::string_view op_name(BinaryOp op) noexcept {
    switch (op) { QV_BINARY_OPS(QV_NAME_ROW, QV_NAME_ROW) }
    return "?";
}

std::string_view op_name(CompareOp op) noexcept {
    switch (op) { QV_COMPARE_OPS(QV_NAME_ROW) }
    return "?";
}

#undef QV_NAME_ROW

}  // namespace qv
