// The factory classes _KernelModule and _RuntimeModule: stateless objects whose methods
// are the system's entry points. Each method's body lives with the class it produces.
#include "python/py_kernel.hpp"

#include "python/arg_frame.hpp"
#include "python/entry.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"

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

// Expression functions, kernel specs and reductions are added here as they are built.
PyMethodDef kernel_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

// In this order: go, chan, asarray. go and chan come with submission and channels.
PyMethodDef runtime_methods[] = {
    {"asarray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(runtime_asarray)),
     METH_FASTCALL | METH_KEYWORDS, kAsarrayDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kernel_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "_KernelModule()\n--\n\n"
                    "The kernel module exposed to Python.\n"
                    "Contains factory functions for creating expressions and kernel specs.")},
    {Py_tp_new, reinterpret_cast<void*>(construct_stateless<kKernelNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_methods, kernel_methods},
    {0, nullptr},
};
PyType_Spec kernel_spec = {"builtins._KernelModule", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                           kernel_slots};
PyTypeObject* g_kernel_type = nullptr;

PyType_Slot runtime_slots[] = {
    {Py_tp_doc, const_cast<char*>("_RuntimeModule()\n--\n\nThe runtime module exposed to Python.")},
    {Py_tp_new, reinterpret_cast<void*>(construct_stateless<kRuntimeNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_methods, runtime_methods},
    {0, nullptr},
};
PyType_Spec runtime_spec = {"builtins._RuntimeModule", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                            runtime_slots};
PyTypeObject* g_runtime_type = nullptr;

}  // namespace

PyTypeObject* kernel_module_type() { return lazy_type(g_kernel_type, kernel_spec); }
PyTypeObject* runtime_module_type() { return lazy_type(g_runtime_type, runtime_spec); }

}  // namespace qv::py
