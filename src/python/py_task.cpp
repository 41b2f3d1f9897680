// The TaskHandle class. Instances come only from rt.go.
#include "python/py_task.hpp"

#include <new>
#include <string>
#include <utility>

#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"

namespace qv::py {

namespace {

struct TaskHandleObject {
    PyObject_HEAD
    TaskRef task;
};

Task& task_of(PyObject* self) noexcept { return *reinterpret_cast<TaskHandleObject*>(self)->task; }

void task_handle_dealloc(PyObject* self) noexcept {
    reinterpret_cast<TaskHandleObject*>(self)->task.~TaskRef();
    free_instance(self);
}

// The wait runs in C++ without the interpreter lock, so a signal cannot end it: its handler
// runs once the call has returned.
PyObject* task_result(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        TaskOutcome outcome;
        {
            ReleaseGil released;
            outcome = task_of(self).wait_finished();
        }
        switch (outcome.state) {
            case TaskState::Completed: break;
            case TaskState::Failed: raise_result(std::move(*outcome.error));
            default: raise_result(EngineError::cancelled());
        }
        if (auto* buffer = std::get_if<BufferRef>(&*outcome.result)) {
            return wrap_buffer(std::move(*buffer));
        }
        return wrap_buffer(from_f64_vec(F64Vec{std::get<double>(*outcome.result)}));
    });
}

PyObject* task_is_done(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return PyBool_FromLong(task_of(self).is_done()); });
}

PyObject* task_cancel(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return PyBool_FromLong(task_of(self).cancel()); });
}

PyObject* task_repr(PyObject* self) noexcept {
    return guarded([&] {
        const std::string text = "TaskHandle(state=" + task_of(self).snapshot_state().debug() + ")";
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyMethodDef task_handle_methods[] = {
    {"result", task_result, METH_NOARGS,
     "result($self)\n--\n\nBlock until completion and return result."},
    {"is_done", task_is_done, METH_NOARGS, "is_done($self)\n--\n\nCheck if the task is complete."},
    {"cancel", task_cancel, METH_NOARGS, "cancel($self)\n--\n\nCancel the task."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot task_handle_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible task handle.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(task_handle_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(task_repr)},
    {Py_tp_methods, task_handle_methods},
    {0, nullptr},
};

PyType_Spec task_handle_spec = {"builtins.TaskHandle", sizeof(TaskHandleObject), 0,
                                Py_TPFLAGS_DEFAULT, task_handle_slots};

PyTypeObject* g_task_handle_type = nullptr;

}  // namespace

PyTypeObject* task_handle_type() { return lazy_type(g_task_handle_type, task_handle_spec); }

PyObject* wrap_task(TaskRef task) {
    PyTypeObject* type = task_handle_type();
    PyObject* self = check(type->tp_alloc(type, 0));
    new (&reinterpret_cast<TaskHandleObject*>(self)->task) TaskRef(std::move(task));
    return self;
}

}  // namespace qv::py
