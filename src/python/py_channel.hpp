// The Channel class: the Python face of a bounded channel of buffers.
#pragma once

#include <Python.h>

#include <optional>

#include "channel/channel.hpp"
#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* channel_type();

// A new Channel object holding `handle`.
PyObject* wrap_channel(ChannelHandle handle);

// The handle held by `channel`, which must be a Channel instance.
const ChannelHandle& channel_handle(PyObject* channel) noexcept;

// Called with the interpreter lock held, before a received item becomes the call's
// result. Pending signal handlers run now: run after the call returned, an exception of
// theirs would drop the result and the item with it. When one raises, the item goes back
// to the head of its channel and that exception (KeyboardInterrupt, say) is the call's.
void put_back_if_interrupted(const ChannelHandle& h, std::optional<ChannelItem>& item);

// rt.chan(capacity).
QV_FASTCALL_FN(runtime_chan);

}  // namespace qv::py
