// Arrays the engine writes into: a new NumPy array over an engine block (so that its pages
// come back warm through the block cache when it is dropped), or the caller's `out`, checked
// before anything is written.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "python/numpy_api.hpp"
#include "python/operands.hpp"
#include "python/ref.hpp"

namespace qv::py {

// A new writable C-contiguous array of `shape` and `type`, contents unset.
Ref new_result_array(std::span<const npy_intp> shape, ValueType type = ValueType::F64);

// The storage type `out` is of, when its values are narrowed from `computed` (int8 of int32,
// uint32 of int64, float16 of float32 ...); nothing for any other `out`.
std::optional<ValueType> narrow_store(PyObject* out, ValueType computed);

// `out` if it can take the result of `bound`, of `type`: TypeError for anything but an ndarray
// of that dtype,
// ValueError for another shape, a layout other than C-contiguous and aligned, a read-only
// array, or memory that overlaps an array operand without being exactly that operand.
PyArrayObject* checked_out(PyObject* out, const BoundOperands& bound,
                           ValueType type = ValueType::F64);

}  // namespace qv::py
