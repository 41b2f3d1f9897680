// The spec classes and the kernel object's functions that make them. Instances come only
// from those functions and are never changed afterwards.
#include "python/py_spec.hpp"

#include <new>
#include <string>
#include <utility>
#include <variant>

#include "ir/expr.hpp"
#include "ir/kernel_spec.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"
#include "python/py_expr.hpp"

namespace qv::py {

namespace {

// One Python object holding one engine value.
template <class T>
struct Holder {
    PyObject_HEAD
    T value;
};

template <class T>
T& held(PyObject* self) noexcept {
    return reinterpret_cast<Holder<T>*>(self)->value;
}

template <class T>
void holder_dealloc(PyObject* self) noexcept {
    held<T>(self).~T();
    free_instance(self);
}

template <class T>
PyObject* wrap(PyTypeObject* type, T value) {
    PyObject* self = check(type->tp_alloc(type, 0));
    new (&held<T>(self)) T(std::move(value));
    return self;
}

PyType_Slot kernel_spec_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible kernel specification.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<KernelSpec>)},
    {0, nullptr},
};
PyType_Spec kernel_spec_spec = {"builtins.KernelSpec", sizeof(Holder<KernelSpec>), 0,
                                Py_TPFLAGS_DEFAULT, kernel_spec_slots};
PyTypeObject* g_kernel_spec_type = nullptr;

PyType_Slot map_spec_slots[] = {
    {Py_tp_doc, const_cast<char*>("Specification for mapping a kernel over arguments.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<MapWork>)},
    {0, nullptr},
};
PyType_Spec map_spec_spec = {"builtins.MapSpec", sizeof(Holder<MapWork>), 0, Py_TPFLAGS_DEFAULT,
                             map_spec_slots};
PyTypeObject* g_map_spec_type = nullptr;

PyType_Slot reduce_spec_slots[] = {
    {Py_tp_doc, const_cast<char*>("Specification for a reduce operation.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<ReduceWork>)},
    {0, nullptr},
};
PyType_Spec reduce_spec_spec = {"builtins.ReduceSpec", sizeof(Holder<ReduceWork>), 0,
                                Py_TPFLAGS_DEFAULT, reduce_spec_slots};
PyTypeObject* g_reduce_spec_type = nullptr;

constexpr Signature kElementwiseSignature =
    Signature("_KernelModule.elementwise()").required("expr");
constexpr Signature kMapSignature = Signature("_KernelModule.map()").required("spec").varkw();
constexpr Signature kSumSignature = Signature("_KernelModule.sum()").required("buf");
constexpr Signature kMeanSignature = Signature("_KernelModule.mean()").required("buf");
constexpr Signature kMinReduceSignature = Signature("_KernelModule.min_reduce()").required("buf");
constexpr Signature kMaxReduceSignature = Signature("_KernelModule.max_reduce()").required("buf");

// A Buffer, else an integer (through the float64 nearest to it), else anything the float
// conversion accepts; NaN and infinities are values like any other.
ArgValue to_arg_value(const std::string& name, PyObject* value) {
    if (PyObject_TypeCheck(value, buffer_type())) return buffer_ref(value);
    const long long integer = PyLong_AsLongLong(value);
    if (integer != -1 || PyErr_Occurred() == nullptr) return static_cast<double>(integer);
    PyErr_Clear();
    const double real = PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
    if (real != -1.0 || PyErr_Occurred() == nullptr) return real;
    PyErr_Clear();
    raise_message(PyExc_TypeError, "argument '" + name + "' must be Buffer or numeric");
}

template <const Signature& sig, ReduceOp op>
PyObject* make_reduce_spec(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const Args parsed = parse_fastcall(sig, args, nargs, kwnames);
        PyObject* buf = parsed.convert(0, [](PyObject* v) {
            return to_instance(v, buffer_type(), "Buffer");
        });
        return wrap(reduce_spec_type(), ReduceWork{buffer_ref(buf), op});
    });
}

}  // namespace

PyTypeObject* kernel_spec_type() { return lazy_type(g_kernel_spec_type, kernel_spec_spec); }
PyTypeObject* map_spec_type() { return lazy_type(g_map_spec_type, map_spec_spec); }
PyTypeObject* reduce_spec_type() { return lazy_type(g_reduce_spec_type, reduce_spec_spec); }

std::optional<Work> copy_work(PyObject* spec) {
    if (PyObject_TypeCheck(spec, map_spec_type())) return Work(held<MapWork>(spec));
    if (PyObject_TypeCheck(spec, reduce_spec_type())) return Work(held<ReduceWork>(spec));
    return std::nullopt;
}

QV_FASTCALL_FN(kernel_elementwise) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kElementwiseSignature, args, nargs, kwnames);
        PyObject* expr = parsed.convert(0, [](PyObject* v) {
            return to_instance(v, expr_type(), "Expr");
        });
        auto made = make_kernel_spec(expr_value(expr));
        if (auto* refused = std::get_if<SpecError>(&made)) {
            raise_message(PyExc_ValueError, refused->message);
        }
        return wrap(kernel_spec_type(), std::get<KernelSpec>(std::move(made)));
    });
}

QV_VARKW_FN(kernel_map) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_tuple_dict(kMapSignature, args, kwargs);
        PyObject* spec = parsed.convert(0, [](PyObject* v) {
            return to_instance(v, kernel_spec_type(), "KernelSpec");
        });
        const KernelSpec& kernel = held<KernelSpec>(spec);
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

QV_FASTCALL_FN(kernel_sum) {
    (void)self;
    return make_reduce_spec<kSumSignature, ReduceOp::Sum>(args, nargs, kwnames);
}
QV_FASTCALL_FN(kernel_mean) {
    (void)self;
    return make_reduce_spec<kMeanSignature, ReduceOp::Mean>(args, nargs, kwnames);
}
QV_FASTCALL_FN(kernel_min_reduce) {
    (void)self;
    return make_reduce_spec<kMinReduceSignature, ReduceOp::Min>(args, nargs, kwnames);
}
QV_FASTCALL_FN(kernel_max_reduce) {
    (void)self;
    return make_reduce_spec<kMaxReduceSignature, ReduceOp::Max>(args, nargs, kwnames);
}

}  // namespace qv::py
