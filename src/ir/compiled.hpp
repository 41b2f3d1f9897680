// A compiled kernel: a flat program, or the body tree when it holds a Select.
#pragma once

#include <memory>
#include <variant>

#include "ir/expr_tree.hpp"
#include "ir/flat.hpp"

namespace qv {

struct CompiledKernel {
    std::variant<FlatProgram, NodeList> form;  // Flat or Tree
};

using CompiledKernelRef = std::shared_ptr<const CompiledKernel>;

}  // namespace qv
