// The Expr class: an expression value built lazily by operators and kernel functions.
#pragma once

#include <Python.h>

#include <stdexcept>

#include "ir/expr.hpp"
#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* expr_type();

// A new Expr object holding `value`.
PyObject* wrap_expr(ExprValue&& value);

// The value held by `expr`, which must be an Expr instance.
const ExprValue& expr_value(PyObject* expr) noexcept;

// Converter for parameters that take an Expr only ("... cannot be converted to 'Expr'").
const ExprValue& to_expr(PyObject* value);

// An Expr, or a Python number as a constant; otherwise TypeError "expected Expr or numeric
// value". The operand borrows from `value`, which must outlive it.
Operand coerce_operand(PyObject* value);

// MemoryError with `what`: a tree with more nodes than a subtree size can record.
[[noreturn]] void raise_expression_too_large(const char* what);

// Runs `build` and wraps the ExprValue it returns.
template <class F>
PyObject* wrap_built(F&& build) {
    try {
        return wrap_expr(build());
    } catch (const std::length_error& e) {
        raise_expression_too_large(e.what());
    }
}

// The kernel object's expression functions. The unary and two-operand ones come from the
// operator table (ir/ops.hpp), one instance for each row with a kernel function.
QV_FASTCALL_FN(kernel_arg);
QV_FASTCALL_FN(kernel_args);
template <UnaryOp op>
QV_FASTCALL_FN(unary_function);
template <BinaryOp op>
QV_FASTCALL_FN(binary_function);
QV_FASTCALL_FN(kernel_where);

}  // namespace qv::py
