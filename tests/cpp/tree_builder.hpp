// Builds post-order expression trees for engine tests, without the expression API.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "ir/expr_tree.hpp"

namespace qv::test {

inline NodeList cst(double v) {
    return {Node{NodeTag::Const, 0, 1, std::bit_cast<std::uint64_t>(v)}};
}

// A Python int literal.
inline NodeList icst(std::int64_t v) {
    return {Node{NodeTag::Const, kIntLiteral, 1, static_cast<std::uint64_t>(v)}};
}

inline NodeList arg(std::uint64_t index) { return {Node{NodeTag::ArgRef, 0, 1, index}}; }

inline NodeList join(NodeTag tag, std::uint8_t op, std::vector<NodeList> parts) {
    NodeList out;
    for (const NodeList& p : parts) out.insert(out.end(), p.begin(), p.end());
    out.push_back(Node{tag, op, static_cast<std::uint32_t>(out.size() + 1), 0});
    return out;
}

inline NodeList un(UnaryOp op, NodeList x) {
    return join(NodeTag::Unary, static_cast<std::uint8_t>(op), {std::move(x)});
}
inline NodeList bin(BinaryOp op, NodeList l, NodeList r) {
    return join(NodeTag::Binary, static_cast<std::uint8_t>(op), {std::move(l), std::move(r)});
}
inline NodeList cmp(CompareOp op, NodeList l, NodeList r) {
    return join(NodeTag::Compare, static_cast<std::uint8_t>(op), {std::move(l), std::move(r)});
}
inline NodeList sel(NodeList c, NodeList t, NodeList f) {
    return join(NodeTag::Select, 0, {std::move(c), std::move(t), std::move(f)});
}

// 1 + (1 + (... + (1 + arg 0))) with `depth` additions, built in linear time.
inline NodeList right_deep_sum(std::uint32_t depth) {
    NodeList out(depth, cst(1.0)[0]);
    out.push_back(arg(0)[0]);
    for (std::uint32_t k = 0; k < depth; ++k) {
        out.push_back(
            Node{NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Add), 2 * k + 3, 0});
    }
    return out;
}

// where(arg0 < 1, 1, where(arg0 < 2, 2, ... where(arg0 < depth, depth, arg0))): each Select
// is the if_false branch of the one before; built in linear time.
inline NodeList select_chain(std::uint32_t depth) {
    NodeList out;
    for (std::uint32_t k = 1; k <= depth; ++k) {
        const NodeList cond = cmp(CompareOp::Lt, arg(0), cst(k));
        out.insert(out.end(), cond.begin(), cond.end());
        out.push_back(cst(k)[0]);
    }
    out.push_back(arg(0)[0]);
    for (std::uint32_t k = 0; k < depth; ++k) {
        out.push_back(Node{NodeTag::Select, 0, 6 + 5 * k, 0});
    }
    return out;
}

}  // namespace qv::test
