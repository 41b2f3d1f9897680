// The TaskHandle class: the Python face of a submitted computation.
#pragma once

#include <Python.h>

#include "runtime/task.hpp"

namespace qv::py {

PyTypeObject* task_handle_type();

// A new TaskHandle object holding `task`.
PyObject* wrap_task(TaskRef task);

}  // namespace qv::py
