// The spec classes: KernelSpec (a kernel body), MapSpec (a kernel with bound arguments)
// and ReduceSpec (a reduction of one buffer).
#pragma once

#include <Python.h>

#include <optional>

#include "exec/compiled.hpp"
#include "ir/kernel_spec.hpp"
#include "python/arg_frame.hpp"
#include "runtime/work.hpp"

namespace qv::py {

PyTypeObject* kernel_spec_type();
PyTypeObject* map_spec_type();
PyTypeObject* reduce_spec_type();

// A private copy of what a MapSpec or ReduceSpec (or an instance of a subclass) describes,
// buffers shared; nullopt for any other object.
std::optional<Work> copy_work(PyObject* spec);

// The kernel spec held by a KernelSpec (or an instance of a subclass); null for any other object.
const KernelSpec* kernel_spec_of(PyObject* spec);
// The compiled kernel kept by a KernelSpec (null before keep_compiled_kernel, and for any
// other object), valid while the object lives: calls through it skip the kernel cache.
const CompiledKernel* compiled_kernel_of(PyObject* spec);
// Keeps `kernel`, compiled from the KernelSpec's body, with a KernelSpec object that keeps
// none yet; ignored for other objects.
void keep_compiled_kernel(PyObject* spec, CompiledKernelRef kernel);

// The kernel object's reduction functions: X(ReduceOp, method name), in the order of its
// method table.
#define QV_REDUCE_FUNCTIONS(X) X(Sum, sum) X(Mean, mean) X(Min, min_reduce) X(Max, max_reduce)

// The kernel object's kernel and reduction functions.
QV_FASTCALL_FN(kernel_elementwise);
QV_VARKW_FN(kernel_map);
template <ReduceOp op>
QV_FASTCALL_FN(reduce_function);

}  // namespace qv::py
