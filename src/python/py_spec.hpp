// The spec classes: KernelSpec (a kernel body), MapSpec (a kernel with bound arguments)
// and ReduceSpec (a reduction of one buffer).
#pragma once

#include <Python.h>

#include <optional>

#include "ir/work.hpp"
#include "python/arg_frame.hpp"

namespace qv::py {

PyTypeObject* kernel_spec_type();
PyTypeObject* map_spec_type();
PyTypeObject* reduce_spec_type();

// A private copy of what a MapSpec or ReduceSpec (or an instance of a subclass) describes,
// buffers shared; nullopt for any other object.
std::optional<Work> copy_work(PyObject* spec);

// The kernel object's kernel and reduction functions.
QV_FASTCALL_FN(kernel_elementwise);
QV_VARKW_FN(kernel_map);
QV_FASTCALL_FN(kernel_sum);
QV_FASTCALL_FN(kernel_mean);
QV_FASTCALL_FN(kernel_min_reduce);
QV_FASTCALL_FN(kernel_max_reduce);

}  // namespace qv::py
