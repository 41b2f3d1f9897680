// Conversions of engine errors into Python exceptions.
#include "python/errors.hpp"

#include <Python.h>

#include <cstdarg>
#include <string>
#include <utility>

#include "core/fault.hpp"
#include "python/entry.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {
[[noreturn]] void raise_text(PyObject* type, Ref text) {
    if (!text) python_api_failed();
    PyErr_SetObject(type, text.get());
    throw_python_error();
}
}  // namespace

void raise_message(PyObject* type, const std::string& message) {
    const auto size = static_cast<Py_ssize_t>(message.size());
    raise_text(type, Ref::steal(PyUnicode_FromStringAndSize(message.data(), size)));
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list values;
    va_start(values, format);
    Ref text = Ref::steal(PyUnicode_FromFormatV(format, values));
    va_end(values);
    raise_text(type, std::move(text));
}

void raise_general(EngineError error) { raise_message(PyExc_RuntimeError, error.display()); }

void raise_result(EngineError error) {
    switch (error.kind()) {
        case ErrorKind::TypeError: raise_message(PyExc_TypeError, error.message());
        case ErrorKind::ShapeError:
        case ErrorKind::ArgError:
        case ErrorKind::EmptyCollection: raise_message(PyExc_ValueError, error.message());
        case ErrorKind::Cancelled: raise_message(PyExc_RuntimeError, "task cancelled");
        case ErrorKind::ChannelClosed: raise_message(PyExc_RuntimeError, "channel closed");
        case ErrorKind::Internal: break;
    }
    raise_message(PyExc_RuntimeError, error.message());
}

void python_api_failed() {
    // Running out of memory is the caller's to act on (free some, work in pieces): it
    // stays a MemoryError, as it is from asarray and go.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_python_error();
    if (PyErr_Occurred() != nullptr) {
        // Printed without PyErr_Print, which would exit the process on SystemExit.
        const FetchedError error = fetch_error();
        PyErr_Display(error.type.get(), error.value.get(), error.traceback.get());
    }
    fault("Python API call failed");
}

}  // namespace qv::py
