// evaluate and the reductions of the native face: operands bound in place, the kernel taken
// from the cache, the engine run without the interpreter lock straight into the result.
#include "python/native_compute.hpp"

#include <array>
#include <cstddef>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "exec/evaluator.hpp"
#include "exec/reduce.hpp"
#include "ir/kernel_spec.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/operands.hpp"
#include "python/py_expr.hpp"
#include "python/py_spec.hpp"
#include "python/result_array.hpp"
#include "runtime/cache.hpp"

namespace qv::py {

namespace {

constexpr Signature kEvaluateSignature = Signature("evaluate()")
                                             .required("kernel")
                                             .required("operands")
                                             .optional("out")
                                             .optional("narrow");
constexpr Signature kSumSignature = Signature("sum()").required("array").optional("start");
constexpr Signature kMeanSignature = Signature("mean()").required("array");
constexpr Signature kMinSignature = Signature("min()").required("array");
constexpr Signature kMaxSignature = Signature("max()").required("array");

// The spec of a KernelSpec as it is, or made from an Expr (refused as elementwise refuses).
struct SpecSource {
    std::optional<KernelSpec> made;
    const KernelSpec* spec = nullptr;
};

SpecSource to_spec(PyObject* value) {
    SpecSource source;
    if ((source.spec = kernel_spec_of(value)) != nullptr) return source;
    if (!PyObject_TypeCheck(value, expr_type())) raise_cannot_convert(value, "Expr or KernelSpec");
    auto made = make_kernel_spec(expr_value(value));
    if (auto* refused = std::get_if<SpecError>(&made)) {
        raise_message(PyExc_ValueError, refused->message);
    }
    source.made = std::get<KernelSpec>(std::move(made));
    source.spec = &*source.made;
    return source;
}

double reduce_or_raise(const BufferRef& input, ReduceOp op) {
    Result<double> value = [&] {
        ReleaseGil released;
        return reduce(*input, op);
    }();
    if (!value) raise_result(std::move(value).error());
    return value.value();
}

template <const Signature& sig, ReduceOp op>
PyObject* native_reduce(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const Args parsed = parse_fastcall(sig, args, nargs, kwnames);
        const SingleOperand input = bind_single("array", parsed[0]);
        return check(PyFloat_FromDouble(reduce_or_raise(input.buffer, op)));
    });
}

}  // namespace

void raise_refusal(const Refusal& refused) {
    PyObject* kind = refused.kind == Refusal::Kind::Type       ? PyExc_TypeError
                     : refused.kind == Refusal::Kind::Overflow ? PyExc_OverflowError
                                                               : PyExc_ValueError;
    raise_message(kind, refused.message);
}

namespace {

// The package's function `name` in quorvaline._int_parts.
PyObject* int_parts(const char* name) {
    Ref module = Ref::steal(check(PyImport_ImportModule("quorvaline._int_parts")));
    return check(PyObject_GetAttrString(module.get(), name));
}

}  // namespace

// A refusal, an OverflowError naming a Python int as the formula writes it: the engine knows a
// literal past int64 only as the float64 nearest it.
void raise_refusal_of(PyObject* holder, const Refusal& refused) {
    if (refused.kind != Refusal::Kind::Overflow) raise_refusal(refused);
    static PyObject* const written = int_parts("written");
    const Ref message = Ref::steal(check(PyUnicode_FromStringAndSize(
        refused.message.data(), static_cast<Py_ssize_t>(refused.message.size()))));
    const Ref text =
        Ref::steal(check(PyObject_CallFunctionObjArgs(written, holder, message.get(), nullptr)));
    PyErr_SetObject(PyExc_OverflowError, text.get());
    throw_python_error();
}

namespace {

// Whether some operator of the formula reads integer literals and this call's Python ints
// alone: only then has it a part that Python computes. Every such part holds an operator
// whose children are all leaves of it, so the leaves tell, without asking the package.
bool has_python_int_part(const KernelSpec& spec, PyObject* operands) {
    std::vector<char> is_int;  // per argument: this call gives it a Python int or bool
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(operands, &pos, &key, &value)) {
        if (!(PyLong_CheckExact(value) || PyBool_Check(value)) || !PyUnicode_Check(key)) continue;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) throw_python_error();
        const std::string_view name(text, static_cast<std::size_t>(size));
        for (std::size_t k = 0; k < spec.arg_names.size(); ++k) {
            if (spec.arg_names[k] != name) continue;
            is_int.resize(spec.arg_names.size());
            is_int[k] = 1;
        }
    }
    const NodeList& nodes = spec.body;
    const auto int_leaf = [&](const Node& n) {
        // A Python int or bool literal; a NumPy integer constant is not Python's.
        const bool python_literal =
            n.op == kIntLiteral || (const_is_typed(n) && const_type(n) == ValueType::Bool);
        return (n.tag == NodeTag::Const && python_literal) ||
               (n.tag == NodeTag::ArgRef && n.bits < is_int.size() && is_int[n.bits] != 0);
    };
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::size_t count = child_count(nodes[i].tag);
        if (count == 0) continue;
        const auto kids = children(nodes, i);
        bool leaves = true;
        for (std::size_t c = 0; c < count && leaves; ++c) leaves = int_leaf(nodes[kids[c]]);
        if (leaves) return true;
    }
    return false;
}

Ref evaluate_typed(PyObject* holder, const KernelSpec& spec, PyObject* operands, PyObject* out,
                   bool narrow);

}  // namespace

// A part over Python ints alone is computed as Python computes it, exactly, which 64-bit
// scalars cannot: the package folds such parts into operands of their own for this call.
Ref evaluate_spec(PyObject* holder, const KernelSpec& spec, PyObject* operands, PyObject* out,
                  bool narrow) {
    if (!has_python_int_part(spec, operands))
        return evaluate_typed(holder, spec, operands, out, narrow);
    static PyObject* const split = int_parts("split");
    const Ref folded =
        Ref::steal(check(PyObject_CallFunctionObjArgs(split, holder, operands, nullptr)));
    if (folded.get() == Py_None) return evaluate_typed(holder, spec, operands, out, narrow);
    PyObject* kernel = PyTuple_GET_ITEM(folded.get(), 0);
    return evaluate_typed(kernel, *kernel_spec_of(kernel), PyTuple_GET_ITEM(folded.get(), 1), out,
                          narrow);
}

namespace {

Ref evaluate_typed(PyObject* holder, const KernelSpec& spec, PyObject* operands, PyObject* out,
                   bool narrow) {
    // Room for binding a few operands without allocating.
    std::array<std::byte, 2048> room;
    std::pmr::monotonic_buffer_resource arena(room.data(), room.size());
    const BoundOperands bound = bind_operands(spec.arg_names, operands, &arena, Typing::Native);
    // A KernelSpec keeps its compiled kernel after its first call. The program for these
    // operand types gives the result's type, before the result is made.
    const CompiledKernel* kept = compiled_kernel_of(holder);
    CompiledKernelRef compiled;
    ValueType type;
    {
        ReleaseGil released;
        if (kept == nullptr) {
            compiled = get_or_compile(spec.body);
            kept = compiled.get();
        }
        type = result_type(*kept, bound.views);
    }
    if (const Refusal refused = refusal_of(*kept, bound.views)) {
        if (compiled) keep_compiled_kernel(holder, std::move(compiled));
        raise_refusal_of(holder, refused);
    }
    const bool given = out != nullptr && out != Py_None;
    // Narrowed as the engine writes it, when the caller asks.
    const std::optional<ValueType> store = narrow && given ? narrow_store(out, type) : std::nullopt;
    Ref result = !given ? new_result_array(bound.shape, type)
                        : Ref::borrow(reinterpret_cast<PyObject*>(
                              checked_out(out, bound, store.value_or(type))));
    auto* array = reinterpret_cast<PyArrayObject*>(result.get());
    Refusal refused;
    {
        ReleaseGil released;
        refused = evaluate_views_into(*kept, bound.views, PyArray_DATA(array),
                                      static_cast<std::size_t>(PyArray_SIZE(array)), store);
    }
    if (compiled) keep_compiled_kernel(holder, std::move(compiled));
    if (refused) raise_refusal_of(holder, refused);
    return result;
}

}  // namespace

QV_FASTCALL_FN(native_evaluate) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kEvaluateSignature, args, nargs, kwnames);
        const SpecSource source = parsed.convert(0, to_spec);
        PyObject* operands = parsed.convert(1, to_dict);
        const int narrow = parsed[3] != nullptr ? PyObject_IsTrue(parsed[3]) : 0;
        if (narrow < 0) throw_python_error();
        return evaluate_spec(parsed[0], *source.spec, operands, parsed[2], narrow != 0).release();
    });
}

QV_FASTCALL_FN(native_sum) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kSumSignature, args, nargs, kwnames);
        const SingleOperand input = bind_single("array", parsed[0]);
        if (parsed[1] == nullptr) {
            return check(PyFloat_FromDouble(reduce_or_raise(input.buffer, ReduceOp::Sum)));
        }
        const double start = parsed.convert(1, [](PyObject* v) {
            const double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred() != nullptr) throw_python_error();
            return d;
        });
        double total;
        {
            ReleaseGil released;
            total = sum_from(input.buffer->as_f64_slice(), start);
        }
        return check(PyFloat_FromDouble(total));
    });
}

QV_FASTCALL_FN(native_mean) {
    (void)self;
    return native_reduce<kMeanSignature, ReduceOp::Mean>(args, nargs, kwnames);
}
QV_FASTCALL_FN(native_min) {
    (void)self;
    return native_reduce<kMinSignature, ReduceOp::Min>(args, nargs, kwnames);
}
QV_FASTCALL_FN(native_max) {
    (void)self;
    return native_reduce<kMaxSignature, ReduceOp::Max>(args, nargs, kwnames);
}

}  // namespace qv::py
