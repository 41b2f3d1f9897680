#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "exec/evaluator.hpp"
#include "exec/fused_reduce.hpp"
#include "ir/scalar_ops.hpp"
#include "pool/pool.hpp"
#include "tree_builder.hpp"

namespace qv {
namespace {

using namespace qv::test;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The reduction of materialised values, one value at a time in flat order into the result
// its multi-index names: the definition the fused reduction must meet bit for bit.
std::vector<double> materialised(const CompiledKernel& k, std::span<const ArgView> views,
                                 const std::vector<std::size_t>& shape,
                                 const std::vector<bool>& reduced, AxisReduceOp op) {
    std::size_t n = 1, kept = 1;
    for (std::size_t a = 0; a < shape.size(); ++a) n *= shape[a], kept *= reduced[a] ? 1 : shape[a];
    std::vector<double> values(n);
    evaluate_views_into(k, views, values);
    const double start = op == AxisReduceOp::Prod  ? 1.0
                         : op == AxisReduceOp::Min ? INFINITY
                         : op == AxisReduceOp::Max ? -INFINITY
                                                   : -0.0;
    std::vector<double> acc(kept, start);
    for (std::size_t f = 0; f < n; ++f) {
        std::size_t rest = f, o = 0, scale = 1;
        for (std::size_t a = shape.size(); a-- > 0;) {
            const std::size_t i = rest % shape[a];
            rest /= shape[a];
            if (!reduced[a]) o += i * scale, scale *= shape[a];
        }
        double& r = acc[o];
        const double x = values[f];
        switch (op) {
            case AxisReduceOp::Sum:
            case AxisReduceOp::Mean: r = op_add(r, x); break;
            case AxisReduceOp::Prod: r = op_mul(r, x); break;
            case AxisReduceOp::Min:
                r = std::isnan(r) || std::isnan(x) ? kNaN : x < r ? x : r;
                break;
            case AxisReduceOp::Max:
                r = std::isnan(r) || std::isnan(x) ? kNaN : x > r ? x : r;
                break;
        }
    }
    if (op == AxisReduceOp::Mean) {
        for (double& r : acc) r /= static_cast<double>(n / kept);
    }
    return acc;
}

// Random shapes and axes, a flat kernel and one with a Select, every operation, one thread
// and the pool: the same bits as the materialised reduction.
TEST(FusedReduce, EqualsTheMaterialisedReductionForAnyLayoutAndThreadCount) {
    std::mt19937_64 rng(11);
    const CompiledKernel flat{bin(BinaryOp::Add, bin(BinaryOp::Mul, arg(0), arg(1)), arg(2))};
    const CompiledKernel tree{
        sel(cmp(CompareOp::Gt, arg(0), cst(0.0)), bin(BinaryOp::Mul, arg(0), arg(1)), arg(2))};
    const double specials[] = {kNaN, -kNaN, 0.0, -0.0, INFINITY, -INFINITY};
    const std::size_t threads_before = thread_limit();
    for (int round = 0; round < 40; ++round) {
        std::vector<std::size_t> shape(1 + rng() % 4);
        std::vector<bool> reduced(shape.size());
        std::size_t n = 1;
        for (std::size_t a = 0; a < shape.size(); ++a) {
            shape[a] = n > 20000 ? 1 : 1 + rng() % (round % 2 == 0 ? 7 : 70);
            reduced[a] = rng() % 2 == 0;
            n *= shape[a];
        }
        std::vector<double> a(n), b(n);
        std::uniform_real_distribution<double> value(-2.0, 2.0);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = rng() % 50 == 0 ? specials[rng() % 6] : value(rng);
            b[i] = value(rng);
        }
        const ArgView views[] = {{a.data(), 0.0, n}, {b.data(), 0.0, n}, {nullptr, 0.25, 0}};
        for (const CompiledKernel* k : {&flat, &tree}) {
            for (AxisReduceOp op : {AxisReduceOp::Sum, AxisReduceOp::Prod, AxisReduceOp::Min,
                                    AxisReduceOp::Max, AxisReduceOp::Mean}) {
                const std::vector<double> want = materialised(*k, views, shape, reduced, op);
                for (std::size_t threads : {std::size_t{1}, std::size_t{4}}) {
                    set_thread_limit(threads);
                    std::vector<double> got(want.size());
                    std::unique_ptr<bool[]> flags(new bool[shape.size()]);
                    for (std::size_t i = 0; i < shape.size(); ++i) flags[i] = reduced[i];
                    ASSERT_FALSE(reduce_kernel_into(*k, views, shape, {flags.get(), shape.size()},
                                                    op, got.data(), got.size()));
                    for (std::size_t i = 0; i < want.size(); ++i) {
                        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]),
                                  std::bit_cast<std::uint64_t>(want[i]))
                            << "round " << round << " op " << static_cast<int>(op) << " element "
                            << i;
                    }
                }
            }
        }
    }
    set_thread_limit(threads_before);
}

TEST(FusedReduce, NothingToReduceGivesIdentitiesOrRefusesExtremes) {
    const CompiledKernel k{arg(0)};
    const std::vector<std::size_t> shape = {0, 3};
    const bool flags[] = {true, false};
    const ArgView views[] = {{nullptr, 1.0, 0}};
    std::vector<double> out(3);
    ASSERT_FALSE(reduce_kernel_into(k, views, shape, flags, AxisReduceOp::Sum, out.data(), 3));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(out[0]), 0u);  // +0.0, as NumPy's
    ASSERT_FALSE(reduce_kernel_into(k, views, shape, flags, AxisReduceOp::Prod, out.data(), 3));
    EXPECT_EQ(out[2], 1.0);
    const auto refused =
        reduce_kernel_into(k, views, shape, flags, AxisReduceOp::Max, out.data(), 3);
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused,
              EngineError::empty_collection(
                  "zero-size array to reduction operation maximum which has no identity"));
}

}  // namespace
}  // namespace qv
