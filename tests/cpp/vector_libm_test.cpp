#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "exec/vector_libm/replica.hpp"
#include "exec/vector_libm/self_test.hpp"
#include "exec/vector_libm/vector_libm.hpp"
#include "ir/libm_entries.hpp"
#include "ir/libm_f32.hpp"

namespace qv {
namespace {

#if QV_VECTOR_LIBM

struct Replica {
    const char* isa;
    VectorMathKernel kernel;
};

ScalarMathFn library(MathFunction f) {
    switch (f) {
        case MathFunction::Exp: return libm_entries().exp;
        case MathFunction::Log: return libm_entries().log;
        case MathFunction::Sin: return static_cast<ScalarMathFn>(::sin);
        default: return static_cast<ScalarMathFn>(::cos);
    }
}

const char* name(MathFunction f) {
    constexpr const char* kNames[] = {"exp", "log", "expf", "logf", "pow", "powf", "sin", "cos"};
    return kNames[static_cast<std::size_t>(f)];
}

template <class Replicas>
VectorMathKernel kernel(MathFunction f) {
    switch (f) {
        case MathFunction::Exp: return Replicas::exp;
        case MathFunction::Log: return Replicas::log;
        case MathFunction::Sin: return Replicas::sin;
        default: return Replicas::cos;
    }
}
struct Avx2 {
    static constexpr auto exp = replica_avx2::exp, log = replica_avx2::log, sin = replica_avx2::sin,
                          cos = replica_avx2::cos;
};
struct Avx512 {
    static constexpr auto exp = replica_avx512::exp, log = replica_avx512::log,
                          sin = replica_avx512::sin, cos = replica_avx512::cos;
};
// The non-FMA builds: sin and cos have none.
struct Avx2NoFma {
    static constexpr auto exp = replica_avx2::nofma::exp, log = replica_avx2::nofma::log;
    static constexpr VectorMathKernel sin = nullptr, cos = nullptr;
};
struct Avx512NoFma {
    static constexpr auto exp = replica_avx512::nofma::exp, log = replica_avx512::nofma::log;
    static constexpr VectorMathKernel sin = nullptr, cos = nullptr;
};

// Whether the replicas to test copy the library's non-FMA build: the one the engine chose for
// `s`, or (`other`) the one it did not.
bool non_fma(const VectorFunctionState& s, bool other) { return (s.variant == "nofma") != other; }

// The replicas of `f` this CPU runs of the build the library runs (or of the other build): on
// a build the exhaustive check has passed, the load-time check must have accepted the former;
// elsewhere a refusal is the library's business, and the test is skipped.
const VectorFunctionState* tested(MathFunction f, std::string& skip, bool other) {
    const VectorLibmReport& r = vector_libm_report();
    const VectorFunctionState& s = r.functions[static_cast<std::size_t>(f)];
    if (s.isa.empty() || (s.check.mismatches != 0 && !r.build_checked)) {
        skip = s.reason;
        return nullptr;
    }
    if (!other) {
        EXPECT_EQ(s.check.mismatches, 0u) << s.reason;
    }
    return &s;
}

// The name the exhaustive check records a function under: "exp" for the FMA build's replica,
// "exp_nofma" for the non-FMA build's.
std::string checked_name(MathFunction f) {
    const VectorFunctionState& s = vector_libm_report().functions[static_cast<std::size_t>(f)];
    return s.variant == "nofma" ? std::string(s.name) + "_nofma" : std::string(s.name);
}

bool has_avx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("fma");
}

std::vector<Replica> replicas(MathFunction f, std::string& skip, bool other = false) {
    const VectorFunctionState* s = tested(f, skip, other);
    if (s == nullptr) return {};
    std::vector<Replica> out;
    if (non_fma(*s, other)) {
        out.push_back({"avx2", kernel<Avx2NoFma>(f)});
        if (has_avx512()) out.push_back({"avx512", kernel<Avx512NoFma>(f)});
    } else {
        out.push_back({"avx2", kernel<Avx2>(f)});
        if (has_avx512()) out.push_back({"avx512", kernel<Avx512>(f)});
    }
    return out;
}

// Inputs near t: t's bit pattern moved by up to `ulps` either way.
double near(double t, std::uint64_t draw, std::uint64_t ulps) {
    const std::int64_t offset =
        static_cast<std::int64_t>(draw % (2 * ulps + 1)) - static_cast<std::int64_t>(ulps);
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(t) + offset);
}

double unit(std::uint64_t draw) { return static_cast<double>(draw >> 11) * 0x1p-53; }

// The thresholds of glibc's special paths: where exp's fast path ends, where its result
// overflows, becomes subnormal or underflows to zero; log's near-1 bounds and 1.
constexpr double kExpEdges[] = {0x1p-54,
                                -0x1p-54,
                                512.0,
                                -512.0,
                                1024.0,
                                -1024.0,
                                0x1.62e42fefa39efp+9,
                                -0x1.6232bdd7abcd2p+9,
                                -0x1.74385446d71c3p+9,
                                -0x1.74910d52d3051p+9};
constexpr double kLogEdges[] = {0x1.ep-1, 0x1.109p0, 1.0, 0x1p-1022, 0x1.6p-1, 0x1.6p0};
// sin's and cos's: x returned and 1 returned, no reduction, pi/2 - |x|, Cody-Waite, the
// Taylor path's bound (0.126).
constexpr double kSinCosEdges[] = {0x1p-26,      0x1p-27,       0x1.b6p-1,
                                   0x1.368fdp+1, 0x1.921fbp+26, 0x1.020c49ba5e354p-3};

using Region = std::function<double(std::uint64_t, std::uint64_t)>;  // (draw, draw) -> x

std::vector<Region> regions(MathFunction f) {
    if (f == MathFunction::Sin || f == MathFunction::Cos) {
        return {
            [](std::uint64_t a, std::uint64_t) { return std::bit_cast<double>(a); },
            [](std::uint64_t a, std::uint64_t) { return unit(a) * 5.0 - 2.5; },
            [](std::uint64_t a, std::uint64_t) { return unit(a) * 2e5 - 1e5; },
            [](std::uint64_t a, std::uint64_t b) {
                const double x = near(kSinCosEdges[b % std::size(kSinCosEdges)], a, 1u << 24);
                return (b >> 40 & 1) ? -x : x;
            },
            [](std::uint64_t a, std::uint64_t b) {  // where the quadrant changes
                return near(static_cast<double>(b % 200000) * 0x1.921fb54442d18p-1, a, 64);
            },
            [](std::uint64_t a, std::uint64_t b) {  // where the table entry changes
                return near((static_cast<double>(b % 110) + 0.5) / 128, a, 1u << 12);
            },
            [](std::uint64_t a, std::uint64_t b) {  // every binade the vector code takes
                const double x = std::ldexp(1.0 + unit(a), static_cast<int>(b % 57) - 30);
                return (b >> 40 & 1) ? -x : x;
            },
        };
    }
    if (f == MathFunction::Exp) {
        return {
            [](std::uint64_t a, std::uint64_t) { return std::bit_cast<double>(a); },
            [](std::uint64_t a, std::uint64_t) { return unit(a) * 20.0 - 10.0; },
            [](std::uint64_t a, std::uint64_t) { return unit(a) * 2200.0 - 1100.0; },
            [](std::uint64_t a, std::uint64_t) { return unit(a) * 37.2 - 745.2; },  // subnormal
            [](std::uint64_t a, std::uint64_t b) {
                return near(kExpEdges[b % std::size(kExpEdges)], a, 1u << 24);
            },
            [](std::uint64_t a, std::uint64_t b) {  // where the rounding of k changes
                const double m = static_cast<double>(static_cast<std::int64_t>(b % 190000) - 95000);
                return near((m + 0.5) * 0x1.62e42fefa39efp-8, a, 64);
            },
            [](std::uint64_t a, std::uint64_t b) {  // tiny, both signs
                const double x = std::ldexp(1.0 + unit(a), static_cast<int>(b % 1040) - 1075);
                return (b >> 40 & 1) ? -x : x;
            },
        };
    }
    return {
        [](std::uint64_t a, std::uint64_t) { return std::bit_cast<double>(a); },
        [](std::uint64_t a, std::uint64_t) { return unit(a) * 100.0; },
        [](std::uint64_t a, std::uint64_t) { return 0.99 + unit(a) * 0.02; },  // log returns
        [](std::uint64_t a, std::uint64_t) { return 0.5 + unit(a) * 1.5; },
        [](std::uint64_t a, std::uint64_t b) {
            return near(kLogEdges[b % std::size(kLogEdges)], a, 1u << 24);
        },
        [](std::uint64_t a, std::uint64_t b) {  // the edges of the table's subintervals
            const std::uint64_t edge = 0x3fe6000000000000u + ((b % 128) << 45) +
                                       (((b >> 8) % 2000) << 52) - (1000ull << 52);
            return near(std::bit_cast<double>(edge), a, 1u << 12);
        },
        [](std::uint64_t a, std::uint64_t b) {  // every binade, subnormals included
            return std::ldexp(1.0 + unit(a), static_cast<int>(b % 2100) - 1075);
        },
    };
}

// Differing results of each replica against the library over xs (results into a and b).
void compare(const std::vector<Replica>& rs, ScalarMathFn lib, const std::vector<double>& xs,
             std::vector<double>& got, std::vector<std::size_t>& differ) {
    got.resize(xs.size());
    std::vector<double> want(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) want[i] = lib(xs[i]);
    for (std::size_t k = 0; k < rs.size(); ++k) {
        rs[k].kernel(xs.data(), got.data(), xs.size(), lib);
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const bool bad =
                std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i]);
            if (bad && differ[k] < 3)
                ADD_FAILURE() << rs[k].isa << ": f(" << std::hexfloat << xs[i] << ") = " << got[i]
                              << ", the library gives " << want[i];
            differ[k] += bad;
        }
    }
}

class VectorLibm : public ::testing::TestWithParam<MathFunction> {};

// 10^8 inputs per function, spread over every special region.
TEST_P(VectorLibm, AgreesWithTheLibraryOverTheSpecialRegions) {
    std::string skip;
    const std::vector<Replica> rs = replicas(GetParam(), skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const std::vector<Region> gens = regions(GetParam());
    constexpr std::size_t kInputs = 100'000'000, kChunk = 1 << 16;
    std::vector<std::size_t> differ(rs.size());
    std::vector<double> xs(kChunk), got;
    std::mt19937_64 rng(2026);
    for (std::size_t done = 0; done < kInputs; done += kChunk) {
        const Region& gen = gens[done / kChunk % gens.size()];
        for (double& x : xs) x = gen(rng(), rng());
        compare(rs, library(GetParam()), xs, got, differ);
    }
    for (std::size_t k = 0; k < rs.size(); ++k) EXPECT_EQ(differ[k], 0u) << rs[k].isa;
}

// Any length, unaligned, in place: the padded tail and the rare lanes among the others read
// their inputs before the output overwrites them.
template <class T, class R, class Lib>
void expect_any_length_in_place(const std::vector<R>& rs, Lib lib, const T (&values)[10]) {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    for (const R& r : rs) {
        for (std::size_t n = 0; n < 38; ++n) {
            std::vector<T> buffer(n + 1);
            for (std::size_t i = 0; i < n; ++i) buffer[i + 1] = values[(i * 7 + n) % 10];
            const std::vector<T> xs = buffer;
            r.kernel(buffer.data() + 1, buffer.data() + 1, n, lib);
            for (std::size_t i = 0; i < n; ++i)
                EXPECT_EQ(std::bit_cast<Bits>(buffer[i + 1]), std::bit_cast<Bits>(lib(xs[i + 1])))
                    << r.isa << " n=" << n << " i=" << i;
        }
    }
}

TEST_P(VectorLibm, AnyLengthInPlace) {
    std::string skip;
    const std::vector<Replica> rs = replicas(GetParam(), skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const double values[] = {0.5, -0.0, 1.0, 800.0, -1e-300, NAN, 3.0, 1e-310, -2.0, 0.97};
    expect_any_length_in_place(rs, library(GetParam()), values);
}

// The entry runs the replica exactly when the report says so.
TEST_P(VectorLibm, EntryFollowsTheReport) {
    const double x[3] = {0.25, 2.0, 7.0};
    double y[3] = {};
    const MathFunction f = GetParam();
    const bool ran = f == MathFunction::Exp   ? vector_exp(x, y, 3)
                     : f == MathFunction::Log ? vector_log(x, y, 3)
                     : f == MathFunction::Sin ? vector_sin(x, y, 3)
                                              : vector_cos(x, y, 3);
    const VectorFunctionState& s =
        vector_libm_report().functions[static_cast<std::size_t>(GetParam())];
    EXPECT_EQ(ran, s.vector) << s.reason;
    for (int i = 0; ran && i < 3; ++i) EXPECT_EQ(y[i], library(GetParam())(x[i]));
}

// Every 2^32 float32 pattern widened, and every double within 2^24 ulps of each threshold:
// run by scripts/check_vector_libm.py, which records the result for the library's build.
TEST_P(VectorLibm, DISABLED_Exhaustive) {
    std::string skip;
    const std::vector<Replica> rs = replicas(GetParam(), skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const ScalarMathFn lib = library(GetParam());
    struct Sweep {
        std::uint64_t first, count;
        bool f32;
    };
    std::vector<Sweep> sweeps{{0, 1ull << 32, true}};
    std::vector<double> edges(std::begin(kLogEdges), std::end(kLogEdges));
    if (GetParam() == MathFunction::Exp) {
        edges.assign(std::begin(kExpEdges), std::end(kExpEdges));
    } else if (GetParam() != MathFunction::Log) {
        // sin and cos: every float below 2^27 of either sign (the library's slow reduction
        // beyond is not copied), and the edges of both signs.
        sweeps = {{0, 0x4d000000, true}, {0x80000000u, 0x4d000000, true}};
        edges.assign(std::begin(kSinCosEdges), std::end(kSinCosEdges));
        for (double t : kSinCosEdges) edges.push_back(-t);
    }
    for (double t : edges)
        sweeps.push_back({std::bit_cast<std::uint64_t>(t) - (1u << 24), 1u << 25, false});
    constexpr unsigned kThreads = 2;
    std::vector<std::vector<std::size_t>> differ(kThreads, std::vector<std::size_t>(rs.size()));
    std::uint64_t total = 0;
    for (const Sweep& s : sweeps) {
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                constexpr std::uint64_t kChunk = 1 << 16;
                std::vector<double> xs(kChunk), got;
                for (std::uint64_t at = t * kChunk; at < s.count; at += kThreads * kChunk) {
                    const std::uint64_t n = std::min(kChunk, s.count - at);
                    xs.resize(n);
                    for (std::uint64_t i = 0; i < n; ++i) {
                        const std::uint64_t b = s.first + at + i;
                        xs[i] = s.f32 ? static_cast<double>(
                                            std::bit_cast<float>(static_cast<std::uint32_t>(b)))
                                      : std::bit_cast<double>(b);
                    }
                    compare(rs, lib, xs, got, differ[t]);
                }
            });
        }
        for (std::thread& th : threads) th.join();
        total += s.count;
    }
    for (std::size_t k = 0; k < rs.size(); ++k) {
        const std::size_t bad = differ[0][k] + differ[1][k];
        std::printf("exhaustive: %s %s %llu inputs, %zu differ\n", checked_name(GetParam()).c_str(),
                    rs[k].isa, static_cast<unsigned long long>(total), bad);
        EXPECT_EQ(bad, 0u) << rs[k].isa;
    }
}

INSTANTIATE_TEST_SUITE_P(Functions, VectorLibm,
                         ::testing::Values(MathFunction::Exp, MathFunction::Log, MathFunction::Sin,
                                           MathFunction::Cos),
                         [](const auto& info) { return std::string(name(info.param)); });

// The float32 replicas, over float inputs given by their bit patterns.
struct ReplicaF32 {
    const char* isa;
    VectorMathKernelF32 kernel;
};

ScalarMathFnF32 library_f32(MathFunction f) {
    return libm_f32()
        .unary[static_cast<int>(f == MathFunction::Expf ? UnaryOp::Exp : UnaryOp::Log)];
}

std::vector<ReplicaF32> replicas_f32(MathFunction f, std::string& skip, bool other = false) {
    const VectorFunctionState* s = tested(f, skip, other);
    if (s == nullptr) return {};
    const bool exp = f == MathFunction::Expf;
    std::vector<ReplicaF32> out;
    if (non_fma(*s, other)) {
        out.push_back({"avx2", exp ? replica_avx2::nofma::expf : replica_avx2::nofma::logf});
        if (has_avx512())
            out.push_back(
                {"avx512", exp ? replica_avx512::nofma::expf : replica_avx512::nofma::logf});
    } else {
        out.push_back({"avx2", exp ? replica_avx2::expf : replica_avx2::logf});
        if (has_avx512())
            out.push_back({"avx512", exp ? replica_avx512::expf : replica_avx512::logf});
    }
    return out;
}

// Differing results of each replica over the float patterns first, first + stride, ...
// (count of them), from `threads` threads; the counts per replica.
std::vector<std::size_t> sweep_f32(const std::vector<ReplicaF32>& rs, ScalarMathFnF32 lib,
                                   std::uint64_t first, std::uint64_t count, std::uint64_t stride,
                                   unsigned threads) {
    std::vector<std::vector<std::size_t>> differ(threads, std::vector<std::size_t>(rs.size()));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            constexpr std::uint64_t kChunk = 1 << 16;
            std::vector<float> xs, want, got(kChunk);
            for (std::uint64_t at = t * kChunk; at < count; at += threads * kChunk) {
                const std::uint64_t n = std::min(kChunk, count - at);
                xs.resize(n);
                want.resize(n);
                for (std::uint64_t i = 0; i < n; ++i) {
                    xs[i] =
                        std::bit_cast<float>(static_cast<std::uint32_t>(first + (at + i) * stride));
                    want[i] = lib(xs[i]);
                }
                for (std::size_t k = 0; k < rs.size(); ++k) {
                    rs[k].kernel(xs.data(), got.data(), n, lib);
                    for (std::uint64_t i = 0; i < n; ++i) {
                        const bool bad = std::bit_cast<std::uint32_t>(got[i]) !=
                                         std::bit_cast<std::uint32_t>(want[i]);
                        if (bad && differ[t][k] < 3)
                            ADD_FAILURE() << rs[k].isa << ": f(" << std::hexfloat << xs[i]
                                          << ") = " << got[i] << ", the library gives " << want[i];
                        differ[t][k] += bad;
                    }
                }
            }
        });
    }
    for (std::thread& th : pool) th.join();
    std::vector<std::size_t> total(rs.size());
    for (const auto& d : differ)
        for (std::size_t k = 0; k < rs.size(); ++k) total[k] += d[k];
    return total;
}

class VectorLibmF32 : public ::testing::TestWithParam<MathFunction> {};

// Every 41st float pattern (10^8 of them), so every binade and special path of both signs.
TEST_P(VectorLibmF32, AgreesWithTheLibraryAcrossEveryBinade) {
    std::string skip;
    const std::vector<ReplicaF32> rs = replicas_f32(GetParam(), skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const std::vector<std::size_t> differ =
        sweep_f32(rs, library_f32(GetParam()), 7, (1ull << 32) / 41, 41, 2);
    for (std::size_t k = 0; k < rs.size(); ++k) EXPECT_EQ(differ[k], 0u) << rs[k].isa;
}

TEST_P(VectorLibmF32, AnyLengthInPlace) {
    std::string skip;
    const std::vector<ReplicaF32> rs = replicas_f32(GetParam(), skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const float values[] = {0.5f, -0.0f, 1.0f, 100.0f, -1e-40f, NAN, 3.0f, 1e-40f, -2.0f, 0.97f};
    expect_any_length_in_place(rs, library_f32(GetParam()), values);
}

TEST_P(VectorLibmF32, EntryFollowsTheReport) {
    const float x[3] = {0.25f, 2.0f, 7.0f};
    float y[3] = {};
    const bool exp = GetParam() == MathFunction::Expf;
    const bool ran = exp ? vector_expf(x, y, 3) : vector_logf(x, y, 3);
    const VectorFunctionState& s =
        vector_libm_report().functions[static_cast<std::size_t>(GetParam())];
    EXPECT_EQ(ran, s.vector) << s.reason;
    for (int i = 0; ran && i < 3; ++i) EXPECT_EQ(y[i], library_f32(GetParam())(x[i]));
}

// All 2^32 patterns: run by scripts/check_vector_libm.py, which records the result.
TEST_P(VectorLibmF32, DISABLED_Exhaustive) {
    std::string skip;
    const std::vector<ReplicaF32> rs = replicas_f32(GetParam(), skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const std::vector<std::size_t> differ =
        sweep_f32(rs, library_f32(GetParam()), 0, 1ull << 32, 1, 2);
    for (std::size_t k = 0; k < rs.size(); ++k) {
        std::printf("exhaustive: %s %s %llu inputs, %zu differ\n", checked_name(GetParam()).c_str(),
                    rs[k].isa, 1ull << 32, differ[k]);
        EXPECT_EQ(differ[k], 0u) << rs[k].isa;
    }
}

INSTANTIATE_TEST_SUITE_P(Functions, VectorLibmF32,
                         ::testing::Values(MathFunction::Expf, MathFunction::Logf),
                         [](const auto& info) {
                             return info.param == MathFunction::Expf ? "expf" : "logf";
                         });

// pow's and powf's replicas, over pairs.
template <class T>
struct PowReplica {
    const char* isa;
    void (*kernel)(const T*, bool, const T*, bool, T*, std::size_t, T (*)(T, T));
};

template <class T>
using Bits = std::conditional_t<std::is_same_v<T, float>, std::uint32_t, std::uint64_t>;

template <class T>
auto pow_library() -> T (*)(T, T) {
    if constexpr (std::is_same_v<T, float>) {
        return libm_f32().binary[static_cast<int>(BinaryOp::Pow)];
    } else {
        return libm_entries().pow;
    }
}

template <class T>
constexpr MathFunction kPowFunction =
    std::is_same_v<T, float> ? MathFunction::Powf : MathFunction::Pow;

template <class T>
std::vector<PowReplica<T>> pow_replicas(std::string& skip, bool other = false) {
    const VectorFunctionState* s = tested(kPowFunction<T>, skip, other);
    if (s == nullptr) return {};
    const bool nofma = non_fma(*s, other);
    std::vector<PowReplica<T>> out;
    if constexpr (std::is_same_v<T, float>) {
        out.push_back({"avx2", nofma ? replica_avx2::nofma::powf : replica_avx2::powf});
        if (has_avx512())
            out.push_back({"avx512", nofma ? replica_avx512::nofma::powf : replica_avx512::powf});
    } else {
        out.push_back({"avx2", nofma ? replica_avx2::nofma::pow : replica_avx2::pow});
        if (has_avx512())
            out.push_back({"avx512", nofma ? replica_avx512::nofma::pow : replica_avx512::pow});
    }
    return out;
}

template <class T>
using PowRegion = std::function<std::pair<T, T>(std::uint64_t, std::uint64_t)>;

// y log x's thresholds: the tiny path, specialcase, overflow and the subnormal results.
constexpr double kPowEdges[] = {0x1p-54,
                                -0x1p-54,
                                512.0,
                                -512.0,
                                1024.0,
                                -1024.0,
                                0x1.62e42fefa39efp+9,
                                -0x1.6232bdd7abcd2p+9,
                                -0x1.74385446d71c3p+9,
                                -0x1.74910d52d3051p+9};

std::vector<PowRegion<double>> pow_regions() {
    return {
        [](std::uint64_t a, std::uint64_t b) {
            return std::pair{std::bit_cast<double>(a), std::bit_cast<double>(b)};
        },
        [](std::uint64_t a, std::uint64_t b) {
            return std::pair{unit(a) * 100.0, unit(b) * 20.0 - 10.0};
        },
        [](std::uint64_t a, std::uint64_t b) {  // the result's whole range, from every binade
            const double x = std::ldexp(1.0 + unit(a), static_cast<int>(b % 2098) - 1074);
            const double t = unit(b) * 1480.0 - 760.0;
            return std::pair{x, t / std::log(x)};
        },
        [](std::uint64_t a, std::uint64_t b) {  // near 1: small log x, large y
            return std::pair{0.99 + unit(a) * 0.02, unit(b) * 2e5 - 1e5};
        },
        [](std::uint64_t a, std::uint64_t b) {  // the edges of log's table subintervals
            const std::uint64_t edge = 0x3fe6955500000000u + ((b % 128) << 45) +
                                       (((b >> 8) % 2000) << 52) - (1000ull << 52);
            return std::pair{near(std::bit_cast<double>(edge), a, 1u << 12),
                             unit(b >> 20) * 8.0 - 4.0};
        },
        [](std::uint64_t a, std::uint64_t b) {  // y log x around each threshold
            const double x = 0.1 + unit(a) * 9.9;
            return std::pair{
                x, near(kPowEdges[b % std::size(kPowEdges)], b >> 8, 1u << 20) / std::log(x)};
        },
        [](std::uint64_t a, std::uint64_t b) {  // negative x: integer y and not
            const double y = static_cast<double>(static_cast<int>(b % 101) - 50);
            return std::pair{-unit(a) * 10.0, (b >> 40 & 1) ? y : y + 0.5};
        },
        [](std::uint64_t a, std::uint64_t b) {  // |y| around 2^-65 and 2^63
            const double edges[] = {0x1p-65, -0x1p-65, 0x1p63, -0x1p63};
            return std::pair{unit(a) * 4.0, near(edges[b % 4], b >> 8, 1u << 20)};
        },
        [](std::uint64_t a, std::uint64_t b) {  // exact powers up to the limits
            return std::pair{static_cast<double>(a % 9 + 2),
                             static_cast<double>(static_cast<int>(b % 2201) - 1100)};
        },
    };
}

// A float whose pattern is t's moved by up to `ulps` either way.
float near_f32(float t, std::uint64_t draw, std::uint32_t ulps) {
    const std::int64_t offset = static_cast<std::int64_t>(draw % (2 * ulps + 1)) - ulps;
    return std::bit_cast<float>(
        static_cast<std::uint32_t>(std::bit_cast<std::uint32_t>(t) + offset));
}

// powf's y log2 x thresholds: its fast path's bound, overflow, the subnormal results, zero.
constexpr double kPowfEdges[] = {126.0, -126.0, 0x1.fffffffd1d571p+6, -149.0, -150.0};

std::vector<PowRegion<float>> powf_regions() {
    const auto f = [](double v) { return static_cast<float>(v); };
    return {
        [](std::uint64_t a, std::uint64_t b) {
            return std::pair{std::bit_cast<float>(static_cast<std::uint32_t>(a)),
                             std::bit_cast<float>(static_cast<std::uint32_t>(b))};
        },
        [f](std::uint64_t a, std::uint64_t b) {
            return std::pair{f(unit(a) * 100.0), f(unit(b) * 20.0 - 10.0)};
        },
        [f](std::uint64_t a, std::uint64_t b) {  // the result's whole range, from every binade
            const float x = std::ldexp(1.0f + f(unit(a)), static_cast<int>(b % 254) - 126);
            const double t = unit(b) * 300.0 - 160.0;
            return std::pair{x, f(x == 1.0f ? t : t / std::log2(x))};
        },
        [f](std::uint64_t a, std::uint64_t b) {  // near 1: small log x, large y
            return std::pair{f(0.99 + unit(a) * 0.02), f(unit(b) * 2e4 - 1e4)};
        },
        [f](std::uint64_t a, std::uint64_t b) {  // the edges of log2's table subintervals
            const std::uint32_t edge = 0x3f330000u + static_cast<std::uint32_t>(b % 16 << 19) +
                                       static_cast<std::uint32_t>((b >> 8) % 250 << 23) -
                                       (125u << 23);
            return std::pair{near_f32(std::bit_cast<float>(edge), a, 1u << 10),
                             f(unit(b >> 20) * 8.0 - 4.0)};
        },
        [f](std::uint64_t a, std::uint64_t b) {  // y log2 x around each threshold
            const float x = f(0.1 + unit(a) * 9.9);
            const double t = kPowfEdges[b % std::size(kPowfEdges)] * (1 + (unit(b) - 0.5) * 1e-6);
            return std::pair{x, f(t / std::log2(x))};
        },
        [f](std::uint64_t a, std::uint64_t b) {  // negative x: integer y and not
            const double y = static_cast<double>(static_cast<int>(b % 101) - 50);
            return std::pair{f(-unit(a) * 10.0), f((b >> 40 & 1) ? y : y + 0.5)};
        },
        [f](std::uint64_t a, std::uint64_t b) {  // subnormal x, then normalised there
            return std::pair{std::ldexp(1.0f + f(unit(a)), -127 - static_cast<int>(b % 23)),
                             f(unit(b) * 4.0 - 2.0)};
        },
        [](std::uint64_t a, std::uint64_t b) {  // exact powers up to the limits
            return std::pair{static_cast<float>(a % 9 + 2),
                             static_cast<float>(static_cast<int>(b % 301) - 160)};
        },
    };
}

template <class T>
std::vector<PowRegion<T>> regions_of() {
    if constexpr (std::is_same_v<T, float>) {
        return powf_regions();
    } else {
        return pow_regions();
    }
}

// Differing results of each replica against the library over the pairs (xs, ys).
template <class T>
void compare_pow(const std::vector<PowReplica<T>>& rs, const std::vector<T>& xs,
                 const std::vector<T>& ys, std::vector<std::size_t>& differ) {
    const auto lib = pow_library<T>();
    std::vector<T> want(xs.size()), got(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) want[i] = lib(xs[i], ys[i]);
    for (std::size_t k = 0; k < rs.size(); ++k) {
        rs[k].kernel(xs.data(), true, ys.data(), true, got.data(), xs.size(), lib);
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const bool bad = std::bit_cast<Bits<T>>(got[i]) != std::bit_cast<Bits<T>>(want[i]);
            if (bad && differ[k] < 3)
                ADD_FAILURE() << rs[k].isa << ": pow(" << std::hexfloat << xs[i] << ", " << ys[i]
                              << ") = " << got[i] << ", the library gives " << want[i];
            differ[k] += bad;
        }
    }
}

// `count` pairs spread over every region, from `threads` threads; the differences per replica.
template <class T>
std::vector<std::size_t> sweep_pow(const std::vector<PowReplica<T>>& rs, std::uint64_t count,
                                   unsigned threads) {
    const std::vector<PowRegion<T>> gens = regions_of<T>();
    std::vector<std::vector<std::size_t>> differ(threads, std::vector<std::size_t>(rs.size()));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            constexpr std::uint64_t kChunk = 1 << 16;
            std::vector<T> xs(kChunk), ys(kChunk);
            std::mt19937_64 rng(2026 + t);
            for (std::uint64_t at = t * kChunk; at < count; at += threads * kChunk) {
                const PowRegion<T>& gen = gens[at / kChunk % gens.size()];
                for (std::uint64_t i = 0; i < kChunk; ++i) {
                    const std::uint64_t a = rng();
                    std::tie(xs[i], ys[i]) = gen(a, rng());
                }
                compare_pow(rs, xs, ys, differ[t]);
            }
        });
    }
    for (std::thread& th : pool) th.join();
    std::vector<std::size_t> total(rs.size());
    for (const auto& d : differ)
        for (std::size_t k = 0; k < rs.size(); ++k) total[k] += d[k];
    return total;
}

template <class T>
class VectorPow : public ::testing::Test {};
struct PowName {
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, float> ? "powf" : "pow";
    }
};
using PowTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(VectorPow, PowTypes, PowName);

// 10^8 pairs, over every special region.
TYPED_TEST(VectorPow, AgreesWithTheLibraryOverTheSpecialRegions) {
    std::string skip;
    const std::vector<PowReplica<TypeParam>> rs = pow_replicas<TypeParam>(skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const std::vector<std::size_t> differ = sweep_pow(rs, 100'000'000, 2);
    for (std::size_t k = 0; k < rs.size(); ++k) EXPECT_EQ(differ[k], 0u) << rs[k].isa;
}

// Any length, unaligned, in place over either operand, each operand an array or one value.
TYPED_TEST(VectorPow, AnyLengthInPlaceAndOneValue) {
    using T = TypeParam;
    std::string skip;
    const std::vector<PowReplica<T>> rs = pow_replicas<T>(skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    const auto lib = pow_library<T>();
    const bool f32 = std::is_same_v<T, float>;
    const double values[] = {0.5,
                             -0.0,
                             1.0,
                             f32 ? 100.0 : 800.0,
                             f32 ? -1e-30 : -1e-300,
                             NAN,
                             3.0,
                             f32 ? 1e-40 : 1e-310,
                             -2.0,
                             2.5,
                             0.97};
    for (const PowReplica<T>& r : rs) {
        for (std::size_t n = 0; n < 38; ++n) {
            for (int shape = 0; shape < 4; ++shape) {  // x array?, y array?, out on x or y
                std::vector<T> x(n + 1), y(n + 1);
                for (std::size_t i = 0; i < n; ++i) {
                    x[i + 1] = static_cast<T>(values[(i * 7 + n) % 11]);
                    y[i + 1] = static_cast<T>(values[(i * 5 + 3) % 11]);
                }
                const std::vector<T> x0 = x, y0 = y;
                const bool xa = shape != 2, ya = shape != 3;
                T* out = shape == 1 ? y.data() + 1 : x.data() + 1;
                if (shape == 2) out = y.data() + 1;
                r.kernel(x.data() + 1, xa, y.data() + 1, ya, out, n, lib);
                for (std::size_t i = 0; i < n; ++i) {
                    const T want = lib(x0[xa ? i + 1 : 1], y0[ya ? i + 1 : 1]);
                    EXPECT_EQ(std::bit_cast<Bits<T>>(out[i]), std::bit_cast<Bits<T>>(want))
                        << r.isa << " n=" << n << " shape=" << shape << " i=" << i;
                }
            }
        }
    }
}

// Ordinary pairs stay in vector code: none reaches the library.
std::atomic<int> library_calls{0};
template <class T>
T counted_pow(T x, T y) {
    ++library_calls;
    return pow_library<T>()(x, y);
}

TYPED_TEST(VectorPow, OrdinaryPairsMakeNoLibraryCall) {
    using T = TypeParam;
    std::string skip;
    const std::vector<PowReplica<T>> rs = pow_replicas<T>(skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    std::mt19937_64 rng(7);
    std::vector<T> x(4099), y(4099), z(4099);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = static_cast<T>(1e-3 + unit(rng()) * 100.0);
        y[i] = static_cast<T>(unit(rng()) * 20.0 - 10.0);
    }
    for (const PowReplica<T>& r : rs) {
        library_calls = 0;
        r.kernel(x.data(), true, y.data(), true, z.data(), x.size(), counted_pow<T>);
        r.kernel(x.data(), true, y.data() + 5, false, z.data(), x.size(), counted_pow<T>);
        EXPECT_EQ(library_calls.load(), 0) << r.isa;
    }
}

TYPED_TEST(VectorPow, EntryFollowsTheReport) {
    using T = TypeParam;
    const T x[3] = {0.25, 2.0, 7.0}, y[3] = {1.5, -3.25, 0.1};
    T z[3] = {};
    bool ran;
    if constexpr (std::is_same_v<T, float>) {
        ran = vector_powf(x, true, y, true, z, 3);
    } else {
        ran = vector_pow(x, true, y, true, z, 3);
    }
    const VectorFunctionState& s =
        vector_libm_report().functions[static_cast<std::size_t>(kPowFunction<T>)];
    EXPECT_EQ(ran, s.vector) << s.reason;
    for (int i = 0; ran && i < 3; ++i) EXPECT_EQ(z[i], pow_library<T>()(x[i], y[i]));
}

// 2^30 pairs over every region: run by scripts/check_vector_libm.py, which records the result.
TYPED_TEST(VectorPow, DISABLED_Exhaustive) {
    std::string skip;
    const std::vector<PowReplica<TypeParam>> rs = pow_replicas<TypeParam>(skip);
    if (rs.empty()) GTEST_SKIP() << skip;
    constexpr std::uint64_t kPairs = 1ull << 30;
    const std::vector<std::size_t> differ = sweep_pow(rs, kPairs, 2);
    for (std::size_t k = 0; k < rs.size(); ++k) {
        std::printf("exhaustive: %s %s %llu inputs, %zu differ\n",
                    checked_name(kPowFunction<TypeParam>).c_str(), rs[k].isa,
                    static_cast<unsigned long long>(kPairs), differ[k]);
        EXPECT_EQ(differ[k], 0u) << rs[k].isa;
    }
}

// glibc's exp as its non-FMA build computes it (the same source, nothing fused): the variant
// glibc runs on CPUs without FMA. The check must refuse the FMA replica against it.
#include "exec/vector_libm/glibc_tables.inc"
double non_fma_exp(double x) {
    using namespace glibc_exp;
    const double ax = std::fabs(x);
    if (!(ax >= 0x1p-54 && ax < 512.0)) return libm_entries().exp(x);
    double kd = x * kInvLn2N + kShift;
    const std::uint64_t ki = std::bit_cast<std::uint64_t>(kd);
    kd -= kShift;
    const double r = x + kd * kNegLn2hiN + kd * kNegLn2loN;
    const std::uint64_t idx = 2 * (ki % 128);
    const double tail = std::bit_cast<double>(kTable[idx]);
    const double scale = std::bit_cast<double>(kTable[idx + 1] + (ki << 45));
    const double r2 = r * r;
    const double tmp = tail + r + r2 * (kC2 + r * kC3) + r2 * r2 * (kC4 + r * kC5);
    return scale + scale * tmp;
}

// The library's log, one ulp off on one input in 4096.
double perturbed_log(double x) {
    const double y = libm_entries().log(x);
    return (std::bit_cast<std::uint64_t>(x) & 0xfff) == 0x5a5 ? std::nextafter(y, INFINITY) : y;
}

// glibc's expf as its non-FMA build computes it: differs from the FMA build on two floats,
// one of them among the self-test's inputs.
float non_fma_expf(float x) {
    using namespace glibc_expf;
    if (!(std::fabs(x) < 88.0f)) return library_f32(MathFunction::Expf)(x);
    const double z = kInvLn2N * static_cast<double>(x);
    double kd = z + kShift;
    const std::uint64_t ki = std::bit_cast<std::uint64_t>(kd);
    kd -= kShift;
    const double r = z - kd;
    const double s = std::bit_cast<double>(kTable[ki % 32] + (ki << 47));
    const double r2 = r * r;
    const double y = (kC0 * r + kC1) * r2 + (kC2 * r + 1.0);
    return static_cast<float>(y * s);
}

// The library's logf, one ulp off on one input in 4096.
float perturbed_logf(float x) {
    const float y = library_f32(MathFunction::Logf)(x);
    return (std::bit_cast<std::uint32_t>(x) & 0xfff) == 0x5a5 ? std::nextafter(y, INFINITY) : y;
}

// The library's pow, one ulp off on one base in 64 of its main path. (The Python tests check
// the refusal against glibc's own non-FMA variant.)
double perturbed_pow(double x, double y) {
    const double p = libm_entries().pow(x, y);
    const bool main =
        x >= 0x1p-1022 && x < INFINITY && std::fabs(y) >= 0x1p-65 && std::fabs(y) < 0x1p63;
    return main && (std::bit_cast<std::uint64_t>(x) & 0x3f) == 0x15 ? std::nextafter(p, INFINITY)
                                                                    : p;
}

// The library's powf, one ulp off on one base in 64 of its main path.
float perturbed_powf(float x, float y) {
    const float p = pow_library<float>()(x, y);
    const bool main = x >= 0x1p-126f && x < INFINITY && y != 0 && std::fabs(y) < INFINITY;
    return main && (std::bit_cast<std::uint32_t>(x) & 0x3f) == 0x15 ? std::nextafter(p, INFINITY)
                                                                    : p;
}

// Whether the engine copies the library's FMA build (else its non-FMA one, which the unfused
// references above compute).
bool runs_fma_build() { return vector_libm_report().functions[0].variant == "fma"; }

TEST(VectorLibmCheck, RefusesADifferentReference) {
    std::string skip;
    const bool fma = runs_fma_build();
    for (const Replica& r : replicas(MathFunction::Exp, skip)) {
        EXPECT_EQ(self_test(MathFunction::Exp, r.kernel, libm_entries().exp).mismatches, 0u);
        EXPECT_EQ(self_test(MathFunction::Exp, r.kernel, non_fma_exp).mismatches > 0, fma) << r.isa;
    }
    for (const Replica& r : replicas(MathFunction::Log, skip)) {
        EXPECT_GT(self_test(MathFunction::Log, r.kernel, perturbed_log).mismatches, 0u) << r.isa;
    }
    for (const ReplicaF32& r : replicas_f32(MathFunction::Expf, skip)) {
        EXPECT_EQ(
            self_test(MathFunction::Expf, r.kernel, library_f32(MathFunction::Expf)).mismatches,
            0u);
        EXPECT_EQ(self_test(MathFunction::Expf, r.kernel, non_fma_expf).mismatches > 0, fma)
            << r.isa;
    }
    for (const ReplicaF32& r : replicas_f32(MathFunction::Logf, skip)) {
        EXPECT_GT(self_test(MathFunction::Logf, r.kernel, perturbed_logf).mismatches, 0u) << r.isa;
    }
    for (const PowReplica<double>& r : pow_replicas<double>(skip)) {
        EXPECT_EQ(self_test(r.kernel, libm_entries().pow).mismatches, 0u) << r.isa;
        EXPECT_GT(self_test(r.kernel, perturbed_pow).mismatches, 0u) << r.isa;
    }
    for (const PowReplica<float>& r : pow_replicas<float>(skip)) {
        EXPECT_EQ(self_test(r.kernel, pow_library<float>()).mismatches, 0u) << r.isa;
        EXPECT_GT(self_test(r.kernel, perturbed_powf).mismatches, 0u) << r.isa;
    }
}

// Each build's replicas against the build of the library the engine did not choose: the check
// tells them apart (logf's two builds agree on every float, powf's on every pair tried). The
// non-FMA replicas must also agree with the unfused references above, the FMA ones not.
TEST(VectorLibmCheck, RefusesTheOtherVariant) {
    std::string skip;
    const bool fma = runs_fma_build();
    for (const Replica& r : replicas(MathFunction::Exp, skip, true)) {
        EXPECT_GT(self_test(MathFunction::Exp, r.kernel, libm_entries().exp).mismatches, 0u);
        EXPECT_EQ(self_test(MathFunction::Exp, r.kernel, non_fma_exp).mismatches > 0, !fma);
    }
    for (const Replica& r : replicas(MathFunction::Log, skip, true))
        EXPECT_GT(self_test(MathFunction::Log, r.kernel, libm_entries().log).mismatches, 0u);
    for (const ReplicaF32& r : replicas_f32(MathFunction::Expf, skip, true)) {
        const auto lib = library_f32(MathFunction::Expf);
        EXPECT_GT(self_test(MathFunction::Expf, r.kernel, lib).mismatches, 0u) << r.isa;
        EXPECT_EQ(self_test(MathFunction::Expf, r.kernel, non_fma_expf).mismatches > 0, !fma);
    }
    for (const ReplicaF32& r : replicas_f32(MathFunction::Logf, skip, true)) {
        const auto lib = library_f32(MathFunction::Logf);
        EXPECT_EQ(self_test(MathFunction::Logf, r.kernel, lib).mismatches, 0u) << r.isa;
    }
    for (const PowReplica<double>& r : pow_replicas<double>(skip, true))
        EXPECT_GT(self_test(r.kernel, libm_entries().pow).mismatches, 0u) << r.isa;
}

#endif  // QV_VECTOR_LIBM

// The library's identity as the engine reads it (scripts/check_vector_libm.py reads this line).
TEST(VectorLibmReport, NamesTheLibrary) {
    const VectorLibmReport& r = vector_libm_report();
    std::printf("libm: glibc %s build-id %s\n", r.libm_version.c_str(), r.build_id.c_str());
#if QV_VECTOR_LIBM
    EXPECT_FALSE(r.libm_version.empty());
    EXPECT_EQ(r.build_id.size(), 40u) << "a GNU build-id is 20 bytes (SHA-1)";
#endif
}

}  // namespace
}  // namespace qv
