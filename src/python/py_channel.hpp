// The Channel class: the Python face of a bounded channel of buffers.
#pragma once

#include <Python.h>

#include "channel/channel.hpp"
#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* channel_type();

// A new Channel object holding `handle`.
PyObject* wrap_channel(ChannelHandle handle);

// The handle held by `channel`, which must be a Channel instance.
const ChannelHandle& channel_handle(PyObject* channel) noexcept;

// rt.chan(capacity).
QV_FASTCALL_FN(runtime_chan);

}  // namespace qv::py
