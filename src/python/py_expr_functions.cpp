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

// The signature of each kernel function of the operator table, as messages show it.
constexpr Signature unary_signature(UnaryOp op) {
#define QV_SIGNATURE_ROW(name, code, scalar, cost, libm, spellings, doc, fn, x) \
    case UnaryOp::name: return Signature("_KernelModule." #fn "()").required(#x);
    switch (op) {
        QV_UNARY_OPS(QV_NO_ROW, QV_SIGNATURE_ROW)
        default: break;
    }
#undef QV_SIGNATURE_ROW
    throw "no kernel function for this operator";  // negation is the unary minus operator only
}

constexpr Signature binary_signature(BinaryOp op) {
#define QV_SIGNATURE_ROW(name, code, scalar, cost, libm, spellings, doc, fn, l, r) \
    case BinaryOp::name: return Signature("_KernelModule." #fn "()").required(#l).required(#r);
    switch (op) {
        QV_BINARY_OPS(QV_NO_ROW, QV_SIGNATURE_ROW)
        default: break;
    }
#undef QV_SIGNATURE_ROW
    throw "no kernel function for this operator";  // arithmetic is reached by operators only
}

template <UnaryOp op>
constexpr Signature kUnarySignature = unary_signature(op);
template <BinaryOp op>
constexpr Signature kBinarySignature = binary_signature(op);

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

// The parameter must be an Expr; numbers are refused.
template <UnaryOp op>
QV_FASTCALL_FN(unary_function) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kUnarySignature<op>, args, nargs, kwnames);
        const ExprValue& x = parsed.convert(0, to_expr);
        return wrap_built([&] { return make_unary(op, x); });
    });
}

// Both operands must be Expr; the first is converted first.
template <BinaryOp op>
QV_FASTCALL_FN(binary_function) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kBinarySignature<op>, args, nargs, kwnames);
        const ExprValue& left = parsed.convert(0, to_expr);
        const ExprValue& right = parsed.convert(1, to_expr);
        return wrap_built([&] { return make_binary(op, left, right); });
    });
}

#define QV_UNARY_INSTANCE(name, ...) template QV_FASTCALL_FN(unary_function<UnaryOp::name>);
#define QV_BINARY_INSTANCE(name, ...) template QV_FASTCALL_FN(binary_function<BinaryOp::name>);
QV_UNARY_OPS(QV_NO_ROW, QV_UNARY_INSTANCE)
QV_BINARY_OPS(QV_NO_ROW, QV_BINARY_INSTANCE)
#undef QV_UNARY_INSTANCE
#undef QV_BINARY_INSTANCE

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
