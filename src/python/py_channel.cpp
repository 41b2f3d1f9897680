// The Channel class. Instances come only from rt.chan.
#include "python/py_channel.hpp"

#include "python/heap_type.hpp"

namespace qv::py {

namespace {

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible channel handle.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};

PyType_Spec channel_spec = {"builtins.Channel", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                            channel_slots};

PyTypeObject* g_channel_type = nullptr;

}  // namespace

PyTypeObject* channel_type() { return lazy_type(g_channel_type, channel_spec); }

}  // namespace qv::py

namespace qv::py {

// Placeholder until channels land.
QV_FASTCALL_FN(runtime_chan) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "runtime_chan");
    return nullptr;
}

}  // namespace qv::py
