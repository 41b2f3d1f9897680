// A compare-and-keep whose other value is made, for it alone, by a compare-and-keep of the same
// value from the other side (which keeps this value too) becomes one clamp step (where(x < lo,
// lo, where(x > hi, hi, x))): the same two comparisons and the same picks.
#pragma once

#include <cstddef>

#include "compiler/elementwise.hpp"
#include "compiler/fusion/compare_keep.hpp"
#include "compiler/program.hpp"

namespace qv {

struct ClampFusion {
    // The outer comparison is one of the four orderings (codes 0 to 3), the inner one of the
    // opposite direction, strict (k = 0) or not (k = 1).
    static_assert(static_cast<int>(CompareOp::Gt) == 0 && static_cast<int>(CompareOp::Ge) == 1 &&
                  static_cast<int>(CompareOp::Lt) == 2 && static_cast<int>(CompareOp::Le) == 3);
    static constexpr std::size_t kOuterOps = 4;
    static constexpr CompareOp inner_of(std::size_t outer, std::size_t k) {
        return static_cast<CompareOp>((outer < 2 ? 2 : 0) + k);
    }

    static constexpr std::size_t count = kOuterOps * 2;
    template <std::size_t K>
    struct Fn {  // x outer lo ? lo : (x inner hi ? hi : x), K = 2 * outer + k
        static constexpr CompareOp kOuter = static_cast<CompareOp>(K / 2);
        static constexpr CompareOp kInner = inner_of(K / 2, K % 2);
        static constexpr int arity = 3;
        static double apply(double x, double lo, double hi) {
            return apply_compare(kOuter, x, lo) != 0.0
                       ? lo
                       : (apply_compare(kInner, x, hi) != 0.0 ? hi : x);
        }
    };

    static void fuse(auto& site, RegStep& s) {
        if (!site.template in<CompareKeepFusion>(s)) return;
        const std::size_t outer = site.template index_in<CompareKeepFusion>(s);
        if (outer >= kOuterOps) return;
        for (std::size_t k = 0; k < 2; ++k) {
            const KernelId inner = site.template kernel<CompareKeepFusion>(
                static_cast<std::size_t>(inner_of(outer, k)));
            auto clamps_same_value = [&](const RegStep& c) {
                return site.is(c, inner) && site.same_value(c.ops[0], s.ops[0]) &&
                       site.same_value(c.ops[2], s.ops[0]);
            };
            if (const RegStep* c = site.sole_source(s, s.ops[2], clamps_same_value)) {
                s = site.rewrite(s, site.template kernel<ClampFusion>(2 * outer + k), s.ops[0],
                                 s.ops[1], c->ops[1]);
                return;
            }
        }
    }
};

}  // namespace qv
