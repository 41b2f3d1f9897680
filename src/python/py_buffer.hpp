// The Buffer class, the Python handle of an engine buffer, and the NumPy conversions.
#pragma once

#include <Python.h>

#include "buffer/inner.hpp"
#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* buffer_type();

// A new Buffer object holding `ref` (no copy of the data).
PyObject* wrap_buffer(BufferRef ref);

// The reference held by `buffer`, which must be a Buffer instance.
const BufferRef& buffer_ref(PyObject* buffer) noexcept;

// rt.asarray(array): copies a contiguous one-dimensional float64 NumPy array.
extern const char* const kAsarrayDoc;
QV_FASTCALL_FN(runtime_asarray);

}  // namespace qv::py
