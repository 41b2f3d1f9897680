// How errors leave the binding layer. Every Python exception the layer raises itself goes
// through raise_message or raise_format (or the helpers built on them: raise_result,
// raise_general, raise_cannot_convert, reraise_naming, python_api_failed); each sets the
// exception and throws PythonErrorSet, which the entry wrapper (entry.hpp) turns into the
// error return. Internal faults are C++ exceptions of qv::Fault and leave as PanicException.
//
// Engine errors (EngineError kinds) into Python exceptions:
//
//   kind             result conversion (TaskHandle.result,   general conversion (Channel.send,
//                    and the package's native face)          Channel.recv, py_select)
//   TypeError        TypeError(m)                             RuntimeError("TypeError: " + m)
//   ShapeError       ValueError(m)                            RuntimeError("ShapeError: " + m)
//   ArgError         ValueError(m)                            RuntimeError("ArgError: " + m)
//   EmptyCollection  ValueError(m)                            RuntimeError("EmptyCollection: " + m)
//   Cancelled        RuntimeError("task cancelled")           RuntimeError("Cancelled")
//   ChannelClosed    RuntimeError("channel closed")           RuntimeError("ChannelClosed")
//   Internal         RuntimeError(m)                          RuntimeError("Internal: " + m)
//
// Surface strings kept on purpose, as a contract with existing callers and their tests
// (they read as another implementation's words, and must stay so):
//   - type names "builtins.{Class}", so __module__ is "builtins" (heap_type, one per class);
//   - conversion targets in "'{type}' object cannot be converted to '{target}'": 'PyString',
//     'PyDict', 'PyBool', 'PyArray<T, D>' (arg_frame, py_buffer);
//   - the environment variables RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (src/pool);
//   - fault texts "cache read lock poisoned: PoisonError { .. }", "contiguous array
//     required: NotContiguousError", and the Expr docstring's "`BTreeMap` union";
//   - EngineError debug texts in TaskHandle reprs, e.g. ArgError("missing arg: y").
#pragma once

#include <Python.h>

#include <string>

#include "core/engine_error.hpp"

namespace qv::py {

// Sets `type` with the whole message, NUL characters included (PyErr_SetString would stop
// at the first), and throws PythonErrorSet.
[[noreturn]] void raise_message(PyObject* type, const std::string& message);

// Sets `type` with a message formatted as PyUnicode_FromFormat formats it (%s, %zd, %zu,
// %U for a str object), and throws PythonErrorSet.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// RuntimeError(display text). Sets it and throws PythonErrorSet.
[[noreturn]] void raise_general(EngineError error);

// TypeError / ValueError / RuntimeError with the unprefixed message. Sets it and throws.
[[noreturn]] void raise_result(EngineError error);

// A Python API call that must not fail did: print the pending error to standard error and
// end the call as the internal fault "Python API call failed". A MemoryError is raised as
// it is instead.
[[noreturn]] void python_api_failed();

}  // namespace qv::py
