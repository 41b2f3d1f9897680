// The kernel object's expression functions: arg, args, the math functions, pow, atan2,
// min, max and where_.
#include "python/py_expr.hpp"

#include <string>
#include <vector>

#include "python/entry.hpp"

namespace qv::py {

namespace {

constexpr Signature kArgSignature = Signature("_KernelModule.arg()").required("name");
constexpr Signature kArgsSignature = Signature("_KernelModule.args()").varargs("names");

// The display name of each unary function, as the frame shows it in messages.
constexpr const char* unary_fn_name(UnaryOp op) {
    switch (op) {
        case UnaryOp::Sqrt: return "_KernelModule.sqrt()";
        case UnaryOp::Abs: return "_KernelModule.abs()";
        case UnaryOp::Log: return "_KernelModule.log()";
        case UnaryOp::Exp: return "_KernelModule.exp()";
        case UnaryOp::Log2: return "_KernelModule.log2()";
        case UnaryOp::Log10: return "_KernelModule.log10()";
        case UnaryOp::Floor: return "_KernelModule.floor()";
        case UnaryOp::Ceil: return "_KernelModule.ceil()";
        case UnaryOp::Round: return "_KernelModule.round()";
        case UnaryOp::Sin: return "_KernelModule.sin()";
        case UnaryOp::Cos: return "_KernelModule.cos()";
        case UnaryOp::Tan: return "_KernelModule.tan()";
        case UnaryOp::Neg: break;  // negation is the unary minus operator only
    }
    throw "no kernel function for this operator";
}

template <UnaryOp op>
constexpr Signature kUnarySignature = Signature(unary_fn_name(op)).required("expr");

// One body for the twelve unary functions: the parameter must be an Expr, numbers included
// are refused.
template <UnaryOp op>
PyObject* unary_function(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        const Args parsed = parse_fastcall(kUnarySignature<op>, args, nargs, kwnames);
        const ExprValue& x = parsed.convert(0, to_expr);
        return wrap_built([&] { return make_unary(op, x); });
    });
}

// pow, atan2, min, max: both operands must be Expr; the first is converted first.
template <BinaryOp op, const Signature& sig>
PyObject* binary_function(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        const Args parsed = parse_fastcall(sig, args, nargs, kwnames);
        const ExprValue& left = parsed.convert(0, to_expr);
        const ExprValue& right = parsed.convert(1, to_expr);
        return wrap_built([&] { return make_binary(op, left, right); });
    });
}

constexpr Signature kPowSignature = Signature("_KernelModule.pow()").required("base").required("exp");
constexpr Signature kAtan2Signature = Signature("_KernelModule.atan2()").required("y").required("x");
constexpr Signature kMinSignature = Signature("_KernelModule.min()").required("a").required("b");
constexpr Signature kMaxSignature = Signature("_KernelModule.max()").required("a").required("b");
constexpr Signature kWhereSignature =
    Signature("_KernelModule.where_()").required("cond").required("true_val").required("false_val");

}  // namespace

QV_FASTCALL_FN(kernel_arg) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kArgSignature, args, nargs, kwnames);
        std::string name = parsed.convert(0, to_utf8);
        return wrap_expr(new_arg(std::move(name)));
    });
}

QV_FASTCALL_FN(kernel_args) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kArgsSignature, args, nargs, kwnames);
        // Every name converts before the first id is drawn.
        std::vector<std::string> names;
        names.reserve(parsed.rest().size());
        parsed.convert_rest([&](PyObject* value) { names.push_back(to_utf8(value)); });
        Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(names.size()))));
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            wrap_expr(new_arg(std::move(names[i]))));
        }
        return list.release();
    });
}

#define QV_UNARY_FUNCTION(fn, op)                                       \
    QV_FASTCALL_FN(fn) {                                                \
        (void)self;                                                     \
        return unary_function<UnaryOp::op>(args, nargs, kwnames);       \
    }
QV_UNARY_FUNCTION(kernel_sqrt, Sqrt)
QV_UNARY_FUNCTION(kernel_abs, Abs)
QV_UNARY_FUNCTION(kernel_log, Log)
QV_UNARY_FUNCTION(kernel_exp, Exp)
QV_UNARY_FUNCTION(kernel_log2, Log2)
QV_UNARY_FUNCTION(kernel_log10, Log10)
QV_UNARY_FUNCTION(kernel_floor, Floor)
QV_UNARY_FUNCTION(kernel_ceil, Ceil)
QV_UNARY_FUNCTION(kernel_round, Round)
QV_UNARY_FUNCTION(kernel_sin, Sin)
QV_UNARY_FUNCTION(kernel_cos, Cos)
QV_UNARY_FUNCTION(kernel_tan, Tan)
#undef QV_UNARY_FUNCTION

#define QV_BINARY_FUNCTION(fn, op, signature)                                    \
    QV_FASTCALL_FN(fn) {                                                         \
        (void)self;                                                              \
        return binary_function<BinaryOp::op, signature>(args, nargs, kwnames);   \
    }
QV_BINARY_FUNCTION(kernel_pow, Pow, kPowSignature)
QV_BINARY_FUNCTION(kernel_atan2, Atan2, kAtan2Signature)
QV_BINARY_FUNCTION(kernel_min, Min, kMinSignature)
QV_BINARY_FUNCTION(kernel_max, Max, kMaxSignature)
#undef QV_BINARY_FUNCTION

QV_FASTCALL_FN(kernel_where) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kWhereSignature, args, nargs, kwnames);
        const ExprValue& cond = parsed.convert(0, to_expr);
        // The two values coerce like operator operands; their errors are not prefixed.
        const Operand if_true = coerce_operand(parsed[1]);
        const Operand if_false = coerce_operand(parsed[2]);
        return wrap_built([&] { return make_select(cond, if_true, if_false); });
    });
}

}  // namespace qv::py
