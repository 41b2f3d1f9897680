// Releases the interpreter lock for the lifetime of the guard
// (Py_BEGIN_ALLOW_THREADS / Py_END_ALLOW_THREADS as a scope).
#pragma once

#include <Python.h>

namespace qv::py {

class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    // May unwind: a thread that asks for the lock back while the interpreter finalizes is
    // ended by CPython with pthread_exit, and the entry wrapper parks it (entry.hpp).
    ~ReleaseGil() noexcept(false) { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace qv::py
