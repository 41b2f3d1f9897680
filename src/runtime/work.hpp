// What one submission computes: a kernel over bound arguments, or a reduction of one buffer.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "buffer/inner.hpp"
#include "core/engine_error.hpp"
#include "exec/reduce.hpp"
#include "ir/arg_value.hpp"
#include "ir/expr_tree.hpp"

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

// An ArgError naming the arguments not among `given` (checked first: "missing arg: y") or
// else the given names that are no argument ("unexpected args: z"); nullopt when they match.
// `given` holds distinct names.
std::optional<EngineError> check_bound_names(const std::vector<std::string>& arg_names,
                                             std::span<const std::string_view> given);

// The bound values in dense order, or an ArgError naming missing (checked first) or
// unexpected names.
Result<ArgValues> bind_arguments(const MapWork& work);

}  // namespace qv
