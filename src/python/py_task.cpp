// The TaskHandle class. Instances come only from rt.go.
#include "python/py_task.hpp"

#include "python/heap_type.hpp"

namespace qv::py {

namespace {

PyType_Slot task_handle_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible task handle.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};

PyType_Spec task_handle_spec = {"builtins.TaskHandle", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                task_handle_slots};

PyTypeObject* g_task_handle_type = nullptr;

}  // namespace

PyTypeObject* task_handle_type() { return lazy_type(g_task_handle_type, task_handle_spec); }

}  // namespace qv::py
