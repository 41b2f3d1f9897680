#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "core/fault.hpp"
#include "exec/block_program.hpp"
#include "exec/evaluator.hpp"
#include "loop_set_params.hpp"
#include "reference/interpreters.hpp"
#include "tree_builder.hpp"

namespace qv {
namespace {

using namespace qv::test;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Random bodies over every operator, with the awkward values of float64 as constants and inputs.
class RandomBodies {
public:
    explicit RandomBodies(std::uint64_t seed) : rng_(seed) {}

    int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

    double value() {
        static const double special[] = {
            kNaN,
            -kNaN,
            kInf,
            -kInf,
            0.0,
            -0.0,
            5e-324,
            -5e-324,
            2.2250738585072014e-308,
            1e-310,
            -1e-310,
            1e308,
            -1e308,
            1e-300,
            0.5,
            -0.5,
            1.5,
            2.5,
            -2.5,
            1.0,
            -1.0,
            0.49999999999999994,
            4503599627370495.5,
            -4503599627370497.0,
            9007199254740993.0,
            3.0,
        };
        switch (below(4)) {
            case 0: return special[below(std::size(special))];
            case 1: return std::bit_cast<double>(rng_());
            case 2:
                return std::ldexp(static_cast<double>(rng_() >> 11) / 9007199254740992.0 - 0.5,
                                  below(12) - 4);
            default: return static_cast<double>(below(9) - 4) * 0.5;
        }
    }

    // Bodies repeat earlier subtrees (so that sharing has work to do) and raise to the constant
    // powers that have candidates.
    NodeList body(int depth, int args, bool selects) {
        NodeList made = fresh_body(depth, args, selects);
        if (made.size() > 1 && made.size() < 40) seen_.push_back(made);
        return made;
    }

    NodeList fresh_body(int depth, int args, bool selects) {
        if (!seen_.empty() && below(6) == 0) return seen_[below(static_cast<int>(seen_.size()))];
        if (depth == 0 || below(5) == 0) {
            return below(3) == 0 ? cst(value()) : arg(static_cast<std::uint64_t>(below(args)));
        }
        const int pick = below(selects ? 11 : 9);
        if (pick == 8) {
            static const double exponents[] = {0.0, -0.0, 0.5, 1.0, 2.0, 3.0, 4.0, -1.0, 2.5};
            return bin(BinaryOp::Pow, body(depth - 1, args, selects), cst(exponents[below(9)]));
        }
        // Float64 trees: complex() makes complex values, the bitwise operators take only truths
        // and shifts only integers (a program that refuses its operands never runs).
        if (pick < 3) {
            auto op = static_cast<UnaryOp>(below(kUnaryOpCount));
            while (op_is_bitwise(op)) op = static_cast<UnaryOp>(below(kUnaryOpCount));
            return un(op, body(depth - 1, args, selects));
        }
        if (pick < 6) {
            auto op = static_cast<BinaryOp>(below(kBinaryOpCount));
            while (op == BinaryOp::Complex || op_is_bitwise(op) || op == BinaryOp::LeftShift ||
                   op == BinaryOp::RightShift)
                op = static_cast<BinaryOp>(below(kBinaryOpCount));
            return bin(op, body(depth - 1, args, selects), body(depth - 1, args, selects));
        }
        if (pick < 8) {
            return cmp(static_cast<CompareOp>(below(kCompareOpCount)),
                       body(depth - 1, args, selects), body(depth - 1, args, selects));
        }
        if (below(2) == 0) {  // clamping: the value compared against is the one picked
            NodeList bound = body(depth - 1, args, selects);
            if (below(2) == 0) {  // from both sides: where(v op lo, lo, where(v op' hi, hi, v))
                NodeList v = body(depth - 1, args, selects), high = body(depth - 1, args, selects);
                return sel(
                    cmp(static_cast<CompareOp>(below(kCompareOpCount)), v, bound), bound,
                    sel(cmp(static_cast<CompareOp>(below(kCompareOpCount)), v, high), high, v));
            }
            return sel(cmp(static_cast<CompareOp>(below(kCompareOpCount)),
                           body(depth - 1, args, selects), bound),
                       bound, body(depth - 1, args, selects));
        }
        return sel(body(depth - 1, args, selects), body(depth - 1, args, selects),
                   body(depth - 1, args, selects));
    }

    void forget() { seen_.clear(); }

    std::size_t length() {
        static const std::size_t sizes[] = {1,    2,    3,    255,  511,  512, 513,
                                            1023, 1024, 1025, 4095, 4096, 4097};
        return below(3) == 0 ? 1 + below(2000) : sizes[below(std::size(sizes))];
    }

private:
    std::mt19937_64 rng_;
    std::vector<NodeList> seen_;
};

// Postfix listing of a body, for failure messages.
std::string describe(const NodeList& tree) {
    std::ostringstream text;
    for (const Node& node : tree) {
        text << static_cast<int>(node.tag) << ':' << static_cast<int>(node.op);
        if (node.tag == NodeTag::Const) text << '(' << std::bit_cast<double>(node.bits) << ')';
        if (node.tag == NodeTag::ArgRef) text << "(#" << node.bits << ')';
        text << ' ';
    }
    return text.str();
}

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& want,
                      const std::string& what, int trial) {
    ASSERT_EQ(got.size(), want.size());
    if (std::memcmp(got.data(), want.data(), got.size() * sizeof(double)) == 0) return;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
            << what << ", trial " << trial << ", element " << i << ": " << got[i] << " vs "
            << want[i];
    }
}

// The block interpreter against the per-element references, bit for bit, with the range run
// whole and cut into two pieces at a random point as the pool would, for every loop set.
class BlockInterpreterLoops : public ::testing::TestWithParam<LoopSet> {};

TEST_P(BlockInterpreterLoops, MatchesTheReferenceInterpretersBitForBit) {
    const LoopSet set = GetParam();
    QV_SKIP_UNLESS_CPU_RUNS(set);
    RandomBodies gen(20240611);
    for (int trial = 0; trial < 3000; ++trial) {
        const bool selects = trial % 2 == 1;
        const int args = 1 + gen.below(4);
        gen.forget();
        const NodeList tree = gen.body(1 + gen.below(6), args, selects);
        const std::size_t n = gen.length();

        std::vector<std::vector<double>> storage(args);
        std::vector<ArgView> views;
        for (int k = 0; k < args; ++k) {
            if (k > 0 && gen.below(3) == 0) {
                views.push_back(ArgView{nullptr, gen.value(), 0});
                continue;
            }
            for (std::size_t i = 0; i < n; ++i) storage[k].push_back(gen.value());
            views.push_back(ArgView{storage[k].data(), 0.0, n});
        }

        std::vector<double> reference(n);
        TreeScratch tree_scratch;
        if (contains_select(tree)) {
            for (std::size_t i = 0; i < n; ++i)
                reference[i] = eval_tree(tree, i, views, tree_scratch);
        } else {
            const FlatProgram program = flatten(tree);
            std::vector<double> scratch;
            for (std::size_t i = 0; i < n; ++i)
                reference[i] = eval_flat(program, i, views, scratch);
            std::vector<double> by_tree(n);
            for (std::size_t i = 0; i < n; ++i)
                by_tree[i] = eval_tree(tree, i, views, tree_scratch);
            expect_same_bits(by_tree, reference, "eval_tree vs eval_flat of " + describe(tree),
                             trial);
        }

        // Decoded once, bound twice: first to other data of the same pattern, then to these.
        const BlockProgram block(tree, views, set);
        std::vector<std::vector<double>> other_storage(storage);
        std::vector<ArgView> other_views(views);
        for (int k = 0; k < args; ++k) {
            if (views[k].data == nullptr) {
                other_views[k].scalar = gen.value();
            } else {
                std::reverse(other_storage[k].begin(), other_storage[k].end());
                other_views[k].data = other_storage[k].data();
            }
        }
        std::vector<double> whole(n, 12345.0), pieces(n, 12345.0);
        block.bind(other_views).run(0, n, whole.data());
        block.bind(views).run(0, n, whole.data());
        const std::size_t cut = static_cast<std::size_t>(gen.below(static_cast<int>(n) + 1));
        const BlockBinding bound = block.bind(views);
        bound.run(0, cut, pieces.data());
        bound.run(cut, n, pieces.data());
        expect_same_bits(whole, reference, "block run of " + describe(tree), trial);
        expect_same_bits(pieces, reference, "block run in pieces of " + describe(tree), trial);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, BlockInterpreterLoops, kEveryLoopSet, loop_set_param_name);

// Sums of products run as one step; with NaNs of different payloads and signs on every side,
// which NaN comes out shows whether the operand order survived.
TEST_P(BlockInterpreterLoops, FusedProductsKeepTheOperandOrder) {
    const LoopSet set = GetParam();
    QV_SKIP_UNLESS_CPU_RUNS(set);
    const auto mul = [](NodeList l, NodeList r) {
        return bin(BinaryOp::Mul, std::move(l), std::move(r));
    };
    const auto add = [](NodeList l, NodeList r) {
        return bin(BinaryOp::Add, std::move(l), std::move(r));
    };
    const NodeList bodies[] = {
        add(mul(arg(0), arg(1)), arg(2)),  // x*y+z
        add(arg(2), mul(arg(0), arg(1))),  // x+y*z
        add(mul(cst(2.0), arg(0)), mul(cst(3.0), arg(1))),
        add(mul(arg(0), arg(1)), mul(arg(2), arg(0))),
        add(mul(arg(0), cst(-kNaN)), arg(1)),
        add(cst(kNaN), mul(arg(2), arg(1))),
        add(add(mul(arg(0), arg(1)), arg(2)), mul(arg(1), arg(2))),
    };
    const double nans[] = {kNaN,
                           -kNaN,
                           std::bit_cast<double>(0x7ff8000000000001ull),
                           std::bit_cast<double>(0xfff8000000000007ull),
                           1.5,
                           -0.0,
                           kInf};
    std::mt19937_64 rng(99);
    const std::size_t n = 1037;
    std::vector<double> data[3];
    for (auto& column : data)
        for (std::size_t i = 0; i < n; ++i) column.push_back(nans[rng() % std::size(nans)]);
    for (int scalar_arg = -1; scalar_arg < 3; ++scalar_arg) {
        std::vector<ArgView> views;
        for (int k = 0; k < 3; ++k) {
            views.push_back(k == scalar_arg ? ArgView{nullptr, nans[k], 0}
                                            : ArgView{data[k].data(), 0.0, n});
        }
        for (const NodeList& tree : bodies) {
            const FlatProgram program = flatten(tree);
            std::vector<double> want(n), got(n), scratch;
            for (std::size_t i = 0; i < n; ++i) want[i] = eval_flat(program, i, views, scratch);
            BlockProgram(tree, views, set).bind(views).run(0, n, got.data());
            expect_same_bits(got, want, describe(tree), scalar_arg);
            if (HasFatalFailure()) return;
        }
    }
}

// Repeated subtrees are computed once, where every lane that reads them needs them; cheap
// branches blend. Counted in steps (a Select that splits its lanes adds three markers).
TEST(BlockInterpreter, SharesRepeatedSubtreesWhereEveryLaneNeedsThem) {
    const double data[] = {1.0, -2.0, 3.0, 0.0, -0.0, kNaN, -1.0, 2.0};
    constexpr std::size_t n = std::size(data);
    const ArgView views[] = {{data, 0.0, n}, {data, 0.0, n}};
    const auto log_x = [] { return un(UnaryOp::Log, arg(0)); };
    const auto positive = [] { return cmp(CompareOp::Gt, arg(0), cst(0.0)); };
    const struct {
        const char* what;
        NodeList body;
        std::size_t steps;
    } cases[] = {
        // sin once; the product and the sum as one step
        {"sin(x)*sin(x) + sin(x)",
         bin(BinaryOp::Add, bin(BinaryOp::Mul, un(UnaryOp::Sin, arg(0)), un(UnaryOp::Sin, arg(0))),
             un(UnaryOp::Sin, arg(0))),
         2},
        // in both branches of a split: once, before the split
        {"where(x > 0, log(x) + exp(x), log(x) * 2)",
         sel(positive(), bin(BinaryOp::Add, log_x(), un(UnaryOp::Exp, arg(0))),
             bin(BinaryOp::Mul, log_x(), cst(2.0))),
         8},
        // twice in one branch: once, in that branch
        {"where(x > 0, log(x) * log(x), 0)",
         sel(positive(), bin(BinaryOp::Mul, log_x(), log_x()), cst(0.0)), 7},
        // in a branch and after the Select: once, before it
        {"where(x > 0, log(x), y) + log(x)",
         bin(BinaryOp::Add, sel(positive(), log_x(), arg(1)), log_x()), 8},
        // cheap branches: both over the whole block, then one blend
        {"where(x > 0, x * 2, -x)",
         sel(positive(), bin(BinaryOp::Mul, arg(0), cst(2.0)), un(UnaryOp::Neg, arg(0))), 4},
        // a math-library call in both branches is computed for every lane anyway: blended
        {"where(x > 0, 1 - log(x), log(x))",
         sel(positive(), bin(BinaryOp::Sub, cst(1.0), log_x()), log_x()), 4},
        // clamping from both sides: one step; from one side twice: two
        {"where(x < -1, -1, where(x >= 2, 2, x))",
         sel(cmp(CompareOp::Lt, arg(0), cst(-1.0)), cst(-1.0),
             sel(cmp(CompareOp::Ge, arg(0), cst(2.0)), cst(2.0), arg(0))),
         1},
        // bounded by min and max, the inner one on either side: one step
        {"min(max(x, -1), 2)", bin(BinaryOp::Min, bin(BinaryOp::Max, arg(0), cst(-1.0)), cst(2.0)),
         1},
        {"max(-1, min(2, x))", bin(BinaryOp::Max, cst(-1.0), bin(BinaryOp::Min, cst(2.0), arg(0))),
         1},
        {"min(max(x, -0.0), 0.0)",
         bin(BinaryOp::Min, bin(BinaryOp::Max, arg(0), cst(-0.0)), cst(0.0)), 1},
        {"max(-0.0, min(0.0, x))",
         bin(BinaryOp::Max, cst(-0.0), bin(BinaryOp::Min, cst(0.0), arg(0))), 1},
        {"where(x < -1, -1, where(x < 2, 2, x))",
         sel(cmp(CompareOp::Lt, arg(0), cst(-1.0)), cst(-1.0),
             sel(cmp(CompareOp::Lt, arg(0), cst(2.0)), cst(2.0), arg(0))),
         2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BlockProgram(c.body, views).step_count(), c.steps) << c.what;
        std::vector<double> got(n), want(n);
        TreeScratch scratch;
        BlockProgram(c.body, views).bind(views).run(0, n, got.data());
        for (std::size_t i = 0; i < n; ++i) want[i] = eval_tree(c.body, i, views, scratch);
        expect_same_bits(got, want, c.what, 0);
    }
}

// A split Select (w) hoisted before an outer split, and emitted again inside another subtree
// hoisted there (s, which reads it in a branch): the second pass must compute its branches
// afresh, not read what the first pass left for other lanes.
TEST(BlockInterpreter, ASelectEmittedTwiceDoesNotReuseItsOtherPassesBranches) {
    const double x[] = {-0.0, 4.0, -0.0, 0.25}, y[] = {kNaN, 1.0, 2.0, kNaN},
                 z[] = {0.5, 0.5, -1.0, 3.0};
    constexpr std::size_t n = std::size(x);
    const ArgView views[] = {{x, 0.0, n}, {y, 0.0, n}, {z, 0.0, n}};
    const auto w = [] {
        return sel(bin(BinaryOp::Pow, arg(0), cst(-0.5)),
                   un(UnaryOp::Ceil, un(UnaryOp::Log2, un(UnaryOp::Sin, arg(2)))), arg(2));
    };
    const auto s = [&] { return sel(cst(1.0), bin(BinaryOp::Mul, arg(0), arg(1)), w()); };
    const auto neg_x = [] { return un(UnaryOp::Neg, arg(0)); };
    // where(sqrt(-x), where(0, x, s), -x) > max(w, s)
    const NodeList body =
        cmp(CompareOp::Gt, sel(un(UnaryOp::Sqrt, neg_x()), sel(cst(0.0), arg(0), s()), neg_x()),
            bin(BinaryOp::Max, w(), s()));
    for (LoopSet set : supported_loop_sets()) {
        std::vector<double> got(n), want(n);
        BlockProgram(body, views, set).bind(views).run(0, n, got.data());
        TreeScratch scratch;
        for (std::size_t i = 0; i < n; ++i) want[i] = eval_tree(body, i, views, scratch);
        expect_same_bits(got, want, "hoisted twice", 0);
    }
}

TEST(BlockInterpreter, RefusesReadsPastABuffer) {
    const double data[] = {1.0, 2.0};
    const ArgView view{data, 0.0, 2};
    const BlockProgram p(un(UnaryOp::Neg, arg(0)), {&view, 1});
    double out[3];
    EXPECT_THROW(p.bind({&view, 1}).run(0, 3, out), Fault);
    EXPECT_THROW(BlockProgram(arg(1), {&view, 1}), Fault);
}

}  // namespace
}  // namespace qv
