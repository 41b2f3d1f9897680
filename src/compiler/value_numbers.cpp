// Value numbers by a hash of each node's operator and its children's numbers, in post-order.
#include "compiler/value_numbers.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "compiler/program.hpp"
#include "core/fault.hpp"

namespace qv {

namespace {

// A subtree's identity: its operator and its children's value numbers (constants by bits).
struct ShapeKey {
    NodeTag tag;
    std::uint8_t op;
    std::uint64_t bits;
    std::uint32_t kids[3];
    friend bool operator==(const ShapeKey&, const ShapeKey&) = default;
};
struct ShapeHash {
    std::size_t operator()(const ShapeKey& k) const noexcept {
        std::uint64_t h = (static_cast<std::uint64_t>(k.tag) << 8 | k.op) * 0x9e3779b97f4a7c15ull;
        for (std::uint64_t part : {k.bits, std::uint64_t{k.kids[0]}, std::uint64_t{k.kids[1]},
                                   std::uint64_t{k.kids[2]}}) {
            h = (h ^ part) * 0xff51afd7ed558ccdull;
            h ^= h >> 32;
        }
        return static_cast<std::size_t>(h);
    }
};

void check_sizes(const NodeList& tree, std::size_t i) {
    const Node& node = tree[i];
    const std::size_t count = child_count(node.tag);
    if (node.size == 0 || node.size > i + 1 || (count == 0 && node.size != 1)) {
        fault("malformed expression tree: bad subtree size");
    }
    const std::size_t start = i + 1 - node.size;
    std::size_t at = i;
    for (std::size_t k = 0; k < count; ++k) {
        if (at <= start || tree[at - 1].size > at - start)
            fault("malformed expression tree: bad subtree size");
        at -= tree[at - 1].size;
    }
    if (at != start) fault("malformed expression tree: bad subtree size");
}

void check_node(const NodeList& tree, std::size_t i, std::size_t arg_count) {
    const Node& node = tree[i];
    if (node.tag > NodeTag::Select) fault("malformed expression tree: unknown node tag");
    check_sizes(tree, i);
    switch (node.tag) {
        case NodeTag::Unary:
            if (node.op >= kUnaryOpCount)
                fault("unknown unary operator code " + std::to_string(node.op));
            break;
        case NodeTag::Binary:
            if (node.op >= kBinaryOpCount)
                fault("unknown binary operator code " + std::to_string(node.op));
            break;
        case NodeTag::Compare:
            if (node.op >= kCompareOpCount)
                fault("unknown compare operator code " + std::to_string(node.op));
            break;
        case NodeTag::ArgRef:
            if (node.bits >= arg_count) {
                fault("kernel argument " + std::to_string(node.bits) +
                      " outside the argument list of " + std::to_string(arg_count));
            }
            break;
        default: break;
    }
}

void group_occurrences(ValueNumbers& vn) {
    const std::size_t n = vn.of.size();
    std::vector<std::uint32_t> start(vn.uses.size() + 1, 0);
    for (std::size_t v = 0; v < vn.uses.size(); ++v) start[v + 1] = start[v] + vn.uses[v];
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    vn.occurrences.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        vn.occurrences[fill[vn.of[i]]++] = static_cast<std::uint32_t>(i);
    vn.occurrence_start = std::move(start);
}

}  // namespace

bool ValueNumbers::appears_in(std::uint32_t v, std::size_t first, std::size_t last) const {
    const auto begin = occurrences.begin() + occurrence_start[v];
    const auto end = occurrences.begin() + occurrence_start[v + 1];
    const auto it = std::lower_bound(begin, end, static_cast<std::uint32_t>(first));
    return it != end && *it <= last;
}

ValueNumbers number_values(const NodeList& tree, std::size_t arg_count) {
    const std::size_t n = tree.size();
    if (n == 0) fault("malformed expression tree: no nodes");
    ValueNumbers vn;
    vn.of.resize(n);
    std::unordered_map<ShapeKey, std::uint32_t, ShapeHash> ids;
    ids.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = tree[i];
        check_node(tree, i, arg_count);
        ShapeKey key{node.tag, node.op, 0, {kNone, kNone, kNone}};
        if (node.tag == NodeTag::Const || node.tag == NodeTag::ArgRef) key.bits = node.bits;
        const auto kids = children(tree, i);
        for (std::size_t k = 0; k < child_count(node.tag); ++k) key.kids[k] = vn.of[kids[k]];
        const auto [it, fresh] = ids.try_emplace(key, static_cast<std::uint32_t>(ids.size()));
        vn.of[i] = it->second;
        if (fresh) vn.uses.push_back(0);
        ++vn.uses[vn.of[i]];
    }
    group_occurrences(vn);
    return vn;
}

}  // namespace qv
