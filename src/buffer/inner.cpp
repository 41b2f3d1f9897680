// Buffer record: construction, element count and the checked float64 view.
#include "buffer/inner.hpp"

#include "core/fault.hpp"

namespace qv {

std::string_view dtype_name(DType d) noexcept {
    switch (d) {
        case DType::F32: return "float32";
        case DType::F64: return "float64";
        case DType::I32: return "int32";
        case DType::I64: return "int64";
    }
    return "?";
}

std::string_view dtype_debug(DType d) noexcept {
    switch (d) {
        case DType::F32: return "F32";
        case DType::F64: return "F64";
        case DType::I32: return "I32";
        case DType::I64: return "I64";
    }
    return "?";
}

BufferInner::BufferInner(F64Vec&& values)
    : shape_{values.size()},
      storage_(std::move(values)),
      data_(storage_.data()),
      byte_len_(storage_.size() * sizeof(double)),
      dtype_(DType::F64) {}

BufferInner::BufferInner(std::vector<std::size_t> shape, F64Vec&& words, std::size_t byte_len,
                         DType dtype)
    : shape_(std::move(shape)),
      storage_(std::move(words)),
      data_(storage_.data()),
      byte_len_(byte_len),
      dtype_(dtype) {}

BufferInner::BufferInner(std::vector<std::size_t> shape, const double* data,
                         std::shared_ptr<const void> owner)
    : shape_(std::move(shape)),
      owner_(std::move(owner)),
      data_(data),
      byte_len_(0),
      dtype_(DType::F64) {
    byte_len_ = element_count() * sizeof(double);
}

std::size_t BufferInner::element_count() const noexcept {
    std::size_t n = 1;
    for (std::size_t d : shape_) n *= d;
    return n;
}

std::span<const double> BufferInner::as_f64_slice() const {
    if (dtype_ != DType::F64) {
        fault_assert_eq("as_f64_slice requires F64 dtype", dtype_debug(dtype_),
                        dtype_debug(DType::F64));
    }
    return {data_, element_count()};
}

BufferRef from_f64_vec(F64Vec&& values) {
    return std::make_shared<const BufferInner>(std::move(values));
}

BufferRef lend_f64(std::vector<std::size_t> shape, const double* data,
                   std::shared_ptr<const void> owner) {
    return std::make_shared<const BufferInner>(std::move(shape), data, std::move(owner));
}

}  // namespace qv
