#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>

#include "core/fault.hpp"
#include "exec/block_program.hpp"
#include "exec/evaluator.hpp"
#include "reference/interpreters.hpp"
#include "tree_builder.hpp"

namespace qv {
namespace {

using namespace qv::test;

BufferRef buffer(std::vector<double> values) {
    return from_f64_vec(F64Vec(values.begin(), values.end()));
}

BufferRef ramp(std::size_t n, double scale) {
    F64Vec v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = (static_cast<double>(i) - n / 3.0) * scale;
    return from_f64_vec(std::move(v));
}

std::vector<double> values_of(const Result<BufferRef>& r) {
    EXPECT_TRUE(r.ok());
    if (!r.ok()) return {};
    const auto s = r.value()->as_f64_slice();
    return {s.begin(), s.end()};
}

TEST(Evaluator, LengthAndArgumentErrors) {
    const CompiledKernel k =
        CompiledKernel(bin(BinaryOp::Add, arg(0), bin(BinaryOp::Mul, arg(1), arg(2))));
    const Result<BufferRef> mismatch =
        evaluate_kernel(k, {buffer({1, 2, 3}), 2.0, buffer({1, 2, 3, 4})});
    ASSERT_FALSE(mismatch.ok());
    EXPECT_EQ(mismatch.error(), EngineError::shape("buffer length mismatch: 3 vs 4"));
    // The first mismatch in dense-index order is the one reported.
    const Result<BufferRef> first =
        evaluate_kernel(k, {buffer({1}), buffer({1, 2}), buffer({1, 2, 3})});
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error().message(), "buffer length mismatch: 1 vs 2");

    for (const ArgValues& scalars_only : {ArgValues{1.0, 2.0, 3.0}, ArgValues{}}) {
        const Result<BufferRef> r = evaluate_kernel(CompiledKernel(cst(1.0)), scalars_only);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), EngineError::arg("no buffer arguments provided"));
    }
}

TEST(Evaluator, EmptyBuffersGiveAnEmptyResult) {
    for (const CompiledKernel& k : {CompiledKernel(bin(BinaryOp::Div, arg(0), arg(1))),
                                    CompiledKernel(sel(arg(0), arg(1), cst(0)))}) {
        const Result<BufferRef> r = evaluate_kernel(k, {buffer({}), buffer({})});
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value()->shape(), std::vector<std::size_t>{0});
        EXPECT_EQ(r.value()->dtype(), DType::F64);
    }
}

TEST(Evaluator, ScalarsApplyToEveryElement) {
    const CompiledKernel k = CompiledKernel(bin(BinaryOp::Sub, arg(0), arg(1)));
    EXPECT_EQ(values_of(evaluate_kernel(k, {10.0, buffer({1, 2, 3, 4, 5})})),
              (std::vector<double>{9, 8, 7, 6, 5}));
    EXPECT_EQ(values_of(evaluate_kernel(CompiledKernel(cst(7.5)), {buffer({1, 2})})),
              (std::vector<double>{7.5, 7.5}));
    EXPECT_EQ(values_of(evaluate_kernel(CompiledKernel(arg(0)), {buffer({-0.0, 4})})).size(), 2u);
}

TEST(Evaluator, SelectTakesOnlyTheChosenBranch) {
    // where(x > 0, log(x), 0): negatives get 0.0, never a NaN from the logarithm.
    const CompiledKernel k = CompiledKernel(
        sel(cmp(CompareOp::Gt, arg(0), cst(0.0)), un(UnaryOp::Log, arg(0)), cst(0.0)));
    const std::vector<double> got =
        values_of(evaluate_kernel(k, {buffer({-1.0, 1.0, -5.0, std::exp(2.0)})}));
    EXPECT_EQ(got, (std::vector<double>{0.0, 0.0, 0.0, 2.0}));

    // A NaN condition chooses if_true; either zero chooses if_false.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const CompiledKernel plain = CompiledKernel(sel(arg(0), un(UnaryOp::Neg, cst(1.0)), cst(2.0)));
    EXPECT_EQ(values_of(evaluate_kernel(plain, {buffer({nan, 0.0, -0.0, 3.0})})),
              (std::vector<double>{-1.0, 2.0, 2.0, -1.0}));
    const CompiledKernel blend = CompiledKernel(sel(arg(0), cst(1.0), arg(1)));
    EXPECT_EQ(values_of(evaluate_kernel(blend, {buffer({nan, -0.0}), 5.0})),
              (std::vector<double>{1.0, 5.0}));
}

// The boundary between the calling thread and the pool must not change a single bit.
TEST(Evaluator, ParallelThresholdGivesIdenticalResults) {
    const NodeList body = bin(BinaryOp::Add, un(UnaryOp::Sin, arg(0)),
                              bin(BinaryOp::Mul, arg(1), un(UnaryOp::Round, arg(0))));
    const NodeList select_body = sel(cmp(CompareOp::Ge, arg(0), cst(0.0)),
                                     un(UnaryOp::Sqrt, arg(0)), bin(BinaryOp::Mul, arg(0), arg(1)));
    for (std::size_t n :
         {std::size_t{4095}, std::size_t{4096}, std::size_t{4097}, std::size_t{20000}}) {
        const BufferRef x = ramp(n, 0.37);
        const ArgValues args{x, 1.5};
        const ArgView views[] = {{x->as_f64_slice().data(), 0.0, n}, {nullptr, 1.5, 0}};
        const std::vector<double> flat = values_of(evaluate_kernel(CompiledKernel(body), args));
        const std::vector<double> tree =
            values_of(evaluate_kernel(CompiledKernel(select_body), args));
        ASSERT_EQ(flat.size(), n);
        ASSERT_EQ(tree.size(), n);
        const FlatProgram program = flatten(body);
        std::vector<double> scratch;
        TreeScratch tree_scratch;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(flat[i]),
                      std::bit_cast<std::uint64_t>(eval_flat(program, i, views, scratch)))
                << n << " at " << i;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(tree[i]),
                      std::bit_cast<std::uint64_t>(eval_tree(select_body, i, views, tree_scratch)))
                << n << " at " << i;
        }
    }
}

TEST(Evaluator, DeepBodiesNeedNoRecursion) {
    const BufferRef x = buffer({0.5, 3.5, 99999.5, 1e9, -7.0});
    for (std::uint32_t depth : {10000u, 100000u}) {
        const NodeList chain = select_chain(depth);
        const std::vector<double> got = values_of(evaluate_kernel(CompiledKernel(chain), {x}));
        const double d = depth;
        EXPECT_EQ(got, (std::vector<double>{1, 4, d == 1e5 ? 1e5 : 99999.5, 1e9, 1}));
        TreeScratch scratch;
        const ArgView view{x->as_f64_slice().data(), 0.0, 5};
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i], eval_tree(chain, i, {&view, 1}, scratch)) << depth << " at " << i;
        }
    }
    const std::vector<double> sums =
        values_of(evaluate_kernel(CompiledKernel(right_deep_sum(100000)), {x}));
    EXPECT_EQ(sums[0], 100000.5);
    EXPECT_EQ(sums[4], 99993.0);
}

// Kernels, views and buffers are shared read-only: threads evaluating at once get exactly the
// result a lone evaluation gives, while they race to decode each kernel for three patterns of
// scalar and buffer arguments.
TEST(Evaluator, ConcurrentEvaluationsAgree) {
    const std::size_t n = 50000;
    const BufferRef x = ramp(n, 0.01), y = ramp(n, -0.3);
    const CompiledKernel kernels[] = {
        CompiledKernel(
            bin(BinaryOp::Add, bin(BinaryOp::Mul, arg(0), arg(1)), un(UnaryOp::Exp, arg(0)))),
        CompiledKernel(sel(cmp(CompareOp::Gt, arg(0), arg(1)), un(UnaryOp::Log, arg(0)), arg(1))),
    };
    const ArgValues patterns[] = {{x, y}, {x, 2.0}, {1.5, y}};
    std::vector<std::vector<double>> expected;
    for (const CompiledKernel& k : kernels) {
        const CompiledKernel fresh = k;  // a copy decodes on its own
        for (const ArgValues& args : patterns)
            expected.push_back(values_of(evaluate_kernel(fresh, args)));
    }

    std::vector<std::future<int>> workers;
    for (int t = 0; t < 8; ++t) {
        workers.push_back(std::async(std::launch::async, [&, t] {
            int mismatches = 0;
            for (int round = 0; round < 12; ++round) {
                const std::size_t which = static_cast<std::size_t>(t + round) % 6;
                const Result<BufferRef> r =
                    evaluate_kernel(kernels[which / 3], patterns[which % 3]);
                const auto got = r.value()->as_f64_slice();
                if (std::memcmp(got.data(), expected[which].data(), n * sizeof(double)) != 0)
                    ++mismatches;
            }
            return mismatches;
        }));
    }
    for (auto& w : workers) {
        if (w.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
            ADD_FAILURE() << "evaluation did not finish";
            std::quick_exit(1);  // a stuck thread would block the future's destructor
        }
        EXPECT_EQ(w.get(), 0);
    }
}

TEST(Evaluator, ForeignDtypeIsAFault) {
    const BufferRef odd =
        std::make_shared<const BufferInner>(std::vector<std::size_t>{2}, F64Vec(1), 8, DType::I32);
    EXPECT_THROW(evaluate_kernel(CompiledKernel(arg(0)), {odd}), Fault);
}

// Writing into an argument's own storage gives what a fresh output gets, for flat bodies,
// fused products and Selects, on the calling thread and on the pool.
TEST(Evaluator, OutputMayBeExactlyAnArgument) {
    const NodeList bodies[] = {
        bin(BinaryOp::Add, bin(BinaryOp::Mul, arg(0), arg(1)), arg(0)),
        bin(BinaryOp::Sub, cst(1.0), bin(BinaryOp::Div, arg(1), arg(0))),
        sel(cmp(CompareOp::Lt, arg(0), cst(0.0)), un(UnaryOp::Neg, arg(0)),
            bin(BinaryOp::Mul, arg(0), arg(1))),
    };
    for (std::size_t n : {5u, 5000u}) {
        for (const NodeList& body : bodies) {
            std::vector<CompiledKernel> kernels{CompiledKernel(body)};
            for (const CompiledKernel& k : kernels) {
                const BufferRef x = ramp(n, 0.5), y = ramp(n, -0.25);
                const std::vector<double> expected = values_of(evaluate_kernel(k, {x, y}));
                const std::span<double> storage(const_cast<double*>(x->as_f64_slice().data()), n);
                evaluate_kernel_into(k, {x, y}, storage);
                EXPECT_TRUE(std::equal(storage.begin(), storage.end(), expected.begin())) << n;
            }
        }
    }
}

}  // namespace
}  // namespace qv
