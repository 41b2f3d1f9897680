// quorvaline._native, the package's native face: a second module of this same library
// (PEP 489, several modules in one library), so it shares the one engine state (the pool,
// the kernel cache, the delivery worker) and the classes of _quorvaline, whose own surface
// stays as it is.
#include <Python.h>

#include <cstddef>
#include <string>

#include "compiler/node_types.hpp"
#include "exec/loops.hpp"
#include "pool/pool.hpp"
#include "python/arg_frame.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/kernel_call.hpp"
#include "python/native_compute.hpp"
#include "python/native_config.hpp"
#include "python/native_reduce.hpp"
#include "python/operator_table.hpp"
#include "python/py_expr_nodes.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

constexpr Signature kGetThreadsSignature = Signature("get_num_threads()");
constexpr Signature kSetThreadsSignature = Signature("set_num_threads()").required("n");

QV_FASTCALL_FN(native_get_num_threads) {
    (void)self;
    return guarded([&] {
        (void)parse_fastcall(kGetThreadsSignature, args, nargs, kwnames);
        return check(PyLong_FromSize_t(thread_limit()));
    });
}

QV_FASTCALL_FN(native_set_num_threads) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kSetThreadsSignature, args, nargs, kwnames);
        const std::size_t n = parsed.convert(0, to_size);
        if (n == 0) {
            raise_message(PyExc_ValueError, "set_num_threads() needs at least 1 thread, got 0");
        }
        const std::size_t previous = thread_limit();
        set_thread_limit(n);
        return check(PyLong_FromSize_t(previous));
    });
}

constexpr Signature kLoopSetSignature = Signature("loop_set()");
constexpr Signature kLoopSetsSignature = Signature("loop_sets()");

PyObject* loop_set_str(LoopSet set) {
    const std::string_view name = loop_set_name(set);
    return check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

QV_FASTCALL_FN(native_loop_set) {
    (void)self;
    return guarded([&] {
        (void)parse_fastcall(kLoopSetSignature, args, nargs, kwnames);
        return loop_set_str(active_loop_set());
    });
}

QV_FASTCALL_FN(native_loop_sets) {
    (void)self;
    return guarded([&] {
        (void)parse_fastcall(kLoopSetsSignature, args, nargs, kwnames);
        const std::span<const LoopSet> sets = supported_loop_sets();
        Ref names = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(sets.size()))));
        for (std::size_t i = 0; i < sets.size(); ++i)
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), loop_set_str(sets[i]));
        return names.release();
    });
}

PyMethodDef native_methods[] = {
    {"expr_nodes", method_cast(native_expr_nodes), METH_FASTCALL | METH_KEYWORDS,
     "expr_nodes($module, expr)\n--\n\n"
     "The expression's argument names (ascending temp id) and its nodes in post-order."},
    {"expr_from_nodes", method_cast(native_expr_from_nodes), METH_FASTCALL | METH_KEYWORDS,
     "expr_from_nodes($module, names, nodes)\n--\n\n"
     "A new Expr over new arguments, one per name in that order, from post-order nodes."},
    {"evaluate", method_cast(native_evaluate), METH_FASTCALL | METH_KEYWORDS,
     "evaluate($module, kernel, operands, out=None, narrow=False)\n--\n\n"
     "Evaluate an Expr or KernelSpec over a dict of operands into a new array or `out`; "
     "narrow: `out` may be int8, int16, uint8 or uint16 for an int32 result, uint32 for an "
     "int64 one, float16 for a float32 one, written as NumPy's unsafe cast narrows."},
    {"sum", method_cast(native_sum), METH_FASTCALL | METH_KEYWORDS,
     "sum($module, array, start=-0.0)\n--\n\n"
     "start + a[0] + a[1] + ..., added in C order; without start, an empty array is an error."},
    {"mean", method_cast(native_mean), METH_FASTCALL | METH_KEYWORDS,
     "mean($module, array)\n--\n\nThe in-order sum divided by the element count."},
    {"min", method_cast(native_min), METH_FASTCALL | METH_KEYWORDS,
     "min($module, array)\n--\n\nSmallest element; NaN if any element is NaN."},
    {"max", method_cast(native_max), METH_FASTCALL | METH_KEYWORDS,
     "max($module, array)\n--\n\nLargest element; NaN if any element is NaN."},
    {"reduce", method_cast(native_axis_reduce), METH_FASTCALL | METH_KEYWORDS,
     "reduce($module, kernel, operands, op, axis=None, keepdims=False)\n--\n\n"
     "The KernelSpec's values over a dict of operands, reduced by op (sum, prod, min, max,\n"
     "mean) along axis in one pass, into a new array."},
    {"get_num_threads", method_cast(native_get_num_threads), METH_FASTCALL | METH_KEYWORDS,
     "get_num_threads($module)\n--\n\nThreads, the caller included, that one call may use."},
    {"set_num_threads", method_cast(native_set_num_threads), METH_FASTCALL | METH_KEYWORDS,
     "set_num_threads($module, n)\n--\n\n"
     "Let at most n threads work on each call; returns the previous count."},
    {"loop_set", method_cast(native_loop_set), METH_FASTCALL | METH_KEYWORDS,
     "loop_set($module)\n--\n\n"
     "The loop set kernels run with: 'baseline', 'avx2' or 'avx512' (QUORVALINE_LOOP_SET\n"
     "forces one; by default the widest this CPU runs)."},
    {"loop_sets", method_cast(native_loop_sets), METH_FASTCALL | METH_KEYWORDS,
     "loop_sets($module)\n--\n\nThe loop sets this CPU and build can run, narrowest first."},
    {"config", method_cast(native_config), METH_FASTCALL | METH_KEYWORDS,
     "config($module)\n--\n\n"
     "The loop set, the math library and the path of each vectorised math function."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "quorvaline._native",
    "The quorvaline package's native face over the engine of _quorvaline.",
    0,
    native_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qv::py

PyMODINIT_FUNC PyInit__native(void) {
    using namespace qv::py;
    return guarded([] {
        Ref module = Ref::steal(check(PyModule_Create(&native_def)));
        PyObject* type = reinterpret_cast<PyObject*>(kernel_call_type());
        if (PyModule_AddObjectRef(module.get(), "KernelCall", type) < 0) throw_python_error();
        Ref operators = Ref::steal(operator_rows());
        if (PyModule_AddObjectRef(module.get(), "OPERATORS", operators.get()) < 0)
            throw_python_error();
        const std::string bools(qv::kBoolsByPackage);
        if (PyModule_AddStringConstant(module.get(), "BOOLS_BY_PACKAGE", bools.c_str()) < 0)
            throw_python_error();
        return module.release();
    });
}
