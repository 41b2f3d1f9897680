// A blended Select whose condition compares against the value it picks when true, the
// comparison read by nothing else, becomes one step (where(x > hi, hi, y), clamping as people
// write it): the same comparison and the same pick.
#pragma once

#include <cstddef>

#include "compiler/elementwise.hpp"
#include "compiler/program.hpp"

namespace qv {

struct CompareKeepFusion {
    static constexpr std::size_t count = kCompareOpCount;
    template <std::size_t K>
    struct Fn {  // l op r ? r : f
        static constexpr int arity = 3;
        static double apply(double l, double r, double f) {
            return apply_compare(static_cast<CompareOp>(K), l, r) != 0.0 ? r : f;
        }
    };

    static void fuse(auto& site, RegStep& s) {
        if (!site.is(s, site.template kernel<BlendKernels>(0))) return;
        const Val picked = s.ops[1];
        auto keeps_picked = [&](const RegStep& c) {
            return site.template in<CompareKernels>(c) && site.same_value(c.ops[1], picked);
        };
        if (const RegStep* c = site.sole_source(s, s.ops[0], keeps_picked)) {
            const std::size_t op = site.template index_in<CompareKernels>(*c);
            s = site.rewrite(s, site.template kernel<CompareKeepFusion>(op), c->ops[0], c->ops[1],
                             s.ops[2]);
        }
    }
};

}  // namespace qv
