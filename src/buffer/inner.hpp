// The shared, immutable buffer record and its typed access. Every buffer the system
// creates is float64 with shape (n,); the other dtypes exist for the texts only. A record
// may also lend float64 memory that something else owns (an array of the binding layer,
// read in place for one call): a type-erased owner keeps that memory alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "buffer/f64_vec.hpp"

namespace qv {

enum class DType : std::uint8_t { F32, F64, I32, I64 };

std::string_view dtype_name(DType d) noexcept;   // "float64"
std::string_view dtype_debug(DType d) noexcept;  // "F64"

class BufferInner {
public:
    // Takes the storage of `values` without copying; shape (n,), dtype F64.
    explicit BufferInner(F64Vec&& values);
    // Raw record, for tests of the typed accessor: `words` holds the bytes 8-aligned.
    BufferInner(std::vector<std::size_t> shape, F64Vec&& words, std::size_t byte_len, DType dtype);
    // Lends `data` (element_count() doubles of `shape`, C order) without copying; `owner` is
    // released with the record, on whatever thread drops the last reference.
    BufferInner(std::vector<std::size_t> shape, const double* data,
                std::shared_ptr<const void> owner);

    const std::vector<std::size_t>& shape() const noexcept { return shape_; }
    DType dtype() const noexcept { return dtype_; }
    std::size_t byte_len() const noexcept { return byte_len_; }
    const void* data() const noexcept { return data_; }

    // Product of the shape, wrapping; 1 for an empty shape.
    std::size_t element_count() const noexcept;
    // Read-only view of element_count() doubles; an internal fault unless dtype is F64.
    std::span<const double> as_f64_slice() const;

private:
    std::vector<std::size_t> shape_;
    F64Vec storage_;                     // empty when the memory is lent
    std::shared_ptr<const void> owner_;  // what keeps lent memory alive
    const double* data_;
    std::size_t byte_len_;
    DType dtype_;
};

using BufferRef = std::shared_ptr<const BufferInner>;

BufferRef from_f64_vec(F64Vec&& values);
// A float64 record over memory owned by `owner`; see the lending constructor.
BufferRef lend_f64(std::vector<std::size_t> shape, const double* data,
                   std::shared_ptr<const void> owner);

}  // namespace qv
