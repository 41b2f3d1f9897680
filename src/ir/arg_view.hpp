// One kernel argument as the interpreters read it: a float64 scalar (data == nullptr) or the
// float64 data of a buffer of `length` elements.
#pragma once

#include <cstddef>

namespace qv {

struct ArgView {
    const double* data;
    double scalar;
    std::size_t length = 0;
};

}  // namespace qv
