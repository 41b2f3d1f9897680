// The factory classes _KernelModule and _RuntimeModule: stateless objects whose methods
// are the system's entry points. Each method's body lives with the class it produces.
#include "python/py_kernel.hpp"

#include <memory>
#include <optional>
#include <utility>

#include "python/arg_frame.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"
#include "python/py_channel.hpp"
#include "python/py_expr.hpp"
#include "python/py_spec.hpp"
#include "python/py_task.hpp"
#include "runtime/submit.hpp"

namespace qv::py {

namespace {

template <const Signature& sig>
PyObject* construct_stateless(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        (void)parse_tuple_dict(sig, args, kwargs);
        return check(type->tp_alloc(type, 0));
    });
}

constexpr Signature kKernelNew = Signature("_KernelModule.__new__()");
constexpr Signature kRuntimeNew = Signature("_RuntimeModule.__new__()");
constexpr Signature kGoSignature =
    Signature("_RuntimeModule.go()").required("spec").optional("out");

std::optional<ChannelHandle> to_out_channel(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return channel_handle(to_instance(value, channel_type(), "Channel"));
}

// The kernel functions of the operator table and the reductions: name, entry point and
// signature line.
#define QV_UNARY_METHOD(name, code, scalar, cost, libm, spellings, doc, fn, x)       \
    {#fn, method_cast(unary_function<UnaryOp::name>), METH_FASTCALL | METH_KEYWORDS, \
     #fn "($self, " #x ")\n--\n\n"},
#define QV_BINARY_METHOD(name, code, scalar, cost, libm, spellings, doc, fn, l, r)     \
    {#fn, method_cast(binary_function<BinaryOp::name>), METH_FASTCALL | METH_KEYWORDS, \
     #fn "($self, " #l ", " #r ")\n--\n\n"},
#define QV_REDUCE_METHOD(name, fn)                                                     \
    {#fn, method_cast(reduce_function<ReduceOp::name>), METH_FASTCALL | METH_KEYWORDS, \
     #fn "($self, buf)\n--\n\n"},

PyMethodDef kernel_methods[] = {
    {"arg", method_cast(kernel_arg), METH_FASTCALL | METH_KEYWORDS,
     "arg($self, name)\n--\n\nCreate a single named argument expression."},
    {"args", method_cast(kernel_args), METH_FASTCALL | METH_KEYWORDS,
     "args($self, *names)\n--\n\nCreate multiple named argument expressions."},
    {"elementwise", method_cast(kernel_elementwise), METH_FASTCALL | METH_KEYWORDS,
     "elementwise($self, expr)\n--\n\nCreate an elementwise kernel from an expression.\nPerforms "
     "dense reindexing: `temp_ids` are mapped to 0, 1, 2, ... in sorted order."},
    {"map", method_cast(kernel_map), METH_VARARGS | METH_KEYWORDS,
     "map($self, spec, **kwargs)\n--\n\nMap a kernel spec over named arguments, returning a "
     "`MapSpec` for `rt.go()`."},
    QV_UNARY_OPS(QV_NO_ROW, QV_UNARY_METHOD) QV_BINARY_OPS(QV_NO_ROW, QV_BINARY_METHOD){
        "where_", method_cast(kernel_where), METH_FASTCALL | METH_KEYWORDS,
        "where_($self, cond, true_val, false_val)\n--\n\nConditional select: `where(cond, "
        "true_val, false_val)`."},
    QV_REDUCE_FUNCTIONS(QV_REDUCE_METHOD){nullptr, nullptr, 0, nullptr},
};

#undef QV_UNARY_METHOD
#undef QV_BINARY_METHOD
#undef QV_REDUCE_METHOD

PyMethodDef runtime_methods[] = {
    {"go", method_cast(runtime_go), METH_FASTCALL | METH_KEYWORDS,
     "go($self, spec, out=None)\n--\n\nSubmit a computation and return a `TaskHandle`.\nAccepts "
     "either a `MapSpec` (elementwise) or a `ReduceSpec`.\nIf `out` is provided, the result is "
     "delivered to that channel asynchronously."},
    {"chan", method_cast(runtime_chan), METH_FASTCALL | METH_KEYWORDS,
     "chan($self, capacity)\n--\n\nCreate a bounded channel."},
    {"asarray", method_cast(runtime_asarray), METH_FASTCALL | METH_KEYWORDS, kAsarrayDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The task exists before the interpreter lock is released; everything from the computation
// to the hand-off to the delivery worker runs without it.
QV_FASTCALL_FN(runtime_go) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kGoSignature, args, nargs, kwnames);
        std::optional<ChannelHandle> out = parsed.convert(1, to_out_channel);
        std::optional<Work> work = copy_work(parsed[0]);
        if (!work) raise_message(PyExc_TypeError, "go() expects a MapSpec or ReduceSpec");
        auto task = std::make_shared<Task>();
        {
            ReleaseGil released;
            run_submission(task, std::move(*work), std::move(out));
        }
        return wrap_task(std::move(task));
    });
}

PyTypeObject* kernel_module_type() {
    static PyTypeObject* type = nullptr;
    return lazy_type(
        type, "builtins._KernelModule", sizeof(PyObject),
        {
            {Py_tp_doc,
             const_cast<char*>(
                 "_KernelModule()\n--\n\n"
                 "The kernel module exposed to Python.\n"
                 "Contains factory functions for creating expressions and kernel specs.")},
            {Py_tp_new, reinterpret_cast<void*>(construct_stateless<kKernelNew>)},
            {Py_tp_methods, kernel_methods},
        });
}

PyTypeObject* runtime_module_type() {
    static PyTypeObject* type = nullptr;
    return lazy_type(
        type, "builtins._RuntimeModule", sizeof(PyObject),
        {
            {Py_tp_doc,
             const_cast<char*>("_RuntimeModule()\n--\n\nThe runtime module exposed to Python.")},
            {Py_tp_new, reinterpret_cast<void*>(construct_stateless<kRuntimeNew>)},
            {Py_tp_methods, runtime_methods},
        });
}

}  // namespace qv::py
