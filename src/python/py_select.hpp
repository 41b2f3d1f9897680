// RecvCase (one channel to wait on) and the module function py_select.
#pragma once

#include <Python.h>

namespace qv::py {

PyTypeObject* recv_case_type();

// The built-in function object py_select, bound to `module`.
PyObject* make_py_select(PyObject* module);

}  // namespace qv::py
