// The self-test inputs. The hard ones were found by running glibc's FMA variant against its
// SSE2 one (GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA): each differs between them, so a
// replica of the wrong variant fails on some. (For logf the two variants agree on every
// float; for expf they differ on these two.) The generators cover the fast paths densely
// and reach every special path; they are fixed, so every process checks the same inputs.
#include "exec/vector_libm/self_test.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace qv {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMin = std::numeric_limits<double>::min();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();
constexpr std::size_t kPerGenerator = 16384;

constexpr double kExpHard[] = {
    // FMA-variant versus SSE2-variant discriminators.
    -0x1.6f07794a01780p+1, 0x1.040d7d043e6ccp+2, 0x1.4c279c3184a1cp+2, -0x1.c13b829631ee8p+2,
    -0x1.be6b7c005fe1dp+2, -0x1.ac7d696e8b5b8p+1, -0x1.1e8084a62d2dap+2, 0x1.04c86476fb662p+2,
    0x1.4e64b710dc070p+1, 0x1.7b532de8ae7f4p+1, 0x1.434b897f624a8p+8, 0x1.5279663f35a2ep+9,
    0x1.90960b8b57e90p+7, 0x1.0d4088d59bf3ap+8, 0x1.4883401ae329cp+8, 0x1.237c814a55b48p+9,
    // The thresholds of the special paths and the special values.
    0.0, -0.0, 0x1p-54, -0x1p-54, 0x1.fffffffffffffp-55, -0x1.fffffffffffffp-55, 512.0, -512.0,
    0x1.fffffffffffffp8, -0x1.fffffffffffffp8, 1024.0, -1024.0, 0x1.fffffffffffffp9,
    -0x1.fffffffffffffp9, 0x1.62e42fefa39efp+9, 0x1.62e42fefa39f0p+9, -0x1.6232bdd7abcd2p+9,
    -0x1.74385446d71c3p+9, -0x1.74910d52d3051p+9, -0x1.7440000000000p+9, -708.3964185322641,
    -745.1332191019411, kDenormMin, -kDenormMin, kMin, kMax, -kMax, kInf, -kInf, kNaN, -kNaN, 1.0,
    -1.0};

constexpr double kLogHard[] = {
    // FMA-variant versus SSE2-variant discriminators.
    0x1.0d08a0919824ap+0, 0x1.e1f3e8eb1268bp-1, 0x1.1012131164272p+0, 0x1.f30d39876a845p-1,
    0x1.e4f20551d328ap-1, 0x1.05d80859e6ca4p+0, 0x1.02dc1c8630b57p+0, 0x1.e6d5b6a886de5p-1,
    0x1.e1902f5ba88a8p+4, 0x1.7c81b32273349p+6, 0x1.be08df1cd11edp+5, 0x1.1635fdc303339p+0,
    0x1.9a4213adce67ep-1, 0x1.0f9249faea62cp+0, 0x1.5ce58759da98cp-1,
    // The bounds of the near-1 path and of the table, the special values.
    1.0, 0x1.0000000000001p0, 0x1.fffffffffffffp-1, 0x1.ep-1, 0x1.dffffffffffffp-1, 0x1.109p0,
    0x1.108ffffffffffp0, 0x1.6p-1, 0x1.5ffffffffffffp-1, 0x1.6p0, 2.0, 0.5, 0.0, -0.0, -1.0, kMin,
    0x1.fffffffffffffp-1023, kDenormMin, -kDenormMin, kMax, kInf, -kInf, kNaN, -kNaN, 10.0};

// sin's and cos's discriminators: up to three in each of the ranges below 0.126, 0.855, 2.426,
// 1000 and 105414350.
constexpr double kSinHard[] = {
    // FMA-variant versus SSE2-variant discriminators.
    0x1.98a2b44602890p-3, 0x1.0d1ff710e882cp-2, 0x1.3e3aec2d2a794p-2, 0x1.ffad5d1e96060p-1,
    -0x1.25806486f67e1p+1, 0x1.dba997e3446f4p-1, -0x1.36aa54e16b826p+1, 0x1.36cb03cfd0199p+1,
    -0x1.36c4b58b35ef3p+1, -0x1.26395ba4079a8p+25, 0x1.22f6eb519929ap+26, 0x1.5d4e623627f82p+26,
    // The bounds of the ranges and the special values.
    0x1p-26, -0x1p-26, 0x1.fffffffffffffp-27, 0x1.020c49ba5e354p-3, 0x1.020c49ba5e353p-3, 0x1.b6p-1,
    -0x1.b5fffffffffffp-1, 0x1.368fdp+1, -0x1.368fcffffffffp+1, 0x1.921fbp+26,
    -0x1.921faffffffffp+26, 0x1.921fb54442d18p+0, 0x1.921fb54442d18p+1, 1e22, 0.0, -0.0, kDenormMin,
    kMin, kMax, kInf, -kInf, kNaN, -kNaN};
constexpr double kCosHard[] = {
    // FMA-variant versus SSE2-variant discriminators.
    -0x1.eb487de3d3934p-4, -0x1.cb1bcc41146f1p-4, 0x1.f0a76b88e1024p-4, 0x1.a99b7d52d8c0cp-2,
    0x1.7c49e907b5d48p-2, -0x1.891d47f49ce80p-3, -0x1.caf7eb4339363p+0, -0x1.cf071ba1f9b32p+0,
    0x1.5b1eb29f8f6b8p+0, -0x1.36be9704dd644p+1, 0x1.3f3de8ca8debap+3, 0x1.403fa2b3e7ceep+2,
    -0x1.5d0fd9ab4bcecp+25, -0x1.54315fd7dbfe8p+24, 0x1.c9fe4f3c3848cp+25,
    // The bounds of the ranges and the special values.
    0x1p-27, -0x1p-27, 0x1.fffffffffffffp-28, 0x1.b6p-1, -0x1.b5fffffffffffp-1, 0x1.368fdp+1,
    -0x1.368fcffffffffp+1, 0x1.921fbp+26, -0x1.921faffffffffp+26, 0x1.921fb54442d18p+0,
    0x1.921fb54442d18p+1, 1e22, 0.0, -0.0, kDenormMin, kMin, kMax, kInf, -kInf, kNaN, -kNaN};

constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr float kNaNF = std::numeric_limits<float>::quiet_NaN();
constexpr float kMinF = std::numeric_limits<float>::min();
constexpr float kMaxF = std::numeric_limits<float>::max();
constexpr float kDenormMinF = std::numeric_limits<float>::denorm_min();

constexpr float kExpfHard[] = {
    // FMA-variant versus SSE2-variant discriminators.
    0x1.04845ep+5f, -0x1.f8cbb2p+5f,
    // The thresholds of the special paths and the special values.
    88.0f, -88.0f, 0x1.5fffffp+6f, -0x1.5fffffp+6f, 0x1.62e42ep+6f, 0x1.62e430p+6f, -0x1.9fe368p+6f,
    -0x1.9fe36ap+6f, -0x1.9d1d9ep+6f, -0x1.9d1da0p+6f, 0.0f, -0.0f, kDenormMinF, kMinF, kMaxF,
    -kMaxF, kInfF, -kInfF, kNaNF, -kNaNF, 1.0f, -1.0f};

constexpr float kLogfHard[] = {
    1.0f,  0x1.000002p0f, 0x1.fffffep-1f,   0x1.66p-1f,  0x1.65fffep-1f, 0x1.66p0f, 2.0f,  0.5f,
    10.0f, kMinF,         0x1.fffffcp-127f, kDenormMinF, -kDenormMinF,   0.0f,      -0.0f, -1.0f,
    kMaxF, kInfF,         -kInfF,           kNaNF,       -kNaNF};

// splitmix64: a fixed sequence from a fixed seed.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = state += 0x9e3779b97f4a7c15u;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
};

// pow's pairs {x, y}: the first are FMA-variant versus SSE2-variant discriminators, the rest
// the thresholds of its special paths (x's sign, subnormal and infinite x, |y| < 2^-65 and
// >= 2^63, |y log x| near 2^-54, 512 and 1024 where the result overflows or underflows).
constexpr double kPowHard[][2] = {{0x1.3f93676453d1cp+6, 0x1.c60d9232f6c8cp+2},
                                  {0x1.bdb050f0f0fcdp+5, 0x1.02bc013eee0bap+3},
                                  {0x1.78875def46835p+5, 0x1.1fff121299474p+3},
                                  {0x1.77f01bffcbe8fp+6, -0x1.f73970288778ap+2},
                                  {0x1.466c2d10bebc6p+5, -0x1.80333a460ece4p+2},
                                  {0x1.245257936b35cp+5, -0x1.0dda278478f66p+3},
                                  {0x1.84d31f0f4ce34p-1, -0x1.d774f00f61d36p+7},
                                  {0x1.b2b6e048f21a1p+0, -0x1.1c3f8034ed670p+5},
                                  {0x1.d7b405b77008dp+0, 0x1.067182b27ade8p+8},
                                  {0x1.bd47743e44201p+0, -0x1.4b559894428f8p+5},
                                  {0x1.9d1cb55dde345p+0, 0x1.14323cd7339cep+8},
                                  {0x1.d8a608fac5d0cp+0, 0x1.9c6244ba1fcf6p+7},
                                  {0x1.893cc3c27d438p+61, -0x1.e48ab1d1ebad0p+0},
                                  {0x1.0e59608da4bcdp+264, 0x1.4855aa9f5530ap+1},
                                  {0x1.b1e1754ad5d54p-807, 0x1.3f27b0bb55724p+0},
                                  {0x1.66f9a101d3e40p-318, -0x1.6f5716f7048a2p+0},
                                  {0x1.b9449db0b1620p+402, 0x1.c1f0b44852628p+0},
                                  {0x1.3029d01b0f23ep-229, 0x1.ef5817f1fd740p+0},
                                  {2.0, 0x1p-65},
                                  {2.0, 0x1.fffffffffffffp-66},
                                  {2.0, -0x1p-65},
                                  {1.0000001, 0x1.fffffffffffffp62},
                                  {1.0000001, 0x1p63},
                                  {0.9999999, -0x1p63},
                                  {2.0, 1023.0},
                                  {2.0, 1024.0},
                                  {2.0, -1074.0},
                                  {2.0, -1075.0},
                                  {2.0, -1022.5},
                                  {0x1p-1022, 0.5},
                                  {0x1.fffffffffffffp-1023, 0.5},
                                  {kDenormMin, 0.25},
                                  {-2.0, 3.0},
                                  {-2.0, 0.5},
                                  {-0.0, -1.0},
                                  {0.0, 0.0},
                                  {1.0, kNaN},
                                  {kNaN, 0.0},
                                  {kInf, -1.0},
                                  {-kInf, 3.0},
                                  {kMax, 1.0},
                                  {1.0, 1.0},
                                  {0x1.0000000000001p0, 0x1p-2},
                                  {10.0, 0x1.62e42fefa39efp+9 / 0x1.26bb1bbb55516p+1},
                                  {0.1, 308.0},
                                  {0.1, 324.0},
                                  {10.0, -307.5},
                                  {3.0, 2.5}};

// powf's pairs: the thresholds of its special paths (glibc's FMA and SSE2 variants of powf
// agreed on 3e6 random pairs, so there are no discriminators to add).
constexpr float kPowfHard[][2] = {
    {2.0f, 126.0f},           {2.0f, 127.0f},       {2.0f, 128.0f},   {2.0f, -126.0f},
    {2.0f, -149.0f},          {2.0f, -150.0f},      {2.0f, 125.999f}, {0x1p-126f, 0.5f},
    {0x1.fffffcp-127f, 0.5f}, {kDenormMinF, 0.25f}, {-2.0f, 3.0f},    {-2.0f, 0.5f},
    {-0.0f, -1.0f},           {0.0f, 0.0f},         {1.0f, kNaNF},    {kNaNF, 0.0f},
    {kInfF, -1.0f},           {-kInfF, 3.0f},       {kMaxF, 1.0f},    {1.0f, 1.0f},
    {2.0f, kDenormMinF},      {2.0f, kMaxF},        {0.5f, -kMaxF},   {3.0f, 2.5f},
    {10.0f, 38.0f},           {10.0f, 39.0f},       {10.0f, -45.0f},  {0.1f, 37.5f}};

// The next input of generator g for `function`.
double generated(MathFunction function, int g, Random& rng) {
    const std::uint64_t bits = rng.next();
    if (function == MathFunction::Exp) {
        switch (g) {
            case 0: return std::bit_cast<double>(bits);  // every pattern
            case 1: return rng.uniform(-10.0, 10.0);
            case 2: return rng.uniform(-750.0, 750.0);  // overflow and underflow paths
            default: {
                // Near the points where the rounding of k changes: x = (m + 1/2) ln2 / 128.
                const double m =
                    static_cast<double>(static_cast<std::int64_t>(bits % 190000) - 95000);
                const double x = (m + 0.5) * 0x1.62e42fefa39efp-8;
                return std::nextafter(x, (bits >> 40 & 1) ? kInf : -kInf);
            }
        }
    }
    if (function == MathFunction::Sin || function == MathFunction::Cos) {
        switch (g) {
            case 0: return std::bit_cast<double>(bits);  // every pattern
            case 1: return rng.uniform(-2.5, 2.5);       // the paths without reduction
            case 2: return rng.uniform(-1e4, 1e4);       // many quadrants
            default: {  // every binade up to the last reduced one, either sign
                const double x = std::ldexp(1.0 + rng.unit(), static_cast<int>(bits % 57) - 30);
                return (bits >> 40 & 1) ? -x : x;
            }
        }
    }
    switch (g) {
        case 0: return std::bit_cast<double>(bits >> 1);  // every non-negative pattern
        case 1: return rng.uniform(0.0, 100.0);
        case 2: return rng.uniform(0x1.cp-1, 0x1.12p0);  // the near-1 path and around it
        default:                                         // every binade, subnormals included
            return std::ldexp(1.0 + rng.unit(), static_cast<int>(bits % 2100) - 1075);
    }
}

// The next float32 input of generator g for `function`.
float generated_f32(MathFunction function, int g, Random& rng) {
    const std::uint64_t bits = rng.next();
    const float any = std::bit_cast<float>(static_cast<std::uint32_t>(bits));  // every pattern
    const float binade =  // every binade, subnormals included
        std::ldexp(1.0f + static_cast<float>(rng.unit()), static_cast<int>(bits % 280) - 150);
    if (function == MathFunction::Expf) {
        switch (g) {
            case 0: return any;
            case 1: return static_cast<float>(rng.uniform(-10.0, 10.0));
            case 2: return static_cast<float>(rng.uniform(-110.0, 95.0));  // the special paths
            default: return (bits >> 40 & 1) ? -binade : binade;
        }
    }
    switch (g) {
        case 0: return std::abs(any);
        case 1: return static_cast<float>(rng.uniform(0.0, 100.0));
        case 2: return static_cast<float>(rng.uniform(0.9, 1.1));
        default: return binade;
    }
}

// The next pair of pow's generator g.
std::array<double, 2> generated_pow(int g, Random& rng) {
    const std::uint64_t bits = rng.next();
    switch (g) {
        case 0: return {std::bit_cast<double>(rng.next()), std::bit_cast<double>(bits)};
        case 1: return {rng.uniform(0.0, 100.0), rng.uniform(-10.0, 10.0)};
        case 2: {
            // y log x across the result's whole range, its overflow and underflow included.
            const double x = std::ldexp(1.0 + rng.unit(), static_cast<int>(bits % 2046) - 1022);
            const double t = rng.uniform(-760.0, 720.0);
            return {x, x == 1.0 ? t : t / std::log(x)};
        }
        default:  // x near 1, where log x is small and y large
            return {rng.uniform(0.99, 1.01), rng.uniform(-1e5, 1e5)};
    }
}

// The next pair of powf's generator g.
std::array<float, 2> generated_powf(int g, Random& rng) {
    const std::uint64_t bits = rng.next();
    switch (g) {
        case 0:
            return {std::bit_cast<float>(static_cast<std::uint32_t>(bits)),
                    std::bit_cast<float>(static_cast<std::uint32_t>(bits >> 32))};
        case 1:
            return {static_cast<float>(rng.uniform(0.0, 100.0)),
                    static_cast<float>(rng.uniform(-10.0, 10.0))};
        case 2: {
            // y log2 x across the result's whole range, its overflow and underflow included.
            const float x = std::ldexp(1.0f + static_cast<float>(rng.unit()),
                                       static_cast<int>(bits % 254) - 126);
            const double t = rng.uniform(-160.0, 140.0);
            return {x, static_cast<float>(x == 1.0f ? t : t / std::log2(x))};
        }
        default:
            return {static_cast<float>(rng.uniform(0.99, 1.01)),
                    static_cast<float>(rng.uniform(-1e4, 1e4))};
    }
}

std::vector<float> inputs_f32(MathFunction function) {
    std::vector<float> xs;
    if (function == MathFunction::Expf) {
        xs.assign(std::begin(kExpfHard), std::end(kExpfHard));
    } else {
        xs.assign(std::begin(kLogfHard), std::end(kLogfHard));
    }
    Random rng{function == MathFunction::Expf ? 0x5eed0e4fu : 0x5eed010fu};
    for (int g = 0; g < 4; ++g) {
        for (std::size_t k = 0; k < kPerGenerator; ++k)
            xs.push_back(generated_f32(function, g, rng));
    }
    return xs;
}

std::vector<double> inputs(MathFunction function) {
    std::vector<double> xs;
    std::uint64_t seed = 0x5eed0109u;
    if (function == MathFunction::Exp) {
        xs.assign(std::begin(kExpHard), std::end(kExpHard));
        seed = 0x5eed0e4bu;
    } else if (function == MathFunction::Sin) {
        xs.assign(std::begin(kSinHard), std::end(kSinHard));
        seed = 0x5eed0513u;
    } else if (function == MathFunction::Cos) {
        xs.assign(std::begin(kCosHard), std::end(kCosHard));
        seed = 0x5eed0c05u;
    } else {
        xs.assign(std::begin(kLogHard), std::end(kLogHard));
    }
    Random rng{seed};
    for (int g = 0; g < 4; ++g) {
        for (std::size_t k = 0; k < kPerGenerator; ++k) xs.push_back(generated(function, g, rng));
    }
    return xs;
}

// The inputs whose results from the kernel and the reference differ in their bits.
template <class Bits, class T>
SelfTestResult mismatches(const std::vector<T>& xs,
                          void (*kernel)(const T*, T*, std::size_t, T (*)(T)), T (*reference)(T)) {
    std::vector<T> ys(xs.size());
    kernel(xs.data(), ys.data(), xs.size(), reference);
    SelfTestResult result{xs.size(), 0};
    for (std::size_t i = 0; i < xs.size(); ++i)
        result.mismatches += std::bit_cast<Bits>(ys[i]) != std::bit_cast<Bits>(reference(xs[i]));
    return result;
}

// The pairs whose results from the pow kernel and the reference differ: the hard pairs and the
// generated ones as two arrays, then each hard exponent over generated bases and each hard base
// over generated exponents as one value.
template <class Bits, class T, std::size_t H>
SelfTestResult pow_mismatches(void (*kernel)(const T*, bool, const T*, bool, T*, std::size_t,
                                             T (*)(T, T)),
                              T (*reference)(T, T), const T (&hard)[H][2],
                              std::array<T, 2> (*generate)(int, Random&), std::uint64_t seed) {
    std::vector<T> xs, ys;
    for (const auto& p : hard) {
        xs.push_back(p[0]);
        ys.push_back(p[1]);
    }
    Random rng{seed};
    for (int g = 0; g < 4; ++g) {
        for (std::size_t k = 0; k < kPerGenerator; ++k) {
            const std::array<T, 2> p = generate(g, rng);
            xs.push_back(p[0]);
            ys.push_back(p[1]);
        }
    }
    std::vector<T> out(xs.size());
    SelfTestResult result{0, 0};
    const auto count = [&](std::size_t i, T x, T y) {
        ++result.inputs;
        result.mismatches += std::bit_cast<Bits>(out[i]) != std::bit_cast<Bits>(reference(x, y));
    };
    kernel(xs.data(), true, ys.data(), true, out.data(), xs.size(), reference);
    for (std::size_t i = 0; i < xs.size(); ++i) count(i, xs[i], ys[i]);
    const std::size_t m = xs.size() / 256;
    for (const auto& p : hard) {
        kernel(xs.data(), true, &p[1], false, out.data(), m, reference);
        for (std::size_t i = 0; i < m; ++i) count(i, xs[i], p[1]);
        kernel(&p[0], false, ys.data(), true, out.data(), m, reference);
        for (std::size_t i = 0; i < m; ++i) count(i, p[0], ys[i]);
    }
    return result;
}

}  // namespace

SelfTestResult self_test(VectorPowKernel kernel, ScalarPowFn reference) {
    return pow_mismatches<std::uint64_t>(kernel, reference, kPowHard, generated_pow, 0x5eed0b0bu);
}

SelfTestResult self_test(VectorPowKernelF32 kernel, ScalarPowFnF32 reference) {
    return pow_mismatches<std::uint32_t>(kernel, reference, kPowfHard, generated_powf, 0x5eed0b0fu);
}

SelfTestResult self_test(MathFunction function, VectorMathKernel kernel, ScalarMathFn reference) {
    return mismatches<std::uint64_t>(inputs(function), kernel, reference);
}

SelfTestResult self_test(MathFunction function, VectorMathKernelF32 kernel,
                         ScalarMathFnF32 reference) {
    return mismatches<std::uint32_t>(inputs_f32(function), kernel, reference);
}

}  // namespace qv
