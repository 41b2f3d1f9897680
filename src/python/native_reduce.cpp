// The native face's reduce: operands bound as evaluate binds them, axes read as NumPy reads
// them, the fused reduction run without the interpreter lock into a new array.
#include "python/native_reduce.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exec/evaluator.hpp"
#include "exec/fused_reduce.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/native_compute.hpp"
#include "python/operands.hpp"
#include "python/py_spec.hpp"
#include "python/result_array.hpp"
#include "runtime/cache.hpp"

namespace qv::py {

namespace {

constexpr Signature kReduceSignature = Signature("reduce()")
                                           .required("kernel")
                                           .required("operands")
                                           .required("op")
                                           .optional("axis")
                                           .optional("keepdims");

AxisReduceOp to_reduce_op(PyObject* value) {
    const std::string name = to_utf8(value);
    if (name == "sum") return AxisReduceOp::Sum;
    if (name == "prod") return AxisReduceOp::Prod;
    if (name == "min") return AxisReduceOp::Min;
    if (name == "max") return AxisReduceOp::Max;
    if (name == "mean") return AxisReduceOp::Mean;
    raise_format(PyExc_ValueError, "unknown reduction '%s' (sum, prod, min, max or mean)",
                 name.c_str());
}

// NumPy's AxisError (a ValueError and an IndexError), with its own message.
[[noreturn]] void raise_axis_error(Py_ssize_t axis, std::size_t ndim) {
    Ref module = Ref::steal(check(PyImport_ImportModule("numpy.exceptions")));
    Ref type = Ref::steal(check(PyObject_GetAttrString(module.get(), "AxisError")));
    Ref error = Ref::steal(
        check(PyObject_CallFunction(type.get(), "nn", axis, static_cast<Py_ssize_t>(ndim))));
    PyErr_SetObject(type.get(), error.get());
    throw_python_error();
}

// One flag per axis of an array of `ndim` axes: reduced or kept.
std::vector<bool> reduced_axes(PyObject* axis, std::size_t ndim) {
    std::vector<bool> reduced(ndim, axis == nullptr || axis == Py_None);
    if (axis == nullptr || axis == Py_None) return reduced;
    Ref items = Ref::steal(check(PyTuple_Check(axis) ? Py_NewRef(axis) : PyTuple_Pack(1, axis)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        // Integers only, as NumPy takes them: a float or a bool-like text is a TypeError.
        const Py_ssize_t given = PyNumber_AsSsize_t(item, PyExc_OverflowError);
        if (given == -1 && PyErr_Occurred() != nullptr) reraise_for_argument("axis");
        const Py_ssize_t dims = static_cast<Py_ssize_t>(ndim);
        if (given < -dims || given >= dims) raise_axis_error(given, ndim);
        const std::size_t a = static_cast<std::size_t>(given < 0 ? given + dims : given);
        if (reduced[a]) raise_message(PyExc_ValueError, "duplicate value in 'axis'");
        reduced[a] = true;
    }
    return reduced;
}

}  // namespace

QV_FASTCALL_FN(native_axis_reduce) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kReduceSignature, args, nargs, kwnames);
        PyObject* holder = parsed[0];
        const KernelSpec* spec = parsed.convert(0, [](PyObject* value) {
            const KernelSpec* found = kernel_spec_of(value);
            if (found == nullptr) raise_cannot_convert(value, "KernelSpec");
            return found;
        });
        PyObject* operands = parsed.convert(1, to_dict);
        const AxisReduceOp op = parsed.convert(2, to_reduce_op);
        const std::string name = to_utf8(parsed[2]);
        const bool keepdims = parsed[4] != nullptr && parsed.convert(4, to_bool);

        std::array<std::byte, 2048> room;
        std::pmr::monotonic_buffer_resource arena(room.data(), room.size());
        const BoundOperands bound =
            bind_operands(spec->arg_names, operands, &arena, Typing::Native);
        const std::size_t ndim = bound.shape.size();
        const std::vector<bool> reduced = reduced_axes(parsed[3], ndim);

        std::vector<std::size_t> shape(ndim);
        std::vector<npy_intp> out_shape;
        std::unique_ptr<bool[]> flags(new bool[ndim]);  // vector<bool> has no span
        for (std::size_t a = 0; a < ndim; ++a) {
            shape[a] = static_cast<std::size_t>(bound.shape[a]);
            flags[a] = reduced[a];
            if (!reduced[a]) out_shape.push_back(bound.shape[a]);
            else if (keepdims) out_shape.push_back(1);
        }
        // A KernelSpec keeps its compiled kernel after its first call. The program for these
        // operand types gives the values' type, and with it the result's, before it is made.
        const CompiledKernel* kept = compiled_kernel_of(holder);
        CompiledKernelRef compiled;
        ValueType values;
        {
            ReleaseGil released;
            if (kept == nullptr) {
                compiled = get_or_compile(spec->body);
                kept = compiled.get();
            }
            values = result_type(*kept, bound.views);
        }
        if (const Refusal refused = refusal_of(*kept, bound.views))
            raise_refusal_of(holder, refused);
        const std::optional<ValueType> type = reduced_type(values, op);
        if (!type) {
            raise_format(PyExc_TypeError, "%s() does not reduce values of dtype %s%s", name.c_str(),
                         type_name(values),
                         is_complex(values) ? " (complex numbers have no order)" : "");
        }
        Ref result = new_result_array(out_shape, *type);
        auto* array = reinterpret_cast<PyArrayObject*>(result.get());
        std::optional<EngineError> failed;
        {
            ReleaseGil released;
            failed = reduce_kernel_into(
                *kept, bound.views, shape, std::span<const bool>(flags.get(), ndim), op,
                PyArray_DATA(array), static_cast<std::size_t>(PyArray_SIZE(array)));
        }
        if (compiled) keep_compiled_kernel(holder, std::move(compiled));
        if (failed) raise_result(std::move(*failed));
        return result.release();
    });
}

}  // namespace qv::py
