// One kernel argument as the interpreters read it: a scalar (data == nullptr), or the data of a
// buffer of `length` elements of `type`. A complex scalar is its two parts, `scalar` the real
// one. An integer scalar is also held exactly, for the integer steps that read it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ir/value_type.hpp"

namespace qv {

struct ArgView {
    const void* data;
    double scalar;
    std::size_t length = 0;
    ValueType type = ValueType::F64;  // of the elements, or of a strong scalar
    bool weak = true;                 // scalars: a Python number, typed by what it meets
    double imag = 0.0;                // complex scalars: the imaginary part
    // Integer scalars within int64's range: the exact value, which `scalar` may round.
    bool integral = false;
    std::int64_t integer = 0;

    ArgPattern pattern() const noexcept {
        return ArgPattern{data != nullptr, data == nullptr && weak, type};
    }
};

}  // namespace qv
