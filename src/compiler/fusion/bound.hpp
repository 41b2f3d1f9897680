// A max read only by a min (or a min by a max), bounding a value from both sides (min(max(x,
// lo), hi), as clip is written), becomes one step: the same two operations, the inner one on
// either side.
#pragma once

#include <cstddef>

#include "compiler/elementwise.hpp"
#include "compiler/program.hpp"

namespace qv {

struct BoundFusion {
    static constexpr std::size_t count = 4;
    // K = 2 * (outer is min) + (inner on the left): outer(inner(x, y), z) or outer(z, inner(x, y)).
    template <std::size_t K>
    struct Fn {
        static constexpr bool kOuterMin = K / 2 != 0, kInnerLeft = K % 2 != 0;
        static constexpr int arity = 3;
        static double apply(double x, double y, double z) {
            const double inner = kOuterMin ? op_max(x, y) : op_min(x, y);
            return kOuterMin ? (kInnerLeft ? op_min(inner, z) : op_min(z, inner))
                             : (kInnerLeft ? op_max(inner, z) : op_max(z, inner));
        }
    };

    static void fuse(auto& site, RegStep& s) {
        const KernelId min = site.template kernel<BinaryKernels>(BinaryOp::Min);
        const KernelId max = site.template kernel<BinaryKernels>(BinaryOp::Max);
        if (!site.is(s, min) && !site.is(s, max)) return;
        const bool outer_min = site.is(s, min);
        auto is_inner = [&](const RegStep& i) { return site.is(i, outer_min ? max : min); };
        const std::size_t outer = outer_min ? 2 : 0;
        if (const RegStep* i = site.sole_source(s, s.ops[0], is_inner)) {
            s = site.rewrite(s, site.template kernel<BoundFusion>(outer + 1), i->ops[0], i->ops[1],
                             s.ops[1]);
        } else if (const RegStep* i2 = site.sole_source(s, s.ops[1], is_inner)) {
            s = site.rewrite(s, site.template kernel<BoundFusion>(outer), i2->ops[0], i2->ops[1],
                             s.ops[0]);
        }
    }
};

}  // namespace qv
