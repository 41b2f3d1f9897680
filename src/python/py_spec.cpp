// The spec classes. Instances come only from the kernel object's methods.
#include "python/py_spec.hpp"
#include "python/py_kernel.hpp"

#include "python/heap_type.hpp"

namespace qv::py {

namespace {

PyType_Slot kernel_spec_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible kernel specification.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};
PyType_Spec kernel_spec_spec = {"builtins.KernelSpec", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                kernel_spec_slots};
PyTypeObject* g_kernel_spec_type = nullptr;

PyType_Slot map_spec_slots[] = {
    {Py_tp_doc, const_cast<char*>("Specification for mapping a kernel over arguments.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};
PyType_Spec map_spec_spec = {"builtins.MapSpec", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                             map_spec_slots};
PyTypeObject* g_map_spec_type = nullptr;

PyType_Slot reduce_spec_slots[] = {
    {Py_tp_doc, const_cast<char*>("Specification for a reduce operation.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};
PyType_Spec reduce_spec_spec = {"builtins.ReduceSpec", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                reduce_spec_slots};
PyTypeObject* g_reduce_spec_type = nullptr;

}  // namespace

PyTypeObject* kernel_spec_type() { return lazy_type(g_kernel_spec_type, kernel_spec_spec); }
PyTypeObject* map_spec_type() { return lazy_type(g_map_spec_type, map_spec_spec); }
PyTypeObject* reduce_spec_type() { return lazy_type(g_reduce_spec_type, reduce_spec_spec); }

}  // namespace qv::py

namespace qv::py {

// Placeholders until kernels and reductions land.
#define QV_PENDING(name)                                                                 \
    QV_FASTCALL_FN(name) {                                                               \
        (void)self, (void)args, (void)nargs, (void)kwnames;                              \
        PyErr_SetString(PyExc_NotImplementedError, #name);                               \
        return nullptr;                                                                  \
    }
QV_PENDING(kernel_elementwise)
QV_PENDING(kernel_sum)
QV_PENDING(kernel_mean)
QV_PENDING(kernel_min_reduce)
QV_PENDING(kernel_max_reduce)
#undef QV_PENDING

QV_VARKW_FN(kernel_map) {
    (void)self, (void)args, (void)kwargs;
    PyErr_SetString(PyExc_NotImplementedError, "kernel_map");
    return nullptr;
}

QV_FASTCALL_FN(runtime_go) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "runtime_go");
    return nullptr;
}

}  // namespace qv::py
