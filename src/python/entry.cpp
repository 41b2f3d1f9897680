// PanicException: how internal faults reach Python.
#include "python/entry.hpp"

#include <cstring>

namespace qv::py {

namespace {
constexpr const char* kGenericFaultText = "internal fault in _quorvaline (no message)";
PyObject* g_panic_type = nullptr;  // created on first need, guarded by the interpreter lock
}  // namespace

// Registered as "_quorvaline.PanicException" but deliberately not a module attribute:
// the module's attribute list is fixed. Catch it as BaseException and check the name.
PyObject* panic_exception_type() noexcept {
    if (g_panic_type == nullptr) {
        PyObject* t = PyErr_NewExceptionWithDoc(
            "_quorvaline.PanicException",
            "An internal fault of the engine: a broken invariant, not a user error.",
            PyExc_BaseException, nullptr);
        if (t == nullptr) return nullptr;
        // Creation can run Python code; another thread may have won meanwhile.
        if (g_panic_type == nullptr) {
            g_panic_type = t;
        } else {
            Py_DECREF(t);
        }
    }
    return g_panic_type;
}

void set_panic(const char* text) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation failed and left that error set
    if (text == nullptr || *text == '\0') text = kGenericFaultText;
    // A fault text is meant to be UTF-8; never let a bad byte hide the fault itself.
    PyObject* message =
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
    if (message == nullptr) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

}  // namespace qv::py
