// The Channel class. Instances come only from rt.chan.
#include "python/py_channel.hpp"

#include <new>

#include "python/entry.hpp"
#include "python/heap_type.hpp"

namespace qv::py {

namespace {

struct ChannelObject {
    PyObject_HEAD
    ChannelHandle handle;
};

ChannelObject* as_channel(PyObject* self) noexcept {
    return reinterpret_cast<ChannelObject*>(self);
}

void channel_dealloc(PyObject* self) noexcept {
    as_channel(self)->handle.~ChannelHandle();
    free_instance(self);
}

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible channel handle.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(channel_dealloc)},
    {0, nullptr},
};

PyType_Spec channel_spec = {"builtins.Channel", sizeof(ChannelObject), 0, Py_TPFLAGS_DEFAULT,
                            channel_slots};

PyTypeObject* g_channel_type = nullptr;

}  // namespace

PyTypeObject* channel_type() { return lazy_type(g_channel_type, channel_spec); }

PyObject* wrap_channel(ChannelHandle handle) {
    PyTypeObject* type = channel_type();
    PyObject* self = check(type->tp_alloc(type, 0));
    new (&as_channel(self)->handle) ChannelHandle(std::move(handle));
    return self;
}

const ChannelHandle& channel_handle(PyObject* channel) noexcept {
    return as_channel(channel)->handle;
}

}  // namespace qv::py

namespace qv::py {

// Placeholder until channels land.
QV_FASTCALL_FN(runtime_chan) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "runtime_chan");
    return nullptr;
}

}  // namespace qv::py
