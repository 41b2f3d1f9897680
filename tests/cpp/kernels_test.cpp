#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "compiler/kernels.hpp"
#include "exec/loops.hpp"

namespace qv {
namespace {

// Every kernel of the catalog has loops in every set this CPU runs, for every operand shape
// within its arity, and they give the bits the compiler folds constants to: a family left out
// of the loop tables, or a loop set that disagrees with the element function, fails here.
TEST(KernelCatalog, EveryKernelsLoopsGiveItsFoldedBits) {
    const double inf = std::numeric_limits<double>::infinity(),
                 nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> values = {-2.5, -1.0,  -0.0,   0.0, 0.5,  1.0,
                                        3.0,  1e300, 5e-324, inf, -inf, nan};
    for (LoopSet set : supported_loop_sets()) {
        for (std::size_t k = 0; k < kKernelCount; ++k) {
            const auto kernel = static_cast<KernelId>(k);
            // Casts read, bool comparisons and predicates write another type: test_value_types
            // checks them.
            if (in_family<CastKernels>(kernel) || in_family<BoolCompareKernels>(kernel) ||
                in_family<BoolPredicateKernels>(kernel))
                continue;
            const Loops& scalar = loops_for(set, ValueType::F64, kernel, 0);
            const Loops& dense = loops_for(set, ValueType::F64, kernel, 1);
            for (std::size_t i = 0; i < values.size(); ++i) {
                const double x = values[i], y = values[(i + 5) % values.size()],
                             z = values[(i + 7) % values.size()];
                const double s[3] = {x, y, z};
                const std::uint32_t lane = 0;
                double by_lane = 0.0, by_block = 0.0;
                scalar.indexed(&by_lane, nullptr, nullptr, nullptr, s, &lane, 1);
                dense.tail(&by_block, &x, nullptr, nullptr, s, 1);
                const auto want = std::bit_cast<std::uint64_t>(fold_kernel(kernel, x, y, z));
                EXPECT_EQ(std::bit_cast<std::uint64_t>(by_lane), want)
                    << "kernel " << k << " on " << x << ", " << y << ", " << z;
                EXPECT_EQ(std::bit_cast<std::uint64_t>(by_block), want)
                    << "kernel " << k << " over a block";
            }
        }
    }
}

}  // namespace
}  // namespace qv
