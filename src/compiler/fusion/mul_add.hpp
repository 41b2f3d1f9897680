// A product read only by a sum becomes one x*y+z or x+y*z step: the same two operations in the
// same order, so the same bits, without the product's trip through a scratch block.
#pragma once

#include <cstddef>

#include "compiler/elementwise.hpp"
#include "compiler/program.hpp"

namespace qv {

struct MulAddFusion {
    static constexpr std::size_t count = 2;
    template <std::size_t K>
    struct Fn {  // 0: x * y + z, 1: x + y * z
        static constexpr int arity = 3;
        static double apply(double x, double y, double z) {
            return K == 0 ? op_add(op_mul(x, y), z) : op_add(x, op_mul(y, z));
        }
        static float f32(float x, float y, float z) {
            using Add = BinaryFn<BinaryOp::Add>;
            using Mul = BinaryFn<BinaryOp::Mul>;
            return K == 0 ? Add::f32(Mul::f32(x, y, 0.0f), z, 0.0f)
                          : Add::f32(x, Mul::f32(y, z, 0.0f), 0.0f);
        }
    };

    static void fuse(auto& site, RegStep& s) {
        if (!site.is(s, site.template kernel<BinaryKernels>(BinaryOp::Add))) return;
        auto is_product = [&](const RegStep& m) {
            return site.is(m, site.template kernel<BinaryKernels>(BinaryOp::Mul));
        };
        if (const RegStep* m = site.sole_source(s, s.ops[0], is_product)) {
            s = site.rewrite(s, site.template kernel<MulAddFusion>(0), m->ops[0], m->ops[1],
                             s.ops[1]);
        } else if (const RegStep* m2 = site.sole_source(s, s.ops[1], is_product)) {
            s = site.rewrite(s, site.template kernel<MulAddFusion>(1), s.ops[0], m2->ops[0],
                             m2->ops[1]);
        }
    }
};

}  // namespace qv
