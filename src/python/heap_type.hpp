// Shared pieces of every class: heap types built from a spec on first use and kept for
// the process, the constructor refusal, and the common end of deallocation.
#pragma once

#include <Python.h>

namespace qv::py {

// Returns the type in `slot`, creating it from `spec` on first use. Throws
// PythonErrorSet when creation fails (the slot stays empty, so a later call retries).
PyTypeObject* lazy_type(PyTypeObject*& slot, PyType_Spec& spec);

// tp_new of the classes Python cannot construct: TypeError "No constructor defined for Expr".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Frees an instance and drops the reference it held on its heap type.
void free_instance(PyObject* self) noexcept;

}  // namespace qv::py
