// What one submission computes: a kernel over bound arguments, or a reduction of one buffer.
#pragma once

#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "buffer/inner.hpp"
#include "core/engine_error.hpp"
#include "ir/arg_value.hpp"
#include "ir/expr_tree.hpp"
#include "ir/reduce.hpp"

namespace qv {

// A kernel spec's names and body with the values bound to it by name, not yet checked.
struct MapWork {
    std::vector<std::string> arg_names;
    NodeList body;
    std::unordered_map<std::string, ArgValue> bound;
};

struct ReduceWork {
    BufferRef input;
    ReduceOp op;
};

// The submission's private copy of what a MapSpec or ReduceSpec describes.
using Work = std::variant<MapWork, ReduceWork>;

// The bound values in dense order, or an ArgError naming missing (checked first) or
// unexpected names.
Result<ArgValues> bind_arguments(const MapWork& work);

}  // namespace qv
