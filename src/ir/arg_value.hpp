// The value bound to one kernel argument: a float64 scalar or a shared buffer.
#pragma once

#include <variant>
#include <vector>

#include "buffer/inner.hpp"

namespace qv {

using ArgValue = std::variant<double, BufferRef>;
using ArgValues = std::vector<ArgValue>;  // in dense-index order

}  // namespace qv
