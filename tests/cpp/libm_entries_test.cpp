#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#include "ir/libm_entries.hpp"

namespace qv {
namespace {

// Values of every kind: random bits (NaNs, infinities, subnormals included), and ranges where
// exp and pow overflow or underflow and where log and atan2 are near their hard cases.
double probe(std::mt19937_64& rng, int k) {
    switch (k % 4) {
        case 0: return std::bit_cast<double>(rng());
        case 1: return std::ldexp(static_cast<double>(rng() >> 11), -53) * 1500.0 - 750.0;
        case 2:
            return std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52,
                              static_cast<int>(rng() % 80) - 40);
        default: return 1.0 + (static_cast<double>(rng() >> 11) * 0x1p-53 - 0.5) * 1e-6;
    }
}

bool same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

TEST(LibmEntries, GiveTheStandardFunctionsBits) {
#if defined(__GLIBC__) && defined(__x86_64__)
    EXPECT_TRUE(libm_entries().cores) << "the wrapper-free cores were not found";
#endif
    const LibmEntries& e = libm_entries();
    std::mt19937_64 rng(11);
    int differ = 0;
    for (int k = 0; k < 400000 && differ < 5; ++k) {
        const double x = probe(rng, k), y = probe(rng, k / 4);
        const struct {
            const char* name;
            double got, want;
        } cases[] = {{"exp", e.exp(x), std::exp(x)},
                     {"log", e.log(x), std::log(x)},
                     {"log10", e.log10(x), std::log10(x)},
                     {"pow", e.pow(x, y), std::pow(x, y)},
                     {"atan2", e.atan2(x, y), std::atan2(x, y)}};
        for (const auto& c : cases) {
            if (!same(c.got, c.want)) {
                ADD_FAILURE() << c.name << "(" << x << ", " << y << "): " << c.got << " vs "
                              << c.want;
                ++differ;
            }
        }
    }
}

}  // namespace
}  // namespace qv
