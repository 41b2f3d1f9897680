// float16 to and from float32 as NumPy converts them: widening is exact; narrowing rounds to
// nearest even, through subnormals, overflows to infinity, and keeps a NaN's sign and the top
// bits of its payload without quieting it (a payload that would vanish becomes 1), which the
// F16C instructions would not do.
#pragma once

#include <bit>
#include <cstdint>

#include "ir/value_type.hpp"

namespace qv {

constexpr float half_to_float(Half h) noexcept {
    const std::uint32_t sign = std::uint32_t{h.bits & 0x8000u} << 16;
    std::uint32_t exp = h.bits & 0x7c00u;
    std::uint32_t sig = h.bits & 0x03ffu;
    if (exp == 0x7c00u) return std::bit_cast<float>(sign | 0x7f800000u | (sig << 13));
    if (exp == 0) {
        if (sig == 0) return std::bit_cast<float>(sign);
        // Subnormal: normalise (the leading bit becomes the implicit one).
        std::uint32_t e = 113;  // float32's biased exponent of 2^-14
        while ((sig & 0x0400u) == 0) {
            sig <<= 1;
            --e;
        }
        return std::bit_cast<float>(sign | (e << 23) | ((sig & 0x03ffu) << 13));
    }
    return std::bit_cast<float>(sign | ((exp >> 10) + 112) << 23 | (sig << 13));
}

constexpr Half float_to_half(float x) noexcept {
    const std::uint32_t f = std::bit_cast<std::uint32_t>(x);
    const auto sign = static_cast<std::uint16_t>((f >> 16) & 0x8000u);
    const std::uint32_t exp = f & 0x7f800000u;
    if (exp >= 0x47800000u) {  // infinity, NaN, or past float16's range
        const std::uint32_t sig = f & 0x007fffffu;
        if (exp == 0x7f800000u && sig != 0) {
            auto nan = static_cast<std::uint16_t>(0x7c00u + (sig >> 13));
            if (nan == 0x7c00u) ++nan;
            return Half{static_cast<std::uint16_t>(sign + nan)};
        }
        return Half{static_cast<std::uint16_t>(sign + 0x7c00u)};
    }
    if (exp <= 0x38000000u) {  // float16's subnormals, or zero
        if (exp < 0x33000000u) return Half{sign};
        const std::uint32_t e = exp >> 23;
        std::uint32_t sig = 0x00800000u + (f & 0x007fffffu);
        // The shift may drop up to 11 bits, which the tie test reads from f itself.
        sig >>= (113 - e);
        if ((sig & 0x3fffu) != 0x1000u || (f & 0x07ffu) != 0) sig += 0x1000u;
        return Half{static_cast<std::uint16_t>(sign + (sig >> 13))};
    }
    const auto half_exp = static_cast<std::uint16_t>((exp - 0x38000000u) >> 13);
    std::uint32_t sig = f & 0x007fffffu;
    if ((sig & 0x3fffu) != 0x1000u) sig += 0x1000u;
    // A carry out of the significand raises the exponent, up to infinity: still correct.
    return Half{static_cast<std::uint16_t>(sign + half_exp + (sig >> 13))};
}

}  // namespace qv
