// The expression tree as one contiguous array of nodes in post-order (root last). Each node
// records the size of its subtree, so children are found by index arithmetic: combining
// operands is a concatenation plus one node, copying is one block copy, and no walk needs
// recursion on the C stack.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ir/ops.hpp"
#include "ir/value_type.hpp"

namespace qv {

// Tag values are fixed: the flat program and the kernel cache key encode them.
enum class NodeTag : std::uint8_t {
    Const = 0,
    ArgRef = 1,
    Unary = 2,
    Binary = 3,
    Compare = 4,
    Select = 5
};

struct Node {
    NodeTag tag;
    std::uint8_t op;     // UnaryOp / BinaryOp / CompareOp code; Const: 0, kIntLiteral or typed
    std::uint32_t size;  // nodes in the subtree rooted here, this node included
    std::uint64_t bits;  // Const: the float64 bit pattern, or the int64's; ArgRef: the argument id

    friend bool operator==(const Node&, const Node&) = default;
};
static_assert(sizeof(Node) == 16);

// Children of the node at index i (post-order):
//   Unary:            child root at i - 1
//   Binary, Compare:  right root at i - 1, left root at i - 1 - nodes[i-1].size
//   Select:           if_false root at i - 1, if_true root before it, condition before that
using NodeList = std::vector<Node>;

// A Const's op byte: a Python int literal, which NumPy promotes as an integer (int32 + 2 stays
// int32, int32 + 2.0 does not). Only the native face makes them; Expr's constants are floats.
inline constexpr std::uint8_t kIntLiteral = 1;

inline Node const_node(double value) noexcept {
    return {NodeTag::Const, 0, 1, std::bit_cast<std::uint64_t>(value)};
}
inline Node int_const_node(std::int64_t value) noexcept {
    return {NodeTag::Const, kIntLiteral, 1, static_cast<std::uint64_t>(value)};
}
inline Node arg_node(std::uint64_t id) noexcept { return {NodeTag::ArgRef, 0, 1, id}; }
// A Const's op byte with this bit set: a constant of its own dtype, strong as a NumPy scalar is
// (np.int64(3), and a bool literal, which meets arrays as NumPy's bool); the low bits hold its
// ValueType. Its bits are the int64's for an integer type, else the float64's (1.0 or 0.0 for a
// bool, a float32's value exactly).
inline constexpr std::uint8_t kTypedConst = 0x80;

inline Node typed_const_node(ValueType type, std::uint64_t bits) noexcept {
    return {NodeTag::Const,
            static_cast<std::uint8_t>(kTypedConst | static_cast<std::uint8_t>(type)), 1, bits};
}
inline bool const_is_typed(const Node& n) noexcept { return (n.op & kTypedConst) != 0; }
inline ValueType const_type(const Node& n) noexcept {
    return static_cast<ValueType>(n.op & ~kTypedConst);
}
inline bool const_is_int(const Node& n) noexcept {
    return n.op == kIntLiteral || (const_is_typed(n) && is_integer(const_type(n)));
}
inline std::int64_t const_int(const Node& n) noexcept { return static_cast<std::int64_t>(n.bits); }
// The constant as a float64 (an int literal rounded to nearest, as Python's float() does).
// A typed constant of an integer type as its value too.
inline double const_value(const Node& n) noexcept {
    return const_is_int(n) ? static_cast<double>(const_int(n)) : std::bit_cast<double>(n.bits);
}

inline std::size_t child_count(NodeTag tag) noexcept {
    switch (tag) {
        case NodeTag::Const:
        case NodeTag::ArgRef: return 0;
        case NodeTag::Unary: return 1;
        case NodeTag::Binary:
        case NodeTag::Compare: return 2;
        case NodeTag::Select: return 3;
    }
    return 0;
}

// Root indices of the children of node `i`, in field order (left before right,
// condition before if_true before if_false); the first child_count(tag) entries are valid.
inline std::array<std::size_t, 3> children(const NodeList& nodes, std::size_t i) noexcept {
    std::array<std::size_t, 3> out{};
    std::size_t n = child_count(nodes[i].tag);
    std::size_t at = i;  // one past the root of the last child not yet placed
    for (std::size_t k = n; k-- > 0;) {
        out[k] = at - 1;
        at -= nodes[at - 1].size;
    }
    return out;
}

}  // namespace qv
