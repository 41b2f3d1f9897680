// Creation of heap types and the behaviour all classes share.
#include "python/heap_type.hpp"

#include <cstring>

#include "python/entry.hpp"

namespace qv::py {

PyTypeObject* lazy_type(PyTypeObject*& slot, PyType_Spec& spec) {
    if (slot == nullptr) {
        PyObject* type = check(PyType_FromSpec(&spec));
        // Creation can run Python code (a collection); keep whichever type came first.
        if (slot == nullptr) {
            slot = reinterpret_cast<PyTypeObject*>(type);
        } else {
            Py_DECREF(type);
        }
    }
    return slot;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    const char* name = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s",
                 name != nullptr ? name + 1 : type->tp_name);
    return nullptr;
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace qv::py
