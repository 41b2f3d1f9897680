// NumPy's array programming interface, reached through the capsule NumPy publishes and
// loaded on first use. Include this instead of the NumPy headers.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL qv_numpy_array_api
#ifndef QV_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace qv::py {

// Loads the interface once per process; an internal fault whose text begins
// "Failed to access NumPy array API capsule" when NumPy cannot provide it.
void ensure_numpy_api();

}  // namespace qv::py
