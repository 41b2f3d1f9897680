// The Channel class: the Python face of a bounded channel of buffers.
#pragma once

#include <Python.h>

#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* channel_type();

// rt.chan(capacity).
QV_FASTCALL_FN(runtime_chan);

}  // namespace qv::py
