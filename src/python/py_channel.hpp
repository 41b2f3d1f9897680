// The Channel class: the Python face of a bounded channel of buffers.
#pragma once

#include <Python.h>

namespace qv::py {

PyTypeObject* channel_type();

}  // namespace qv::py
