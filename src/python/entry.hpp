// The wrapper around every entry point CPython calls: no C++ exception reaches the
// interpreter. Internal faults (also those carried back from pool threads and rethrown
// here) become PanicException; allocation failure becomes MemoryError.
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <unistd.h>

#include <exception>
#include <new>

#include "core/fault.hpp"

namespace qv::py {

// Thrown after a Python exception has been set; the wrapper just returns the error value.
struct PythonErrorSet {};

[[noreturn]] inline void throw_python_error() { throw PythonErrorSet{}; }

// Returns `o`, or throws PythonErrorSet when a Python API call returned null.
inline PyObject* check(PyObject* o) {
    if (o == nullptr) throw_python_error();
    return o;
}

// The exception class for internal faults; a direct subclass of BaseException.
PyObject* panic_exception_type() noexcept;
// Sets PanicException with `text`, or with a generic text when `text` is empty.
void set_panic(const char* text) noexcept;

// no_sanitize_undefined: a forced unwind has no exception object, so its handler binds a
// null reference by construction; the handler never reads it.
template <class Error, class F>
__attribute__((no_sanitize_undefined)) Error guarded_impl(Error error_value, F&& body) noexcept {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        // CPython ends a daemon thread that wants the interpreter lock back during
        // finalization with pthread_exit. Its unwinding may not cross this noexcept frame,
        // and the interpreter expects the thread never to return: park it until the
        // process is gone, as newer CPython versions do themselves.
        for (;;) pause();
    } catch (const PythonErrorSet&) {
    } catch (const Fault& f) {
        set_panic(f.text().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("");
    }
    return error_value;
}

// For entry points returning an object: null with a Python exception set on failure.
template <class F>
PyObject* guarded(F&& body) noexcept {
    return guarded_impl<PyObject*>(nullptr, static_cast<F&&>(body));
}

// For slots returning a status or a size: -1 with a Python exception set on failure.
template <class F>
auto guarded_status(F&& body) noexcept -> decltype(body()) {
    return guarded_impl<decltype(body())>(-1, static_cast<F&&>(body));
}

}  // namespace qv::py
