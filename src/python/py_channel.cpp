// The Channel class. Instances come only from rt.chan. Every wait happens with the
// interpreter lock released; an operation that can finish at once is tried first with
// the lock held, because giving the lock up and taking it back costs more than the
// operation itself and hands the lock to another thread on every message.
#include "python/py_channel.hpp"

#include <optional>
#include <utility>

#include "core/engine_error.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"

namespace qv::py {

namespace {

constexpr Signature kChanSignature = Signature("_RuntimeModule.chan()").required("capacity");
constexpr Signature kSendSignature = Signature("Channel.send()").required("buf");

[[noreturn]] void raise_channel_closed() { raise_general(EngineError::channel_closed()); }

// The caller's reference keeps `self`, and so the handle, alive while the lock is released.
QV_FASTCALL_FN(channel_send) {
    return guarded([&] {
        const Args parsed = parse_fastcall(kSendSignature, args, nargs, kwnames);
        PyObject* buf =
            parsed.convert(0, [](PyObject* v) { return to_instance(v, buffer_type(), "Buffer"); });
        const ChannelHandle& h = channel_handle(self);
        BufferRef item = buffer_ref(buf);
        // The flag is read once: a close() made while this send waits does not stop it.
        if (is_closed(h)) raise_channel_closed();
        if (!try_send_item(h, item)) {
            ReleaseGil nogil;
            item = send_item(h, std::move(item));
        }
        // A buffer handed back means no receiving end is left.
        if (item != nullptr) raise_channel_closed();
        Py_RETURN_NONE;
    });
}

// Once the marker has been taken, a receive reports ChannelClosed at once instead of
// waiting for ever; only a send already waiting at close() can still bring it a buffer.
PyObject* channel_recv(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const ChannelHandle& h = channel_handle(self);
        std::optional<ChannelItem> item;
        if (!try_recv_item(h, item)) {
            ReleaseGil nogil;
            item = recv_item(h);
        }
        put_back_if_interrupted(h, item);
        if (!item || item->is_end_marker()) raise_channel_closed();
        return wrap_buffer(std::move(item->buffer));
    });
}

// Never blocks, so the interpreter lock stays held: the marker needs no room in the
// queue, and receivers get it behind every buffer queued before it.
PyObject* channel_close(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        close_channel(channel_handle(self));
        Py_RETURN_NONE;
    });
}

PyObject* channel_is_closed(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(is_closed(channel_handle(self)));
}

PyObject* channel_repr(PyObject*) noexcept { return PyUnicode_FromString("Channel()"); }

PyMethodDef channel_methods[] = {
    {"send", method_cast(channel_send), METH_FASTCALL | METH_KEYWORDS,
     "send($self, buf)\n--\n\nSend a buffer into the channel."},
    {"recv", channel_recv, METH_NOARGS,
     "recv($self)\n--\n\nReceive a buffer from the channel. Blocks until available."},
    {"close", channel_close, METH_NOARGS, "close($self)\n--\n\nClose the channel. Idempotent."},
    {"is_closed", channel_is_closed, METH_NOARGS,
     "is_closed($self)\n--\n\nReturns true if the channel has been closed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* channel_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<ChannelHandle>(
        type, "builtins.Channel",
        {
            {Py_tp_doc, const_cast<char*>("Python-visible channel handle.")},
            {Py_tp_repr, reinterpret_cast<void*>(channel_repr)},
            {Py_tp_methods, channel_methods},
        });
}

PyObject* wrap_channel(ChannelHandle handle) { return wrap(channel_type(), std::move(handle)); }

const ChannelHandle& channel_handle(PyObject* channel) noexcept {
    return held<ChannelHandle>(channel);
}

void put_back_if_interrupted(const ChannelHandle& h, std::optional<ChannelItem>& item) {
    if (!item || PyErr_CheckSignals() == 0) return;
    put_back_item(h, std::move(*item));
    throw_python_error();
}

// Capacity 2^59 and above is the fault "capacity overflow"; slots that cannot be
// allocated are MemoryError (std::bad_alloc through `guarded`).
QV_FASTCALL_FN(runtime_chan) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kChanSignature, args, nargs, kwnames);
        const std::size_t capacity = parsed.convert(0, to_size);
        return wrap_channel(make_channel(capacity));
    });
}

}  // namespace qv::py
