// Kernel specs: an expression renumbered densely with its argument names, and the binding
// of named values to those arguments at submission.
#pragma once

#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/engine_error.hpp"
#include "ir/arg_value.hpp"
#include "ir/expr.hpp"

namespace qv {

struct KernelSpec {
    std::vector<std::string> arg_names;  // name of dense index i at position i; distinct
    NodeList body;                       // ArgRef ids are dense indices
};

// A refusal of elementwise; the binding layer raises it as ValueError, not as an engine error.
struct SpecError {
    std::string message;
};

// Dense renumbering: the smallest referenced temp id becomes 0, the next 1, and so on.
std::variant<KernelSpec, SpecError> make_kernel_spec(const ExprValue& expr);

struct MapWork {
    std::vector<std::string> arg_names;
    NodeList body;
    std::unordered_map<std::string, ArgValue> bound;
};

// The bound values in dense order, or an ArgError naming missing (checked first) or
// unexpected names.
Result<ArgValues> bind_arguments(const MapWork& work);

}  // namespace qv
