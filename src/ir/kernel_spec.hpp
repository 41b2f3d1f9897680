// Kernel specs: an expression renumbered densely with its argument names.
#pragma once

#include <string>
#include <variant>
#include <vector>

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

}  // namespace qv
