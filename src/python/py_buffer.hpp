// The Buffer class, the Python handle of an engine buffer, and the NumPy conversions.
#pragma once

#include <Python.h>

#include "buffer/inner.hpp"

namespace qv::py {

PyTypeObject* buffer_type();

// A new Buffer object holding `ref` (no copy of the data).
PyObject* wrap_buffer(BufferRef ref);

// The reference held by `buffer`, which must be a Buffer instance.
const BufferRef& buffer_ref(PyObject* buffer) noexcept;

// rt.asarray(array): copies a contiguous one-dimensional float64 NumPy array.
extern const char* const kAsarrayDoc;
PyObject* runtime_asarray(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

}  // namespace qv::py
