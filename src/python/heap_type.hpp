// Shared pieces of every class: heap types built on first use and kept for the process,
// instances that hold one engine value, the constructor refusal and method-table casts.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "python/entry.hpp"

namespace qv::py {

// Returns the type in `slot`, creating it on first use as the class `name` with instances
// of `basic_size` bytes and `slots` (no terminator). Without a tp_new of its own the class
// cannot be constructed from Python; without a tp_dealloc its instances are just freed.
// `flags` as PyType_Spec takes them (Py_TPFLAGS_BASETYPE for a class Python may extend).
// Throws PythonErrorSet when creation fails (the slot stays empty, so a later call retries).
PyTypeObject* lazy_type(PyTypeObject*& slot, const char* name, std::size_t basic_size,
                        std::vector<PyType_Slot> slots, unsigned int flags = Py_TPFLAGS_DEFAULT);

// tp_new of the classes Python cannot construct: TypeError "No constructor defined for Expr".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Frees an instance and drops the reference it held on its heap type.
void free_instance(PyObject* self) noexcept;

// One Python object holding one engine value.
template <class T>
struct Holder {
    PyObject_HEAD T value;
};

// The value held by `self`, which must be an instance of a class made by holder_type<T>.
template <class T>
T& held(PyObject* self) noexcept {
    return reinterpret_cast<Holder<T>*>(self)->value;
}

template <class T>
void holder_dealloc(PyObject* self) noexcept {
    held<T>(self).~T();
    free_instance(self);
}

// lazy_type for a class whose instances hold one T, destroyed with the instance.
template <class T>
PyTypeObject* holder_type(PyTypeObject*& slot, const char* name,
                          std::initializer_list<PyType_Slot> slots) {
    if (slot != nullptr) return slot;
    std::vector<PyType_Slot> all(slots);
    all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<T>)});
    return lazy_type(slot, name, sizeof(Holder<T>), std::move(all));
}

// A new instance of `type` (made by holder_type<T>) holding `value`.
template <class T>
PyObject* wrap(PyTypeObject* type, T value) {
    PyObject* self = check(type->tp_alloc(type, 0));
    new (&held<T>(self)) T(std::move(value));
    return self;
}

// A fast-call or keywords entry point as the PyCFunction a method table stores.
template <class F>
PyCFunction method_cast(F* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace qv::py
