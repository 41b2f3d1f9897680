// The one owning reference to a Python object (a raw PyObject* elsewhere is borrowed), and
// the pending Python error taken out of the interpreter as such references.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

namespace qv::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null, e.g. a failed API call).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept {
        assert_gil(o);
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(const Ref& other) noexcept : obj_(other.obj_) {
        assert_gil(obj_);
        Py_XINCREF(obj_);
    }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() {
        if (unwinding_a_thread_ended_at_exit()) return;
        assert_gil(obj_);
        Py_XDECREF(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (e.g. as a return value to CPython).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    // Counts may only change under the interpreter lock; checked in debug builds.
    static void assert_gil([[maybe_unused]] PyObject* o) noexcept {
        assert(o == nullptr || PyGILState_Check());
    }
    // CPython ends a daemon thread that wants the lock back during finalization, and its
    // stack unwinds without the lock: its objects are left to the dying interpreter rather
    // than released unlocked beside the finalizing thread.
    bool unwinding_a_thread_ended_at_exit() const noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        const bool finalizing = Py_IsFinalizing();
#else
        const bool finalizing = _Py_IsFinalizing();
#endif
        return obj_ != nullptr && finalizing && !PyGILState_Check();
    }
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// The pending Python error, cleared from the interpreter and normalized; all three are
// empty when none was set.
struct FetchedError {
    Ref type, value, traceback;
};

inline FetchedError fetch_error() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

}  // namespace qv::py
