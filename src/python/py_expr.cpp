// The Expr class. Instances come only from the kernel factory functions and operators.
#include "python/py_expr.hpp"

#include <optional>
#include <string>
#include <utility>

#include "core/fault.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"

namespace qv::py {

namespace {

bool is_expr(PyObject* o) { return PyObject_TypeCheck(o, expr_type()); }

PyObject* new_str(const std::string& text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyObject* expr_repr_slot(PyObject* self) noexcept {
    return guarded([&] { return new_str(qv::expr_repr(expr_value(self))); });
}

// Forward and reflected forms share one slot; the Python left operand stays left.
template <BinaryOp op>
PyObject* expr_binary(PyObject* a, PyObject* b) noexcept {
    return guarded([&]() -> PyObject* {
        if (is_expr(a)) {
            const Operand right = coerce_operand(b);
            return wrap_built([&] { return make_binary(op, expr_value(a), right); });
        }
        if (is_expr(b)) {
            const Operand left = coerce_operand(a);
            return wrap_built([&] { return make_binary(op, left, expr_value(b)); });
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

// pow(a, b, m): the modulus is accepted and ignored.
PyObject* expr_power(PyObject* a, PyObject* b, PyObject*) noexcept {
    return expr_binary<BinaryOp::Pow>(a, b);
}

template <UnaryOp op>
PyObject* expr_unary(PyObject* self) noexcept {
    return guarded([&] { return wrap_built([&] { return make_unary(op, expr_value(self)); }); });
}

int expr_bool(PyObject*) noexcept {
    return guarded_status([]() -> int {
        raise_message(PyExc_TypeError,
                      "cannot convert Expr to bool; use kernel.where(cond, t, f) for conditional "
                      "expressions");
    });
}

CompareOp compare_op(int py_op) {
    switch (py_op) {
        case Py_LT: return CompareOp::Lt;
        case Py_LE: return CompareOp::Le;
        case Py_EQ: return CompareOp::Eq;
        case Py_NE: return CompareOp::Ne;
        case Py_GT: return CompareOp::Gt;
        case Py_GE: return CompareOp::Ge;
    }
    fault("invalid rich comparison operator " + std::to_string(py_op));
}

// A non-Expr left side gets NotImplemented, so CPython retries with the mirrored operator.
PyObject* expr_richcompare(PyObject* a, PyObject* b, int py_op) noexcept {
    return guarded([&]() -> PyObject* {
        if (!is_expr(a)) Py_RETURN_NOTIMPLEMENTED;
        const Operand right = coerce_operand(b);
        const CompareOp op = compare_op(py_op);
        return wrap_built([&] { return make_compare(op, expr_value(a), right); });
    });
}

PyObject* expr_get_temp_args(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        Ref dict = Ref::steal(check(PyDict_New()));
        for (const auto& [id, name] : expr_value(self).temp_args) {
            Ref key = Ref::steal(check(PyLong_FromUnsignedLongLong(id)));
            Ref text = Ref::steal(new_str(name));
            if (PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) throw_python_error();
        }
        return dict.release();
    });
}

PyObject* expr_get_referenced_args(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const std::vector<std::uint64_t> ids = referenced_args(expr_value(self).nodes);
        Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
        for (std::size_t i = 0; i < ids.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            check(PyLong_FromUnsignedLongLong(ids[i])));
        }
        return list.release();
    });
}

// Reads the dict's entries in order. A key's or value's __index__ may change the dict, so
// both are held while they convert, and a change of size ends the call as CPython's
// iteration would.
IdMapping to_id_mapping(PyObject* value) {
    PyObject* dict = to_dict(value);
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    IdMapping mapping;
    Py_ssize_t pos = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(dict, &pos, &borrowed_key, &borrowed_value)) {
        const Ref key = Ref::borrow(borrowed_key);
        const Ref new_id = Ref::borrow(borrowed_value);
        const std::uint64_t from = to_u64(key.get());
        const std::uint64_t to = to_u64(new_id.get());
        if (PyDict_GET_SIZE(dict) != size) fault("dictionary changed size during iteration");
        mapping.insert_or_assign(from, to);
    }
    return mapping;
}

constexpr Signature kRewriteArgsSignature = Signature("Expr.rewrite_args()").required("mapping");

QV_FASTCALL_FN(expr_rewrite_args) {
    return guarded([&] {
        const Args parsed = parse_fastcall(kRewriteArgsSignature, args, nargs, kwnames);
        const IdMapping mapping = parsed.convert(0, to_id_mapping);
        return wrap_expr(qv::rewrite_args(expr_value(self), mapping));
    });
}

PyMethodDef expr_methods[] = {
    {"get_temp_args", expr_get_temp_args, METH_NOARGS, "get_temp_args($self)\n--\n\n"},
    {"get_referenced_args", expr_get_referenced_args, METH_NOARGS,
     "get_referenced_args($self)\n--\n\n"},
    {"rewrite_args", method_cast(expr_rewrite_args), METH_FASTCALL | METH_KEYWORDS,
     "rewrite_args($self, mapping)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* expr_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<ExprValue>(
        type, "builtins.Expr",
        {
            {Py_tp_doc,
             const_cast<char*>(
                 "Python-visible expression node.\n"
                 "Operator overloading builds an `Expr` tree without any computation.\n\n"
                 "`temp_args` maps temporary argument IDs to their names.\n"
                 "Each `arg(\"x\")` call assigns a unique `temp_id` via a global counter,\n"
                 "and operators merge both sides' `temp_args` via `BTreeMap` union.")},
            {Py_tp_repr, reinterpret_cast<void*>(expr_repr_slot)},
            // Equality builds an expression, so an Expr cannot be hashed.
            {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
            {Py_tp_richcompare, reinterpret_cast<void*>(expr_richcompare)},
            {Py_tp_methods, expr_methods},
            {Py_nb_add, reinterpret_cast<void*>(expr_binary<BinaryOp::Add>)},
            {Py_nb_subtract, reinterpret_cast<void*>(expr_binary<BinaryOp::Sub>)},
            {Py_nb_multiply, reinterpret_cast<void*>(expr_binary<BinaryOp::Mul>)},
            {Py_nb_true_divide, reinterpret_cast<void*>(expr_binary<BinaryOp::Div>)},
            {Py_nb_power, reinterpret_cast<void*>(expr_power)},
            {Py_nb_negative, reinterpret_cast<void*>(expr_unary<UnaryOp::Neg>)},
            {Py_nb_absolute, reinterpret_cast<void*>(expr_unary<UnaryOp::Abs>)},
            {Py_nb_bool, reinterpret_cast<void*>(expr_bool)},
        });
}

PyObject* wrap_expr(ExprValue&& value) { return wrap(expr_type(), std::move(value)); }

const ExprValue& expr_value(PyObject* expr) noexcept { return held<ExprValue>(expr); }

const ExprValue& to_expr(PyObject* value) {
    return expr_value(to_instance(value, expr_type(), "Expr"));
}

Operand coerce_operand(PyObject* value) {
    if (is_expr(value)) return Operand(expr_value(value));
    if (const std::optional<double> number = to_number(value)) return Operand(*number);
    raise_message(PyExc_TypeError, "expected Expr or numeric value");
}

void raise_expression_too_large(const char* what) { raise_message(PyExc_MemoryError, what); }

}  // namespace qv::py
