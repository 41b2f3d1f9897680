// Module initialisation: one _quorvaline module object per process, in the first
// interpreter only, with its twelve attributes listed in __all__ in order.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "exec/loops.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/py_buffer.hpp"
#include "python/py_channel.hpp"
#include "python/py_expr.hpp"
#include "python/py_kernel.hpp"
#include "python/py_select.hpp"
#include "python/py_spec.hpp"
#include "python/py_task.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorvaline",
    "A Python parallel compute library for one-dimensional float64 arrays.",
    0,  // no per-module state: the module exists once per process
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kModuleApiVersion = 1013;

std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;  // guarded by the interpreter lock; never released

// Appends `name` to __all__ (created on first use), then sets the attribute.
void add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    if (all == nullptr) {
        Ref list = Ref::steal(check(PyList_New(0)));
        if (PyDict_SetItemString(dict, "__all__", list.get()) < 0) throw_python_error();
        all = list.get();
    }
    if (PyList_Append(all, name) < 0) throw_python_error();
    if (PyObject_SetAttr(module, name, value) < 0) throw_python_error();
}

void add_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref key = Ref::steal(check(PyUnicode_FromString(name)));
    add_attribute(module, key.get(), value);
}

void add_class(PyObject* module, PyTypeObject* type) {
    Ref name =
        Ref::steal(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__")));
    add_attribute(module, name.get(), reinterpret_cast<PyObject*>(type));
}

Ref build_module() {
    Ref module = Ref::steal(check(PyModule_Create2(&module_def, kModuleApiVersion)));
    Ref version = Ref::steal(check(PyUnicode_FromString("1.0.0")));
    add_attribute(module.get(), "__version__", version.get());
    add_class(module.get(), expr_type());
    add_class(module.get(), buffer_type());
    add_class(module.get(), task_handle_type());
    add_class(module.get(), kernel_spec_type());
    add_class(module.get(), map_spec_type());
    add_class(module.get(), reduce_spec_type());
    add_class(module.get(), kernel_module_type());
    add_class(module.get(), runtime_module_type());
    add_class(module.get(), channel_type());
    add_class(module.get(), recv_case_type());
    Ref select = Ref::steal(make_py_select(module.get()));
    Ref name = Ref::steal(check(PyObject_GetAttrString(select.get(), "__name__")));
    if (!PyUnicode_Check(name.get())) {
        raise_message(PyExc_TypeError, "function __name__ must be a string");
    }
    add_attribute(module.get(), name.get(), select.get());
    return module;  // on any failure above, the Ref releases the half-built module
}

void check_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (PyErr_Occurred() != nullptr) throw_python_error();
        raise_message(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    std::int64_t first = -1;
    if (!g_first_interpreter.compare_exchange_strong(first, id) && first != id) {
        raise_message(PyExc_ImportError,
                      "_quorvaline does not support sub-interpreters: it can only be imported "
                      "in the first interpreter that loaded it");
    }
}

}  // namespace

}  // namespace qv::py

PyMODINIT_FUNC PyInit__quorvaline(void) {
    using namespace qv::py;
    return guarded([]() -> PyObject* {
        check_interpreter();
        // A loop set the environment forces but this CPU cannot run fails the import rather
        // than quietly running another.
        if (const qv::LoopSetChoice& loops = qv::loop_set_choice(); !loops.error.empty())
            raise_message(PyExc_ImportError, loops.error);
        if (g_module == nullptr) {
            Ref module = build_module();
            // Building runs Python code; a concurrent import may have stored one meanwhile.
            if (g_module == nullptr) g_module = module.release();
        }
        return Ref::borrow(g_module).release();
    });
}
