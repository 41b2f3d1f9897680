// Creation of heap types and the behaviour all classes share.
#include "python/heap_type.hpp"

#include <algorithm>
#include <cstring>

#include "python/entry.hpp"
#include "python/errors.hpp"

namespace qv::py {

namespace {

bool has_slot(const std::vector<PyType_Slot>& slots, int id) {
    return std::any_of(slots.begin(), slots.end(),
                       [id](const PyType_Slot& s) { return s.slot == id; });
}

}  // namespace

PyTypeObject* lazy_type(PyTypeObject*& slot, const char* name, std::size_t basic_size,
                        std::vector<PyType_Slot> slots, unsigned int flags) {
    if (slot != nullptr) return slot;
    if (!has_slot(slots, Py_tp_new)) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(refuse_construction)});
    }
    if (!has_slot(slots, Py_tp_dealloc)) {
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(free_instance)});
    }
    slots.push_back({0, nullptr});
    // The spec is read only while the type is made; the name must live on (it does: a literal).
    PyType_Spec spec = {name, static_cast<int>(basic_size), 0, flags, slots.data()};
    PyObject* type = check(PyType_FromSpec(&spec));
    // Creation can run Python code (a collection); keep whichever type came first.
    if (slot == nullptr) {
        slot = reinterpret_cast<PyTypeObject*>(type);
    } else {
        Py_DECREF(type);
    }
    return slot;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const char* name = std::strrchr(type->tp_name, '.');
        raise_format(PyExc_TypeError, "No constructor defined for %s",
                     name != nullptr ? name + 1 : type->tp_name);
    });
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace qv::py
