// The expression tree as one contiguous array of nodes in post-order (root last). Each node
// records the size of its subtree, so children are found by index arithmetic: combining
// operands is a concatenation plus one node, copying is one block copy, and no walk needs
// recursion on the C stack.
#pragma once

#include <cstdint>
#include <vector>

#include "ir/ops.hpp"

namespace qv {

// Tag values are fixed: the flat program and the kernel cache key encode them.
enum class NodeTag : std::uint8_t { Const = 0, ArgRef = 1, Unary = 2, Binary = 3, Compare = 4, Select = 5 };

struct Node {
    NodeTag tag;
    std::uint8_t op;      // UnaryOp / BinaryOp / CompareOp code; 0 otherwise
    std::uint32_t size;   // nodes in the subtree rooted here, this node included
    std::uint64_t bits;   // Const: the float64 bit pattern; ArgRef: the argument id
};
static_assert(sizeof(Node) == 16);

// Children of the node at index i (post-order):
//   Unary:            child root at i - 1
//   Binary, Compare:  right root at i - 1, left root at i - 1 - nodes[i-1].size
//   Select:           if_false root at i - 1, if_true root before it, condition before that
using NodeList = std::vector<Node>;

}  // namespace qv
