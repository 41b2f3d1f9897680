// Blend or split, lane contexts, and hoists, in three walks over the tree.
#include "compiler/select_plan.hpp"

#include <algorithm>

#include "compiler/cost.hpp"
#include "compiler/program.hpp"

namespace qv {

bool SelectPlan::split(std::size_t i) const { return branch_ctx[i] != kNone; }

namespace {

// A Select blends when each branch has at most kBlendOps operators and no math-library call or
// split Select of its own; subtrees that also appear in the other branch or the condition do
// not count, since every lane computes them anyway. Nested Selects are decided first (they come
// first in post-order), level by level. Split Selects get branch_ctx 0 here; contexts come next.
void classify_selects(const NodeList& tree, const ValueNumbers& vn, SelectPlan& plan) {
    const std::size_t n = tree.size();
    plan.branch_ctx.assign(n, kNone);
    std::vector<std::size_t> work;
    for (std::size_t i = 0; i < n; ++i) {
        if (tree[i].tag != NodeTag::Select) continue;
        const auto kids = children(tree, i);
        const std::size_t cond_first = i + 1 - tree[i].size;
        auto cheap = [&](std::size_t branch, std::size_t other) {
            const std::size_t other_first = other + 1 - tree[other].size;
            auto elsewhere = [&](std::size_t j) {
                return vn.appears_in(vn.of[j], cond_first, kids[0]) ||
                       vn.appears_in(vn.of[j], other_first, other);
            };
            std::uint32_t ops = 0;
            work.assign(1, branch);
            while (!work.empty()) {
                const std::size_t j = work.back();
                work.pop_back();
                const std::size_t count = child_count(tree[j].tag);
                if (count == 0 || (vn.uses[vn.of[j]] > 1 && elsewhere(j))) continue;
                if (calls_libm(tree[j]) || plan.split(j) || ++ops > kBlendOps) return false;
                const auto grandkids = children(tree, j);
                for (std::size_t k = 0; k < count; ++k) work.push_back(grandkids[k]);
            }
            return true;
        };
        if (!cheap(kids[1], kids[2]) || !cheap(kids[2], kids[1])) plan.branch_ctx[i] = 0;
    }
}

// The context of every node, walking down from the root: branches of split Selects open
// contexts of their own.
void assign_contexts(const NodeList& tree, SelectPlan& plan) {
    const std::size_t n = tree.size();
    plan.ctx.resize(n);
    plan.contexts.push_back(LaneContext{kNone, 0, static_cast<std::uint32_t>(n - 1), kNone, false});
    std::vector<std::uint32_t> open{0};
    std::vector<std::uint32_t> depth{0};
    for (std::size_t i = n; i-- > 0;) {
        while (plan.contexts[open.back()].first > i) open.pop_back();
        const std::uint32_t here = open.back();
        plan.ctx[i] = here;
        if (!plan.split(i)) continue;
        const auto kids = children(tree, i);
        plan.branch_ctx[i] = static_cast<std::uint32_t>(plan.contexts.size());
        for (int side = 0; side < 2; ++side) {
            const std::size_t root = kids[1 + side];
            plan.contexts.push_back(LaneContext{
                here, static_cast<std::uint32_t>(root + 1 - tree[root].size),
                static_cast<std::uint32_t>(root), static_cast<std::uint32_t>(i), side == 0});
            depth.push_back(depth[here] + 1);
            plan.nesting = std::max<std::size_t>(plan.nesting, depth.back());
        }
        open.push_back(plan.branch_ctx[i]);      // if_true, reached last
        open.push_back(plan.branch_ctx[i] + 1);  // if_false, reached first
    }
}

// The contexts where every lane needs `value`: those of its nodes, and, up from them, the
// parent of any split Select that needs it in both branches.
void mark_needs(const SelectPlan& plan, const std::vector<std::uint32_t>& nodes,
                std::uint32_t value, std::vector<std::uint32_t>& mark) {
    std::vector<std::uint32_t> work;
    for (std::uint32_t j : nodes) {
        mark[plan.ctx[j]] = value;
        work.push_back(plan.ctx[j]);
    }
    while (!work.empty()) {
        const LaneContext& c = plan.contexts[work.back()];
        work.pop_back();
        if (c.select == kNone) continue;
        const std::uint32_t sibling = plan.branch_ctx[c.select] + (c.if_true ? 1 : 0);
        if (mark[sibling] == value && mark[c.parent] != value) {
            mark[c.parent] = value;
            work.push_back(c.parent);
        }
    }
}

// For each repeated subtree, the split Selects that compute it before they begin, for the
// branches below them that use it.
void plan_hoists(const NodeList& tree, const ValueNumbers& vn, SelectPlan& plan) {
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>>
        seen;  // value: one node per context
    for (std::size_t i = 0; i < tree.size(); ++i) {
        if (!vn.shared(tree, i)) continue;
        std::vector<std::uint32_t>& nodes = seen[vn.of[i]];
        const bool known = std::any_of(nodes.begin(), nodes.end(),
                                       [&](std::uint32_t j) { return plan.ctx[j] == plan.ctx[i]; });
        if (!known) nodes.push_back(static_cast<std::uint32_t>(i));
    }
    std::vector<std::uint32_t> mark(plan.contexts.size(), kNone);
    for (auto& [value, nodes] : seen) {
        if (nodes.size() < 2) continue;
        mark_needs(plan, nodes, value, mark);
        for (std::uint32_t j : nodes) {
            for (std::uint32_t c = plan.ctx[j]; plan.contexts[c].select != kNone;
                 c = plan.contexts[c].parent) {
                const std::uint32_t s = plan.contexts[c].select;
                if (mark[plan.contexts[c].parent] != value) continue;
                std::vector<std::uint32_t>& list = plan.hoists[s];
                const bool listed = std::any_of(list.begin(), list.end(),
                                                [&](std::uint32_t k) { return vn.of[k] == value; });
                if (!listed) list.push_back(j);
            }
        }
    }
}

}  // namespace

SelectPlan plan_selects(const NodeList& tree, const ValueNumbers& vn) {
    SelectPlan plan;
    classify_selects(tree, vn, plan);
    assign_contexts(tree, plan);
    plan_hoists(tree, vn, plan);
    return plan;
}

}  // namespace qv
