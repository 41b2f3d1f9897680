// The TaskHandle class: the Python face of a submitted computation.
#pragma once

#include <Python.h>

namespace qv::py {

PyTypeObject* task_handle_type();

}  // namespace qv::py
