// The TaskHandle class. Instances come only from rt.go.
#include "python/py_task.hpp"

#include <string>
#include <utility>

#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"

namespace qv::py {

namespace {

Task& task_of(PyObject* self) noexcept { return *held<TaskRef>(self); }

// The wait runs in C++ without the interpreter lock, so a signal cannot end it: its handler
// runs once the call has returned. A finished task (the usual case after go) needs no wait,
// and handing the lock over and back would cost more than a small computation.
PyObject* task_result(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const Task& task = task_of(self);
        TaskOutcome outcome;
        if (task.is_done()) {
            outcome = task.wait_finished();  // terminal states are final: returns at once
        } else {
            ReleaseGil released;
            outcome = task.wait_finished();
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
        return check(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyMethodDef task_handle_methods[] = {
    {"result", task_result, METH_NOARGS,
     "result($self)\n--\n\nBlock until completion and return result."},
    {"is_done", task_is_done, METH_NOARGS, "is_done($self)\n--\n\nCheck if the task is complete."},
    {"cancel", task_cancel, METH_NOARGS, "cancel($self)\n--\n\nCancel the task."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* task_handle_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<TaskRef>(type, "builtins.TaskHandle",
                                {
                                    {Py_tp_doc, const_cast<char*>("Python-visible task handle.")},
                                    {Py_tp_repr, reinterpret_cast<void*>(task_repr)},
                                    {Py_tp_methods, task_handle_methods},
                                });
}

PyObject* wrap_task(TaskRef task) { return wrap(task_handle_type(), std::move(task)); }

}  // namespace qv::py
