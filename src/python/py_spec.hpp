// The spec classes: KernelSpec (a kernel body), MapSpec (a kernel with bound arguments)
// and ReduceSpec (a reduction of one buffer).
#pragma once

#include <Python.h>

namespace qv::py {

PyTypeObject* kernel_spec_type();
PyTypeObject* map_spec_type();
PyTypeObject* reduce_spec_type();

}  // namespace qv::py
