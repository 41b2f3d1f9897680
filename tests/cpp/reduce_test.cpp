#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/fault.hpp"
#include "exec/reduce.hpp"

namespace qv {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double reduced(std::vector<double> values, ReduceOp op) {
    const BufferRef b = from_f64_vec(F64Vec(values.begin(), values.end()));
    Result<double> r = reduce(*b, op);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value() : 0.0;
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(Reduce, ExactResults) {
    struct Case {
        std::vector<double> input;
        ReduceOp op;
        double expected;
    };
    const Case cases[] = {
        {{-0.0}, ReduceOp::Sum, -0.0},
        {{0.0}, ReduceOp::Sum, 0.0},
        {{-0.0, -0.0}, ReduceOp::Sum, -0.0},
        {{1e308, 1e308, -1e308}, ReduceOp::Sum, kInf},
        {{1.0, 1e100, -1e100}, ReduceOp::Sum, 0.0},
        {{1, 2, 3, 4}, ReduceOp::Mean, 2.5},
        {{-0.0, 0.0}, ReduceOp::Min, -0.0},
        {{0.0, -0.0}, ReduceOp::Min, 0.0},
        {{-0.0, 0.0}, ReduceOp::Max, -0.0},
        {{0.0, -0.0}, ReduceOp::Max, 0.0},
        {{kInf}, ReduceOp::Min, kInf},
        {{-kInf}, ReduceOp::Max, -kInf},
        {{3, -2, 7, -2}, ReduceOp::Min, -2},
        {{3, -2, 7, 7}, ReduceOp::Max, 7},
        {{5, 6, 7}, ReduceOp::Count, 3},
        {{1, 2, 3, 4}, ReduceOp::Variance, 1.25},
        {{1, 2, 3, 4}, ReduceOp::Std, std::sqrt(1.25)},
        {{2, 2}, ReduceOp::Std, 0.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bits(reduced(c.input, c.op)), bits(c.expected)) << reduce_op_name(c.op);
    }
}

TEST(Reduce, NaNPropagates) {
    EXPECT_TRUE(std::isnan(reduced({3, kNaN, 1}, ReduceOp::Min)));
    EXPECT_TRUE(std::isnan(reduced({kNaN, 5}, ReduceOp::Max)));
    EXPECT_TRUE(std::isnan(reduced({-kInf, 1, kNaN}, ReduceOp::Max)));
    EXPECT_TRUE(std::isnan(reduced({1, kNaN}, ReduceOp::Sum)));
    EXPECT_TRUE(std::isnan(reduced({kInf, 1}, ReduceOp::Variance)));
    EXPECT_EQ(reduced({1, kNaN, 2}, ReduceOp::Count), 3.0);
}

// A sum is a chain of additions whose left operand is the running total, so the first NaN in
// order is the one that comes out, whatever NaN follows it.
TEST(Reduce, SumsCarryTheFirstNaN) {
    for (std::size_t n = 2; n <= 20; ++n) {
        for (std::size_t first = 0; first + 1 < n; ++first) {
            for (std::size_t second = first + 1; second < n; ++second) {
                for (double sign : {1.0, -1.0}) {
                    std::vector<double> xs(n, 0.5);
                    xs[first] = std::copysign(kNaN, sign);
                    xs[second] = std::copysign(kNaN, -sign);
                    for (ReduceOp op : {ReduceOp::Sum, ReduceOp::Mean, ReduceOp::Variance}) {
                        EXPECT_EQ(bits(reduced(xs, op)), bits(xs[first]))
                            << reduce_op_name(op) << " n " << n << " NaNs at " << first << ", "
                            << second;
                    }
                }
            }
        }
    }
}

// The sequential rule, element by element, to check the vectorised extremes against.
double reference_extreme(const std::vector<double>& xs, bool is_min) {
    double running = is_min ? kInf : -kInf;
    for (double x : xs) {
        if (std::isnan(running) || std::isnan(x)) {
            running = kNaN;
        } else if (is_min ? x < running : x > running) {
            running = x;
        }
    }
    return running;
}

// Every length over a few vector widths, with a special value at every position: NaN, a new
// extreme, and zeros of both signs where the earliest one must win, also when it comes after
// other values and later zeros land in other lanes.
TEST(Reduce, ExtremesMatchTheSequentialRuleAtEveryPosition) {
    for (std::size_t n = 1; n <= 27; ++n) {
        for (std::size_t at = 0; at < n; ++at) {
            for (int pattern = 0; pattern < 7; ++pattern) {
                std::vector<double> xs(n);
                for (std::size_t i = 0; i < n; ++i) xs[i] = 1.0 + static_cast<double>((i * 7) % 5);
                switch (pattern) {
                    case 0: xs[at] = kNaN; break;
                    case 1: xs[at] = -3.0; break;
                    case 2: xs[at] = 9.0; break;
                    case 3:  // every value zero, one of them of the other sign
                        for (double& x : xs) x = 0.0;
                        xs[at] = -0.0;
                        break;
                    case 4:
                        for (double& x : xs) x = -0.0;
                        xs[at] = 0.0;
                        break;
                    case 5:
                    case 6:  // positive values, then a zero of one sign, then zeros of the other
                        for (std::size_t i = at; i < n; ++i)
                            xs[i] = (i == at) == (pattern == 5) ? -0.0 : 0.0;
                        break;
                }
                for (bool is_min : {true, false}) {
                    const double want = reference_extreme(xs, is_min);
                    const double got = reduced(xs, is_min ? ReduceOp::Min : ReduceOp::Max);
                    if (std::isnan(want)) {
                        EXPECT_TRUE(std::isnan(got)) << n << " " << at << " " << pattern;
                    } else {
                        EXPECT_EQ(bits(got), bits(want)) << n << " " << at << " " << pattern;
                    }
                }
            }
        }
    }
}

TEST(Reduce, EmptyBufferNamesTheOperation) {
    const BufferRef empty = from_f64_vec(F64Vec{});
    const char* names[] = {"Sum", "Mean", "Min", "Max", "Count", "Variance", "Std"};
    for (int op = 0; op < 7; ++op) {
        const Result<double> r = reduce(*empty, static_cast<ReduceOp>(op));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), EngineError::empty_collection(std::string("cannot ") + names[op] +
                                                           " empty buffer"));
    }
}

TEST(Reduce, ForeignDtypeIsAFault) {
    const BufferInner odd({2}, F64Vec(1), 8, DType::I32);
    EXPECT_THROW((void)reduce(odd, ReduceOp::Sum), Fault);
}

// A sum carried from chunk to chunk has the bits of the whole array's sum, at any cuts.
TEST(Reduce, SumCarriedOverChunksEqualsTheWholeSum) {
    std::vector<double> xs;
    for (int i = 0; i < 1000; ++i)
        xs.push_back(std::ldexp(1.0 + (i * 7919 % 1000) / 997.0, i % 60 - 30) * (i % 3 ? 1 : -1));
    const BufferInner whole(F64Vec(xs.begin(), xs.end()));
    const double expected = reduce(whole, ReduceOp::Sum).value();
    for (std::size_t step : {1u, 7u, 64u, 999u, 1000u}) {
        double carried = -0.0;
        for (std::size_t at = 0; at < xs.size(); at += step) {
            const std::size_t len = std::min(step, xs.size() - at);
            carried = sum_from(std::span<const double>(xs.data() + at, len), carried);
        }
        EXPECT_EQ(std::bit_cast<std::uint64_t>(carried), std::bit_cast<std::uint64_t>(expected))
            << step;
    }
    EXPECT_EQ(sum_from({}, 2.5), 2.5);
    EXPECT_TRUE(std::signbit(sum_from(std::vector<double>{-0.0}, -0.0)));
}

}  // namespace
}  // namespace qv
