#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "compiler/kernels.hpp"
#include "exec/block_program.hpp"
#include "exec/int_divisor.hpp"
#include "exec/loops.hpp"
#include "loop_set_params.hpp"
#include "tree_builder.hpp"

namespace qv {
namespace {

using namespace test;

// float32 operands, special values first, then random ones of every magnitude.
std::vector<float> column(std::uint32_t seed, std::size_t n) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> v = {0.0f,       -0.0f,   0.5f,
                            -2.5f,      1e-45f,  3e38f,
                            -inf,       inf,     std::numeric_limits<float>::quiet_NaN(),
                            88.8f,      -103.9f, 8388607.5f,
                            16777216.0f};
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<int> exponent(-20, 20);
    while (v.size() < n) v.push_back(std::ldexp(normal(gen), exponent(gen)));
    return v;
}

// Every operator over float32 (and float32 with float64 through a cast, a split Select, a bool
// condition) gives the same bits in every loop set the CPU runs as in the baseline set, at a
// length that leaves a tail.
class Float32LoopSets : public ::testing::TestWithParam<LoopSet> {};

TEST_P(Float32LoopSets, GiveTheBaselineBits) {
    QV_SKIP_UNLESS_CPU_RUNS(GetParam());
    constexpr std::size_t n = 1000;
    const std::vector<float> x = column(1, n), y = column(2, n);
    std::vector<double> z(n);
    for (std::size_t i = 0; i < n; ++i) z[i] = static_cast<double>(y[i]) * 1e-300;
    const ArgView views[] = {{x.data(), 0.0, n, ValueType::F32, false},
                             {y.data(), 0.0, n, ValueType::F32, false},
                             {z.data(), 0.0, n, ValueType::F64, false}};
    std::vector<NodeList> bodies;
    for (int op = 0; op < kUnaryOpCount; ++op) bodies.push_back(un(UnaryOp(op), arg(0)));
    for (int op = 0; op < kBinaryOpCount; ++op) {
        // complex() makes complex values, not float32 ones.
        if (BinaryOp(op) != BinaryOp::Complex) bodies.push_back(bin(BinaryOp(op), arg(0), arg(1)));
    }
    bodies.push_back(bin(BinaryOp::Add, bin(BinaryOp::Mul, arg(0), arg(1)), cst(0.1)));
    bodies.push_back(sel(arg(2), un(UnaryOp::Exp, arg(0)), un(UnaryOp::Log, arg(1))));
    bodies.push_back(sel(cmp(CompareOp::Gt, arg(0), arg(1)), arg(0), cst(2.5)));
    for (const NodeList& body : bodies) {
        std::vector<float> base(n), wide(n);
        const BlockProgram baseline(body, views, LoopSet::Baseline, Comparisons::Bool);
        const BlockProgram other(body, views, GetParam(), Comparisons::Bool);
        // Predicates answer bools; everything else stays float32.
        const ValueType type = baseline.output_type();
        ASSERT_TRUE(type == ValueType::F32 || type == ValueType::Bool);
        ASSERT_EQ(other.output_type(), type);
        baseline.bind(views).run(0, n, base.data());
        other.bind(views).run(0, n, wide.data());
        const std::size_t bytes = n * (type == ValueType::Bool ? sizeof(bool) : sizeof(float));
        EXPECT_EQ(std::memcmp(base.data(), wide.data(), bytes), 0)
            << "body with root tag " << int(body.back().tag) << " op " << int(body.back().op);
    }
}

INSTANTIATE_TEST_SUITE_P(ValueTypes, Float32LoopSets, kEveryLoopSet, loop_set_param_name);

// A condition of float64 that a float32 would round to zero still chooses.
TEST(ValueTypes, AConditionIsTestedInItsOwnType) {
    const double c[] = {1e-300, 0.0, -5e-324, std::numeric_limits<double>::quiet_NaN()};
    const float t[] = {1.0f, 1.0f, 1.0f, 1.0f}, f[] = {0.0f, 0.0f, 0.0f, 0.0f};
    const ArgView views[] = {{c, 0.0, 4, ValueType::F64, false},
                             {t, 0.0, 4, ValueType::F32, false},
                             {f, 0.0, 4, ValueType::F32, false}};
    float got[4];
    BlockProgram(sel(arg(0), arg(1), arg(2)), views).bind(views).run(0, 4, got);
    EXPECT_EQ(std::vector<float>(got, got + 4), (std::vector<float>{1.0f, 0.0f, 1.0f, 1.0f}));
}

// Formulas over int8, uint8, int16 and uint16 arrays, some of whose steps run on lanes of that
// width: in every loop set, the formula's values computed in int64 and cut to the result's
// width (or compared), over every pair of bytes, beside int32 operands and where a narrowed value
// is sign- or zero-extended for a reader that needs more.
struct NarrowCase {
    const char* name;
    NodeList body;
    ValueType types[3];
    std::optional<ValueType> store;
    std::int64_t (*value)(std::int64_t, std::int64_t, std::int64_t);
};

std::int64_t read_as(ValueType t, const std::byte* p) {
    switch (t) {
        case ValueType::I8: return *reinterpret_cast<const std::int8_t*>(p);
        case ValueType::U8: return *reinterpret_cast<const std::uint8_t*>(p);
        case ValueType::I16: return *reinterpret_cast<const std::int16_t*>(p);
        case ValueType::U16: return *reinterpret_cast<const std::uint16_t*>(p);
        default: return *reinterpret_cast<const std::int32_t*>(p);
    }
}

class NarrowLoopSets : public ::testing::TestWithParam<LoopSet> {};

TEST_P(NarrowLoopSets, GiveTheLowBitsOfInt64) {
    QV_SKIP_UNLESS_CPU_RUNS(GetParam());
    using B = BinaryOp;
    using V = ValueType;
    using I = std::int64_t;
    const NodeList sum = bin(B::Add, arg(0), arg(1));
    const NarrowCase cases[] = {
        {"a*b+c",
         bin(B::Add, bin(B::Mul, arg(0), arg(1)), arg(2)),
         {V::I8, V::I8, V::I8},
         V::I8,
         [](I a, I b, I c) { return a * b + c; }},
        {"(a-b)^~c",
         bin(B::BitwiseXor, bin(B::Sub, arg(0), arg(1)), un(UnaryOp::Invert, arg(2))),
         {V::U8, V::U8, V::U8},
         V::U8,
         [](I a, I b, I c) { return (a - b) ^ ~c; }},
        {"((a+b)&255)>>1",
         bin(B::RightShift, bin(B::BitwiseAnd, sum, icst(255)), icst(1)),
         {V::U8, V::U8, V::U8},
         V::U8,
         [](I a, I b, I) { return ((a + b) & 255) >> 1; }},
        {"(a*b<<24>>24)<c",
         cmp(CompareOp::Lt,
             bin(B::RightShift, bin(B::LeftShift, bin(B::Mul, arg(0), arg(1)), icst(24)), icst(24)),
             arg(2)),
         {V::I8, V::I8, V::I8},
         std::nullopt,
         [](I a, I b, I c) -> I { return static_cast<std::int8_t>(a * b) < c; }},
        {"-(a*300)+b",
         bin(B::Add, un(UnaryOp::Neg, bin(B::Mul, arg(0), icst(300))), arg(1)),
         {V::I8, V::I8, V::I8},
         V::I8,
         [](I a, I b, I) { return -(a * 300) + b; }},
        {"(a+b)*c, c int32",
         bin(B::Mul, sum, arg(2)),
         {V::I8, V::U8, V::I32},
         V::I8,
         [](I a, I b, I c) { return (a + b) * c; }},
        {"a*b-c",
         bin(B::Sub, bin(B::Mul, arg(0), arg(1)), arg(2)),
         {V::I16, V::I16, V::I16},
         V::I16,
         [](I a, I b, I c) { return a * b - c; }},
        {"square(a)+(b|c)",
         bin(B::Add, un(UnaryOp::Square, arg(0)), bin(B::BitwiseOr, arg(1), arg(2))),
         {V::U16, V::U16, V::U16},
         V::U16,
         [](I a, I b, I c) { return a * a + (b | c); }},
        {"a8*b16+c16",
         bin(B::Add, bin(B::Mul, arg(0), arg(1)), arg(2)),
         {V::I8, V::I16, V::I16},
         V::I16,
         [](I a, I b, I c) { return a * b + c; }},
    };
    // Every pair of low bytes in a and b; random high bytes and c.
    constexpr std::size_t n = 1 << 16;
    std::mt19937 gen(11);
    std::vector<std::uint32_t> columns[3];
    for (std::size_t i = 0; i < n; ++i) {
        columns[0].push_back(static_cast<std::uint32_t>(i & 0xFF) | (gen() & ~0xFFu));
        columns[1].push_back(static_cast<std::uint32_t>(i >> 8) | (gen() & ~0xFFu));
        columns[2].push_back(gen());
    }
    for (const NarrowCase& c : cases) {
        std::vector<std::byte> data[3];
        std::vector<ArgView> views;
        for (int k = 0; k < 3; ++k) {
            const std::size_t size = element_size(c.types[k]);
            data[k].resize(n * size);
            for (std::size_t i = 0; i < n; ++i)
                std::memcpy(data[k].data() + i * size, &columns[k][i], size);  // low bytes
            views.push_back(ArgView{data[k].data(), 0.0, n, c.types[k], false});
        }
        const BlockProgram program(c.body, views, GetParam(), Comparisons::Bool, c.store);
        const std::size_t size = element_size(program.output_type());
        std::vector<std::byte> got(n * size);
        program.bind(views).run(0, n, got.data());
        for (std::size_t i = 0; i < n; ++i) {
            I operand[3];
            for (int k = 0; k < 3; ++k)
                operand[k] = read_as(c.types[k], data[k].data() + i * element_size(c.types[k]));
            const I want = c.value(operand[0], operand[1], operand[2]);
            ASSERT_EQ(std::memcmp(got.data() + i * size, &want, size), 0)
                << c.name << " at " << operand[0] << ", " << operand[1] << ", " << operand[2];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ValueTypes, NarrowLoopSets, kEveryLoopSet, loop_set_param_name);

// float16 arrays are widened as loaded and rounded as stored, in every loop set: every half
// comes back with its bits (NaN payloads too), and float32 values round to nearest even,
// through subnormals, up to infinity past the largest half's midpoint.
class HalfLoopSets : public ::testing::TestWithParam<LoopSet> {};

TEST_P(HalfLoopSets, RoundTripAndRoundToNearestEven) {
    QV_SKIP_UNLESS_CPU_RUNS(GetParam());
    constexpr std::size_t n = 1 << 16;
    std::vector<std::uint16_t> halves(n), back(n);
    for (std::size_t i = 0; i < n; ++i) halves[i] = static_cast<std::uint16_t>(i);
    const ArgView half_view[] = {{halves.data(), 0.0, n, ValueType::F16, false}};
    const BlockProgram round_trip(arg(0), half_view, GetParam(), Comparisons::Bool, ValueType::F16);
    ASSERT_EQ(round_trip.output_type(), ValueType::F16);
    round_trip.bind(half_view).run(0, n, back.data());
    EXPECT_EQ(halves, back);

    const float inf = std::numeric_limits<float>::infinity();
    auto bits = [](std::uint32_t b) { return std::bit_cast<float>(b); };
    // (float32, its half): ties to even, neighbours of ties, subnormals, overflow, NaNs.
    const std::pair<float, std::uint16_t> cases[] = {
        {1.0f, 0x3c00},
        {1.0f + 0x1p-11f, 0x3c00},
        {1.0f + 0x3p-11f, 0x3c02},
        {bits(0x3f801001), 0x3c01},
        {bits(0x3f800fff), 0x3c00},
        {65504.0f, 0x7bff},
        {65519.996f, 0x7bff},
        {65520.0f, 0x7c00},
        {-1e30f, 0xfc00},
        {0x1p-24f, 0x0001},
        {0x1p-25f, 0x0000},
        {bits(0x33000001), 0x0001},
        {0x3p-25f, 0x0002},
        {0x1p-14f - 0x1p-25f, 0x0400},
        {-0.0f, 0x8000},
        {inf, 0x7c00},
        {bits(0x7f800001), 0x7c01},
        {bits(0xffc00000), 0xfe00},
    };
    std::vector<float> x;
    for (const auto& c : cases) x.push_back(c.first);
    std::vector<std::uint16_t> got(x.size());
    const ArgView float_view[] = {{x.data(), 0.0, x.size(), ValueType::F32, false}};
    BlockProgram(arg(0), float_view, GetParam(), Comparisons::Bool, ValueType::F16)
        .bind(float_view)
        .run(0, x.size(), got.data());
    for (std::size_t i = 0; i < x.size(); ++i)
        EXPECT_EQ(got[i], cases[i].second) << "float32 bits " << std::bit_cast<std::uint32_t>(x[i]);
}

INSTANTIATE_TEST_SUITE_P(ValueTypes, HalfLoopSets, kEveryLoopSet, loop_set_param_name);

// Division through a divisor's multiplier gives the plain functions' values: every divisor
// but 0 and +-1 of a wide sample (edges, powers of two and their neighbours, random widths)
// against edge and random dividends; and so do each loop set's loops by a scalar, all of them.
template <class I>
void check_int_divisor(LoopSet set) {
    using L = std::numeric_limits<I>;
    std::mt19937_64 rng(5);
    std::vector<I> dividends = {0,        1,        -1,           2,           -2, 3, -3,
                                L::min(), L::max(), L::min() + 1, L::max() - 1};
    std::vector<I> divisors = {3, -3, 7, -7, 10, L::min(), L::max(), L::min() + 1, L::max() - 1};
    for (int k = 1; k < L::digits; ++k) {
        const I p = static_cast<I>(I{1} << k);
        for (const I d : {p, static_cast<I>(-p), static_cast<I>(p - 1), static_cast<I>(p + 1)})
            divisors.push_back(d);
    }
    for (int k = 0; k < 1000; ++k) {
        dividends.push_back(static_cast<I>(rng() >> rng() % (8 * sizeof(I))));
        divisors.push_back(static_cast<I>(rng() >> rng() % (8 * sizeof(I))));
    }
    const ValueType type = sizeof(I) == 8 ? ValueType::I64 : ValueType::I32;
    // The same dividends cut to int32, which int64 loops divide as int32 runs.
    std::vector<I> fitting = {INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1};
    for (const I x : dividends) fitting.push_back(static_cast<std::int32_t>(x));
    std::vector<I> quotients(fitting.size()), remainders(fitting.size()), fmods(fitting.size());
    for (const I d : divisors) {
        // The loops over a block, by the divisor as a scalar (int64 bits): whole vectors too.
        const double scalars[3] = {0.0, std::bit_cast<double>(static_cast<std::int64_t>(d)), 0.0};
        for (const std::vector<I>* xs : {&dividends, &fitting}) {
            const std::size_t n = xs->size();
            for (auto [op, out] :
                 {std::pair{BinaryOp::FloorDivide, &quotients},
                  std::pair{BinaryOp::Remainder, &remainders}, std::pair{BinaryOp::Fmod, &fmods}}) {
                loops_for(set, type, kernel_id<BinaryKernels>(op), 1)
                    .tail(out->data(), xs->data(), nullptr, nullptr, scalars, n);
            }
            for (std::size_t i = 0; i < n; ++i) {
                const I x = (*xs)[i];
                ASSERT_EQ(quotients[i], int_floor_divide(x, d)) << x << " // " << d;
                ASSERT_EQ(remainders[i], int_remainder(x, d)) << x << " % " << d;
                ASSERT_EQ(fmods[i], int_fmod(x, d)) << "fmod(" << x << ", " << d << ")";
            }
        }
        if (d == 0 || d == 1 || d == -1) continue;
        const IntDivisor<I> divisor(d);
        for (const I n : dividends) {
            ASSERT_EQ(divisor.template apply<BinaryOp::FloorDivide>(n), int_floor_divide(n, d))
                << n << " // " << d;
            ASSERT_EQ(divisor.template apply<BinaryOp::Remainder>(n), int_remainder(n, d))
                << n << " % " << d;
            ASSERT_EQ(divisor.template apply<BinaryOp::Fmod>(n), int_fmod(n, d))
                << "fmod(" << n << ", " << d << ")";
        }
    }
}
class IntDivisorLoopSets : public ::testing::TestWithParam<LoopSet> {};
TEST_P(IntDivisorLoopSets, GiveThePlainValues) {
    QV_SKIP_UNLESS_CPU_RUNS(GetParam());
    check_int_divisor<std::int32_t>(GetParam());
    check_int_divisor<std::int64_t>(GetParam());
}
INSTANTIATE_TEST_SUITE_P(ValueTypes, IntDivisorLoopSets, kEveryLoopSet, loop_set_param_name);

}  // namespace
}  // namespace qv
