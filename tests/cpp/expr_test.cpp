#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <thread>

#include "ir/expr.hpp"

namespace qv {
namespace {

// An unnamed expression over fixed ids, as operators would leave it.
ExprValue arg_with_id(std::uint64_t id, std::string name) {
    return ExprValue{std::nullopt, {arg_node(id)}, {{id, std::move(name)}}};
}

TEST(FloatText, Table) {
    const std::pair<double, const char*> cases[] = {
        {1.0, "1.0"},
        {0.5, "0.5"},
        {-2.0, "-2.0"},
        {0.0001, "0.0001"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1234.5, "1234.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1e16, "1e16"},
        {1.5e16, "1.5e16"},
        {-1.5e16, "-1.5e16"},
        {1e-5, "1e-5"},
        {2.5e-7, "2.5e-7"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e15, "1000000000000000.0"},
        {0.00009999, "9.999e-5"},
        {1.1805916207174113e21, "1.1805916207174113e21"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const auto& [v, text] : cases) EXPECT_EQ(float_text(v), text) << text;
}

// Every finite double reads back bit-exact from its text, over all exponent ranges.
TEST(FloatText, RoundTripsRandomBitPatterns) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v)) continue;
        std::string text = float_text(v);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
                  std::bit_cast<std::uint64_t>(v))
            << text;
        ASSERT_EQ(text.find('+'), std::string::npos) << text;
    }
}

TEST(Expr, NewArgTakesFreshIds) {
    ExprValue a = new_arg("x");
    ExprValue b = new_arg("x");
    ASSERT_EQ(a.nodes.size(), 1u);
    EXPECT_GT(b.nodes[0].bits, a.nodes[0].bits);
    EXPECT_EQ(a.temp_args, (TempArgs{{a.nodes[0].bits, "x"}}));
    EXPECT_EQ(expr_repr(a), "Expr(x)");
    ExprValue sum = make_binary(BinaryOp::Add, a, b);
    EXPECT_EQ(sum.temp_args.size(), 2u);
    EXPECT_FALSE(sum.name.has_value());
}

TEST(Expr, ReprShapes) {
    ExprValue x = arg_with_id(0, "x");
    ExprValue a = arg_with_id(0, "a");
    const std::pair<ExprValue, const char*> cases[] = {
        {make_binary(BinaryOp::Add, x, Operand(1.0)), "Expr(Binary(Add, ArgRef(0), Const(1.0)))"},
        {make_binary(BinaryOp::Sub, Operand(2.0), x), "Expr(Binary(Sub, Const(2.0), ArgRef(0)))"},
        {make_select(make_compare(CompareOp::Gt, x, Operand(0.0)), x, make_unary(UnaryOp::Neg, x)),
         "Expr(Select(Compare(Gt, ArgRef(0), Const(0.0)), ArgRef(0), Unary(Neg, ArgRef(0))))"},
        {make_binary(BinaryOp::Mul, a, Operand(1e16)), "Expr(Binary(Mul, ArgRef(0), Const(1e16)))"},
        {make_binary(BinaryOp::Atan2, make_unary(UnaryOp::Log10, a), Operand(-0.0)),
         "Expr(Binary(Atan2, Unary(Log10, ArgRef(0)), Const(-0.0)))"},
        {make_compare(CompareOp::Ne, Operand(std::nan("")), make_binary(BinaryOp::Max, a, a)),
         "Expr(Compare(Ne, Const(NaN), Binary(Max, ArgRef(0), ArgRef(0))))"},
        {arg_with_id(18446744073709551615u, "y"), "Expr(ArgRef(18446744073709551615))"},
    };
    for (const auto& [e, text] : cases) EXPECT_EQ(expr_repr(e), text);
}

TEST(Expr, OperandsAreCopiedAndUnchanged) {
    ExprValue x = new_arg("x");
    ExprValue before = x;
    ExprValue e = make_binary(BinaryOp::Add, x, x);
    EXPECT_EQ(x, before);
    ASSERT_EQ(e.nodes.size(), 3u);
    EXPECT_EQ(e.nodes[2].size, 3u);
    EXPECT_EQ(e.temp_args.size(), 1u);
}

TEST(Expr, MergeTempArgsLaterWins) {
    struct Case {
        TempArgs a, b, want;
    };
    const Case cases[] = {
        {{}, {}, {}},
        {{{1, "a"}}, {}, {{1, "a"}}},
        {{}, {{1, "a"}}, {{1, "a"}}},
        {{{1, "a"}, {5, "e"}}, {{3, "c"}, {9, "i"}}, {{1, "a"}, {3, "c"}, {5, "e"}, {9, "i"}}},
        {{{1, "a"}, {2, "b"}}, {{2, "B"}, {3, "c"}}, {{1, "a"}, {2, "B"}, {3, "c"}}},
        {{{7, "x"}}, {{7, "y"}}, {{7, "y"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(merge_temp_args(c.a, c.b), c.want);
}

TEST(Expr, SelectMergesInOrderAndConstantsContributeNothing) {
    ExprValue c = arg_with_id(4, "c");
    ExprValue t = arg_with_id(4, "t");
    ExprValue f = arg_with_id(4, "f");
    EXPECT_EQ(make_select(c, t, f).temp_args, (TempArgs{{4, "f"}}));
    EXPECT_EQ(make_select(c, Operand(1.0), Operand(2.0)).temp_args, c.temp_args);
}

TEST(Expr, ReferencedArgsDistinctAscending) {
    ExprValue e = make_binary(BinaryOp::Add, arg_with_id(7, "x"),
                              make_binary(BinaryOp::Mul, arg_with_id(2, "y"), arg_with_id(7, "x")));
    EXPECT_EQ(referenced_args(e.nodes), (std::vector<std::uint64_t>{2, 7}));
    EXPECT_TRUE(referenced_args(NodeList{const_node(1.0)}).empty());
}

TEST(Expr, RewriteArgs) {
    ExprValue a = arg_with_id(0, "a");
    ExprValue b = arg_with_id(1, "b");
    ExprValue sum = make_binary(BinaryOp::Add, a, b);

    ExprValue merged = rewrite_args(sum, {{0, 1}});
    EXPECT_EQ(expr_repr(merged), "Expr(Binary(Add, ArgRef(1), ArgRef(1)))");
    EXPECT_EQ(merged.temp_args, (TempArgs{{1, "b"}}));

    // Swapped ids: both entries survive, re-sorted.
    ExprValue swapped = rewrite_args(sum, {{0, 1}, {1, 0}});
    EXPECT_EQ(expr_repr(swapped), "Expr(Binary(Add, ArgRef(1), ArgRef(0)))");
    EXPECT_EQ(swapped.temp_args, (TempArgs{{0, "b"}, {1, "a"}}));

    // Greatest old id wins even when it maps onto an id that stays.
    EXPECT_EQ(rewrite_args(sum, {{1, 0}}).temp_args, (TempArgs{{0, "b"}}));

    EXPECT_EQ(rewrite_args(sum, {{5, 6}}), sum);
    EXPECT_EQ(rewrite_args(sum, {}), sum);

    ExprValue x = new_arg("x");
    ExprValue moved = rewrite_args(x, {{x.nodes[0].bits, 9}});
    EXPECT_EQ(expr_repr(moved), "Expr(x)");
    EXPECT_EQ(moved.temp_args, (TempArgs{{9, "x"}}));
    EXPECT_EQ(referenced_args(moved.nodes), (std::vector<std::uint64_t>{9}));
}

// Keys of temp_args equal the tree's ArgRef ids after any sequence of constructions.
TEST(Expr, TempArgsMatchTreeAfterRandomConstructions) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 50; ++round) {
        std::vector<ExprValue> pool;
        for (int i = 0; i < 4; ++i)
            pool.push_back(new_arg(std::string(1, static_cast<char>('a' + i))));
        for (int step = 0; step < 40; ++step) {
            auto pick = [&]() -> const ExprValue& { return pool[rng() % pool.size()]; };
            Operand k(static_cast<double>(rng() % 7));
            switch (rng() % 6) {
                case 0:
                    pool.push_back(make_unary(static_cast<UnaryOp>(rng() % kUnaryOpCount), pick()));
                    break;
                case 1:
                    pool.push_back(
                        make_binary(static_cast<BinaryOp>(rng() % kBinaryOpCount), pick(), pick()));
                    break;
                case 2:
                    pool.push_back(
                        make_compare(static_cast<CompareOp>(rng() % kCompareOpCount), k, pick()));
                    break;
                case 3: pool.push_back(make_select(pick(), k, pick())); break;
                case 4: pool.push_back(rewrite_args(pick(), {{rng() % 8, rng() % 8}})); break;
                default: pool.push_back(make_binary(BinaryOp::Add, pick(), k)); break;
            }
        }
        for (const ExprValue& e : pool) {
            std::vector<std::uint64_t> keys;
            for (const auto& [id, name] : e.temp_args) keys.push_back(id);
            ASSERT_TRUE(std::is_sorted(keys.begin(), keys.end()));
            ASSERT_EQ(keys, referenced_args(e.nodes));
            ASSERT_EQ(e.nodes.back().size, e.nodes.size());
        }
    }
}

TEST(Expr, TempIdsUniqueAcrossThreads) {
    constexpr int kThreads = 8, kEach = 5000;
    std::vector<std::vector<std::uint64_t>> taken(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) taken[t].push_back(take_temp_id());
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::uint64_t> all;
    for (const auto& v : taken) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
}

// The chain x + 1, -(x + 1), -(x + 1) + 1, ... laid out directly, in linear time.
ExprValue deep_chain(int depth) {
    ExprValue e{std::nullopt, {arg_node(3)}, {{3, "x"}}};
    for (int i = 0; i < depth; ++i) {
        auto size = static_cast<std::uint32_t>(e.nodes.size());
        if (i % 2) {
            e.nodes.push_back(
                Node{NodeTag::Unary, static_cast<std::uint8_t>(UnaryOp::Neg), size + 1, 0});
        } else {
            e.nodes.push_back(const_node(1.0));
            e.nodes.push_back(
                Node{NodeTag::Binary, static_cast<std::uint8_t>(BinaryOp::Add), size + 2, 0});
        }
    }
    return e;
}

TEST(Expr, OperatorsBuildDeepChains) {
    ExprValue e = arg_with_id(3, "x");
    for (int i = 0; i < 10000; ++i) {
        e = (i % 2) ? make_unary(UnaryOp::Neg, e) : make_binary(BinaryOp::Add, e, Operand(1.0));
    }
    EXPECT_EQ(e, deep_chain(10000));
}

class DeepExpr : public ::testing::TestWithParam<int> {};

// Deep trees: copying, repr, discovery and rewriting walk no C stack.
TEST_P(DeepExpr, WalksWork) {
    const int depth = GetParam();
    ExprValue e = deep_chain(depth);
    ExprValue copy = e;
    EXPECT_EQ(copy, e);
    std::string text = expr_repr(e);
    std::size_t adds = static_cast<std::size_t>((depth + 1) / 2);
    std::size_t negs = static_cast<std::size_t>(depth / 2);
    EXPECT_EQ(std::count(text.begin(), text.end(), '('),
              static_cast<std::ptrdiff_t>(1 + 2 * adds + negs + 1));
    EXPECT_EQ(text.rfind("Expr(Unary(Neg, Binary(Add, Unary(Neg, Binary(Add, ", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 13), "Const(1.0))))");
    EXPECT_EQ(referenced_args(e.nodes), (std::vector<std::uint64_t>{3}));
    ExprValue r = rewrite_args(e, {{3, 8}});
    EXPECT_EQ(referenced_args(r.nodes), (std::vector<std::uint64_t>{8}));
    EXPECT_EQ(r.temp_args, (TempArgs{{8, "x"}}));
}
INSTANTIATE_TEST_SUITE_P(Depths, DeepExpr, ::testing::Values(10000, 100000));

}  // namespace
}  // namespace qv
