// The flat program: a kernel body without Select written out as postfix instructions for
// a small stack machine. The reference interpreters run it; production compiles the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ir/arg_view.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

enum class FlatKind : std::uint8_t { Const = 0, Arg = 1, Unary = 2, Binary = 3, Compare = 4 };

struct FlatOp {
    FlatKind kind;
    std::uint8_t op;
    std::uint64_t value;  // Const: float64 bits; Arg: dense argument index
};
static_assert(sizeof(FlatOp) == 16);

struct FlatProgram {
    std::vector<FlatOp> instructions;
    std::size_t max_depth = 0;
};

bool contains_select(const NodeList& tree);
// The caller guarantees the tree holds no Select.
FlatProgram flatten(const NodeList& tree);

}  // namespace qv
