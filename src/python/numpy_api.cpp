// Loading NumPy's array interface from its capsule.
#define QV_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include <string>

#include "core/fault.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

bool g_loaded = false;  // guarded by the interpreter lock

[[noreturn]] void capsule_failure(const char* what) {
    std::string text = "Failed to access NumPy array API capsule: ";
    text += what;
    if (PyErr_Occurred() != nullptr) {
        const FetchedError error = fetch_error();
        Ref message = Ref::steal(error.value ? PyObject_Str(error.value.get()) : nullptr);
        const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
        if (utf8 != nullptr) {
            text += ": ";
            text += utf8;
        }
        PyErr_Clear();
    }
    fault(std::move(text));
}

Ref import_multiarray() {
    Ref mod = Ref::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!mod && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();  // NumPy 1.x keeps it under numpy.core
        mod = Ref::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    return mod;
}

}  // namespace

void ensure_numpy_api() {
    if (g_loaded) return;
    Ref mod = import_multiarray();
    if (!mod) capsule_failure("cannot import numpy");
    Ref capsule = Ref::steal(PyObject_GetAttrString(mod.get(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) capsule_failure("_ARRAY_API");
    // NumPy's own loader also checks the ABI and feature versions against our headers.
    if (_import_array() < 0) capsule_failure("incompatible NumPy");
    g_loaded = true;
}

}  // namespace qv::py
