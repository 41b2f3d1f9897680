// The spec classes and the kernel object's functions that make them. Instances come only
// from those functions and are never changed afterwards.
#include "python/py_spec.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "exec/compiled.hpp"
#include "ir/expr.hpp"
#include "ir/kernel_spec.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"
#include "python/py_expr.hpp"

namespace qv::py {

namespace {

constexpr Signature kElementwiseSignature =
    Signature("_KernelModule.elementwise()").required("expr");
constexpr Signature kMapSignature = Signature("_KernelModule.map()").required("spec").varkw();

constexpr Signature reduce_signature(ReduceOp op) {
#define QV_SIGNATURE_ROW(name, fn) \
    case ReduceOp::name: return Signature("_KernelModule." #fn "()").required("buf");
    switch (op) {
        QV_REDUCE_FUNCTIONS(QV_SIGNATURE_ROW)
        default: break;
    }
#undef QV_SIGNATURE_ROW
    throw "no kernel function for this reduction";
}

template <ReduceOp op>
constexpr Signature kReduceSignature = reduce_signature(op);

// A KernelSpec object's value: its KernelSpec, and the compiled kernel once a call has needed it.
// Kept here, it lives as long as the spec, whether the cache keeps it or not, and later
// calls skip the lookup.
// Read and written under the interpreter lock.
struct HeldKernelSpec {
    KernelSpec spec;
    CompiledKernelRef compiled{};
};

// A Buffer, else a number; NaN and infinities are values like any other.
ArgValue to_arg_value(const std::string& name, PyObject* value) {
    if (PyObject_TypeCheck(value, buffer_type())) return buffer_ref(value);
    if (const std::optional<double> number = to_number(value)) return *number;
    raise_message(PyExc_TypeError, "argument '" + name + "' must be Buffer or numeric");
}

}  // namespace

PyTypeObject* kernel_spec_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<HeldKernelSpec>(
        type, "builtins.KernelSpec",
        {{Py_tp_doc, const_cast<char*>("Python-visible kernel specification.")}});
}

PyTypeObject* map_spec_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<MapWork>(
        type, "builtins.MapSpec",
        {{Py_tp_doc, const_cast<char*>("Specification for mapping a kernel over arguments.")}});
}

PyTypeObject* reduce_spec_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<ReduceWork>(
        type, "builtins.ReduceSpec",
        {{Py_tp_doc, const_cast<char*>("Specification for a reduce operation.")}});
}

const KernelSpec* kernel_spec_of(PyObject* spec) {
    return PyObject_TypeCheck(spec, kernel_spec_type()) ? &held<HeldKernelSpec>(spec).spec
                                                        : nullptr;
}

const CompiledKernel* compiled_kernel_of(PyObject* spec) {
    return PyObject_TypeCheck(spec, kernel_spec_type()) ? held<HeldKernelSpec>(spec).compiled.get()
                                                        : nullptr;
}

void keep_compiled_kernel(PyObject* spec, CompiledKernelRef kernel) {
    // The first kept stays: a call running without the lock may be using it.
    if (!PyObject_TypeCheck(spec, kernel_spec_type())) return;
    CompiledKernelRef& kept = held<HeldKernelSpec>(spec).compiled;
    if (!kept) kept = std::move(kernel);
}

std::optional<Work> copy_work(PyObject* spec) {
    if (PyObject_TypeCheck(spec, map_spec_type())) return Work(held<MapWork>(spec));
    if (PyObject_TypeCheck(spec, reduce_spec_type())) return Work(held<ReduceWork>(spec));
    return std::nullopt;
}

QV_FASTCALL_FN(kernel_elementwise) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kElementwiseSignature, args, nargs, kwnames);
        PyObject* expr =
            parsed.convert(0, [](PyObject* v) { return to_instance(v, expr_type(), "Expr"); });
        auto made = make_kernel_spec(expr_value(expr));
        if (auto* refused = std::get_if<SpecError>(&made)) {
            raise_message(PyExc_ValueError, refused->message);
        }
        return wrap(kernel_spec_type(), HeldKernelSpec{std::get<KernelSpec>(std::move(made))});
    });
}

QV_VARKW_FN(kernel_map) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_tuple_dict(kMapSignature, args, kwargs);
        PyObject* spec = parsed.convert(
            0, [](PyObject* v) { return to_instance(v, kernel_spec_type(), "KernelSpec"); });
        const KernelSpec& kernel = held<HeldKernelSpec>(spec).spec;
        MapWork work{kernel.arg_names, kernel.body, {}};
        if (PyObject* bindings = parsed.kwargs()) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(bindings, &pos, &key, &value)) {
                std::string name = to_utf8(key);
                ArgValue bound = to_arg_value(name, value);
                work.bound.insert_or_assign(std::move(name), std::move(bound));
            }
        }
        return wrap(map_spec_type(), std::move(work));
    });
}

template <ReduceOp op>
QV_FASTCALL_FN(reduce_function) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kReduceSignature<op>, args, nargs, kwnames);
        PyObject* buf =
            parsed.convert(0, [](PyObject* v) { return to_instance(v, buffer_type(), "Buffer"); });
        return wrap(reduce_spec_type(), ReduceWork{buffer_ref(buf), op});
    });
}

#define QV_REDUCE_INSTANCE(name, fn) template QV_FASTCALL_FN(reduce_function<ReduceOp::name>);
QV_REDUCE_FUNCTIONS(QV_REDUCE_INSTANCE)
#undef QV_REDUCE_INSTANCE

}  // namespace qv::py
