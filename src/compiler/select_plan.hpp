// The select strategy: which Selects blend both branches over every lane and which split their
// lanes, the lane context of every node, and where each repeated subtree is computed: in the
// outermost context where every lane needs it (it appears there outside any split Select, or
// in both branches of one), before the Select whose branches use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "compiler/value_numbers.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// The lanes a node runs over: the whole block (context 0) or one branch of a split Select.
struct LaneContext {
    std::uint32_t parent;
    std::uint32_t first, last;  // node range of the branch
    std::uint32_t select;       // the Select whose branch this is
    bool if_true;
};

struct SelectPlan {
    std::vector<std::uint32_t> ctx;  // context per node
    std::vector<std::uint32_t>
        branch_ctx;  // per split Select: its if_true context (if_false next); kNone otherwise
    std::vector<LaneContext> contexts;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>>
        hoists;               // Select: nodes to compute first
    std::size_t nesting = 0;  // deepest nesting of split Selects

    bool split(std::size_t i) const;
    bool encloses(std::uint32_t outer, std::uint32_t inner) const {
        return contexts[outer].first <= contexts[inner].first &&
               contexts[inner].last <= contexts[outer].last;
    }
};

SelectPlan plan_selects(const NodeList& tree, const ValueNumbers& vn);

}  // namespace qv
