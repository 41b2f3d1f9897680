#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/fault.hpp"
#include "ir/flat.hpp"
#include "ir/scalar_ops.hpp"
#include "reference/interpreters.hpp"
#include "tree_builder.hpp"

namespace qv {
namespace {

using namespace qv::test;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

double run(const NodeList& tree, std::vector<ArgView> args = {}, std::size_t index = 0) {
    std::vector<double> scratch;
    return eval_flat(flatten(tree), index, args, scratch);
}

ArgView scalar(double v) { return ArgView{nullptr, v, 0}; }

struct UnaryCase {
    UnaryOp op;
    double x;
    double expected;
};

TEST(FlatOps, UnaryResultsBitForBit) {
    const UnaryCase cases[] = {
        {UnaryOp::Neg, 0.0, -0.0},       {UnaryOp::Neg, -0.0, 0.0},
        {UnaryOp::Abs, -0.0, 0.0},       {UnaryOp::Abs, -kInf, kInf},
        {UnaryOp::Sqrt, -0.0, -0.0},     {UnaryOp::Sqrt, 4.0, 2.0},
        {UnaryOp::Log, 0.0, -kInf},      {UnaryOp::Exp, 0.0, 1.0},
        {UnaryOp::Log2, 8.0, 3.0},       {UnaryOp::Log10, 1000.0, 3.0},
        {UnaryOp::Floor, -0.5, -1.0},    {UnaryOp::Floor, 0.5, 0.0},
        {UnaryOp::Floor, -0.0, -0.0},    {UnaryOp::Floor, -2.5, -3.0},
        {UnaryOp::Floor, 3.0, 3.0},      {UnaryOp::Floor, 5e-324, 0.0},
        {UnaryOp::Floor, -5e-324, -1.0}, {UnaryOp::Floor, 4503599627370495.5, 4503599627370495.0},
        {UnaryOp::Ceil, -0.5, -0.0},     {UnaryOp::Ceil, 0.5, 1.0},
        {UnaryOp::Ceil, -2.5, -2.0},     {UnaryOp::Ceil, 2.25, 3.0},
        {UnaryOp::Ceil, 0.0, 0.0},       {UnaryOp::Ceil, -4503599627370495.5, -4503599627370495.0},
        {UnaryOp::Round, 0.5, 1.0},      {UnaryOp::Round, -2.5, -3.0},
        {UnaryOp::Round, -0.4, -0.0},    {UnaryOp::Round, 0.49999999999999994, 0.0},
        {UnaryOp::Round, 2.5, 3.0},      {UnaryOp::Round, 2.4999999999999996, 2.0},
        {UnaryOp::Round, -0.5, -1.0},    {UnaryOp::Round, 4503599627370495.5, 4503599627370496.0},
        {UnaryOp::Round, 1e300, 1e300},  {UnaryOp::Round, -kInf, -kInf},
        {UnaryOp::Sin, 0.0, 0.0},        {UnaryOp::Cos, 0.0, 1.0},
        {UnaryOp::Tan, -0.0, -0.0},
    };
    for (const UnaryCase& c : cases) {
        EXPECT_EQ(bits(run(un(c.op, arg(0)), {scalar(c.x)})), bits(c.expected))
            << "op " << int(c.op) << " of " << c.x;
    }
}

TEST(FlatOps, NaNPassesThroughSignAndRounding) {
    const double negative_nan = -kNaN;
    for (UnaryOp op : {UnaryOp::Floor, UnaryOp::Ceil, UnaryOp::Round, UnaryOp::Abs}) {
        EXPECT_TRUE(std::isnan(run(un(op, arg(0)), {scalar(kNaN)})));
    }
    EXPECT_EQ(bits(run(un(UnaryOp::Neg, arg(0)), {scalar(kNaN)})), bits(negative_nan));
    EXPECT_EQ(bits(run(un(UnaryOp::Abs, arg(0)), {scalar(negative_nan)})), bits(kNaN));
    EXPECT_TRUE(std::isnan(run(un(UnaryOp::Sqrt, cst(-1.0)))));
    EXPECT_TRUE(std::isnan(run(un(UnaryOp::Log, cst(-1.0)))));
}

// The bit-level rounding must agree with the library (default rounding mode) and with the
// documented add-and-truncate rule on every finite value.
TEST(FlatOps, RoundingMatchesReferenceOnRandomValues) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> exp_dist(-60, 60);
    for (int i = 0; i < 200000; ++i) {
        double x =
            std::ldexp(std::bit_cast<double>((rng() >> 12) | 0x3ff0000000000000ull), exp_dist(rng));
        if (rng() & 1) x = -x;
        if (i % 17 == 0) x = std::round(x * 4) / 4;  // many exact halves and quarters
        ASSERT_EQ(bits(op_floor(x)), bits(std::floor(x))) << x;
        ASSERT_EQ(bits(op_ceil(x)), bits(std::ceil(x))) << x;
        ASSERT_EQ(bits(op_round(x)), bits(std::round(x))) << x;
        if (std::fabs(x) < 4503599627370496.0) {
            ASSERT_EQ(bits(op_round(x)),
                      bits(std::trunc(x + std::copysign(0.49999999999999994, x))))
                << x;
        }
    }
}

// The bit-level rounding must not follow the current rounding mode.
TEST(FlatOps, RoundingIgnoresTheRoundingMode) {
    const double inputs[] = {
        0.5,       -0.5, 2.5, -2.5, 0.49999999999999994, 1.0000000000000002, -4503599627370495.5,
        123456.75, -0.0};
    std::vector<double> expected;
    for (double x : inputs) {
        for (double v : {op_floor(x), op_ceil(x), op_round(x)}) expected.push_back(v);
    }
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        std::vector<double> got;
        for (double x : inputs) {
            volatile double vx = x;
            for (double v : {op_floor(vx), op_ceil(vx), op_round(vx)}) got.push_back(v);
        }
        std::fesetround(FE_TONEAREST);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(bits(got[i]), bits(expected[i])) << "mode " << mode << ", case " << i;
        }
    }
}

struct BinaryCase {
    BinaryOp op;
    double l, r, expected;
};

TEST(FlatOps, BinaryResultsBitForBit) {
    const BinaryCase cases[] = {
        {BinaryOp::Add, -0.0, -0.0, -0.0},
        {BinaryOp::Add, 0.0, -0.0, 0.0},
        {BinaryOp::Sub, 0.0, 0.0, 0.0},
        {BinaryOp::Mul, -1.0, 0.0, -0.0},
        {BinaryOp::Div, 1.0, 0.0, kInf},
        {BinaryOp::Div, -1.0, 0.0, -kInf},
        {BinaryOp::Pow, 2.0, 10.0, 1024.0},
        {BinaryOp::Pow, kNaN, 0.0, 1.0},
        {BinaryOp::Atan2, 0.0, -1.0, std::atan2(0.0, -1.0)},
        {BinaryOp::Atan2, 1.0, 0.0, std::atan2(1.0, 0.0)},
        {BinaryOp::Min, kNaN, 3.0, 3.0},
        {BinaryOp::Min, 3.0, kNaN, 3.0},
        {BinaryOp::Min, 0.0, -0.0, 0.0},
        {BinaryOp::Min, -0.0, 0.0, -0.0},
        {BinaryOp::Min, 2.0, 1.0, 1.0},
        {BinaryOp::Max, kNaN, 3.0, 3.0},
        {BinaryOp::Max, 3.0, kNaN, 3.0},
        {BinaryOp::Max, 0.0, -0.0, 0.0},
        {BinaryOp::Max, -0.0, 0.0, -0.0},
        {BinaryOp::Max, 1.0, 2.0, 2.0},
    };
    for (const BinaryCase& c : cases) {
        EXPECT_EQ(bits(run(bin(c.op, arg(0), arg(1)), {scalar(c.l), scalar(c.r)})),
                  bits(c.expected))
            << "op " << int(c.op) << " of " << c.l << ", " << c.r;
    }
    EXPECT_TRUE(std::isnan(run(bin(BinaryOp::Min, cst(kNaN), cst(kNaN)))));
    EXPECT_TRUE(std::isnan(run(bin(BinaryOp::Max, cst(kNaN), cst(kNaN)))));
    EXPECT_TRUE(std::isnan(run(bin(BinaryOp::Div, cst(0.0), cst(0.0)))));
}

TEST(FlatOps, ComparisonsGiveOneOrZero) {
    struct Case {
        CompareOp op;
        double l, r, expected;
    };
    const Case cases[] = {
        {CompareOp::Gt, 2.0, 1.0, 1.0},   {CompareOp::Gt, 1.0, 1.0, 0.0},
        {CompareOp::Ge, 1.0, 1.0, 1.0},   {CompareOp::Ge, 1.0, kNaN, 0.0},
        {CompareOp::Lt, -kInf, 0.0, 1.0}, {CompareOp::Lt, kNaN, 0.0, 0.0},
        {CompareOp::Le, -0.0, 0.0, 1.0},  {CompareOp::Le, 2.0, 1.0, 0.0},
        {CompareOp::Eq, 0.0, -0.0, 1.0},  {CompareOp::Eq, kNaN, kNaN, 0.0},
        {CompareOp::Ne, kNaN, kNaN, 1.0}, {CompareOp::Ne, 0.0, -0.0, 0.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bits(run(cmp(c.op, arg(0), arg(1)), {scalar(c.l), scalar(c.r)})),
                  bits(c.expected))
            << "op " << int(c.op) << " of " << c.l << ", " << c.r;
    }
}

TEST(Flatten, InstructionsAndDepth) {
    const FlatProgram leaf = flatten(arg(0));
    ASSERT_EQ(leaf.instructions.size(), 1u);
    EXPECT_EQ(leaf.instructions[0].kind, FlatKind::Arg);
    EXPECT_EQ(leaf.max_depth, 1u);
    EXPECT_EQ(flatten(cst(2.0)).max_depth, 1u);

    // a + b * c: three values wait on the stack; (a * b) + c needs two.
    const FlatProgram right =
        flatten(bin(BinaryOp::Add, arg(0), bin(BinaryOp::Mul, arg(1), arg(2))));
    EXPECT_EQ(right.max_depth, 3u);
    const FlatKind kinds[] = {FlatKind::Arg, FlatKind::Arg, FlatKind::Arg, FlatKind::Binary,
                              FlatKind::Binary};
    const std::uint64_t values[] = {0, 1, 2, 0, 0};
    const std::uint8_t ops[] = {0, 0, 0, std::uint8_t(BinaryOp::Mul), std::uint8_t(BinaryOp::Add)};
    ASSERT_EQ(right.instructions.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(right.instructions[i].kind, kinds[i]) << i;
        EXPECT_EQ(right.instructions[i].value, values[i]) << i;
        EXPECT_EQ(right.instructions[i].op, ops[i]) << i;
    }
    EXPECT_EQ(flatten(bin(BinaryOp::Add, bin(BinaryOp::Mul, arg(0), arg(1)), arg(2))).max_depth,
              2u);

    NodeList chain = arg(0);
    for (int i = 0; i < 1000; ++i) chain = un(UnaryOp::Neg, std::move(chain));
    EXPECT_EQ(flatten(chain).max_depth, 1u);
    EXPECT_EQ(flatten(chain).instructions.size(), 1001u);

    const FlatProgram c = flatten(cmp(CompareOp::Lt, cst(-0.0), un(UnaryOp::Sin, arg(3))));
    EXPECT_EQ(c.instructions[0].value, bits(-0.0));
    EXPECT_EQ(c.instructions[3].kind, FlatKind::Compare);
    EXPECT_EQ(c.max_depth, 2u);
}

TEST(Flatten, DeepRightChainWithoutRecursion) {
    const NodeList tree = right_deep_sum(100000);
    const FlatProgram p = flatten(tree);
    EXPECT_EQ(p.max_depth, 100001u);
    std::vector<double> scratch;
    const ArgView x = scalar(0.5);
    EXPECT_EQ(eval_flat(p, 0, {&x, 1}, scratch), 100000.5);
}

TEST(Flatten, SelectIsABrokenInvariant) {
    EXPECT_TRUE(contains_select(bin(BinaryOp::Add, arg(0), sel(arg(0), cst(1), cst(2)))));
    EXPECT_FALSE(contains_select(bin(BinaryOp::Add, arg(0), un(UnaryOp::Neg, cst(2)))));
    try {
        (void)flatten(un(UnaryOp::Abs, sel(arg(0), cst(1), cst(2))));
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.text(),
                  "internal error: entered unreachable code: Select nodes must be handled by "
                  "the lazy tree evaluator");
    }
}

TEST(EvalFlat, ReadsBuffersAtTheIndexAndRefusesBrokenInvariants) {
    const double data[] = {1.0, 2.0, 3.0};
    const std::vector<ArgView> args = {ArgView{data, 0.0, 3}, scalar(10.0)};
    const NodeList tree = bin(BinaryOp::Mul, arg(0), arg(1));
    EXPECT_EQ(run(tree, args, 2), 30.0);
    EXPECT_THROW(run(tree, args, 3), Fault);
    EXPECT_THROW(run(bin(BinaryOp::Add, arg(0), arg(2)), args), Fault);
    FlatProgram underflow{{FlatOp{FlatKind::Binary, 0, 0}}, 1};
    std::vector<double> scratch;
    EXPECT_THROW(eval_flat(underflow, 0, args, scratch), Fault);
    EXPECT_THROW(eval_flat(FlatProgram{}, 0, args, scratch), Fault);
}

}  // namespace
}  // namespace qv
