// float16 to and from float32 as NumPy converts them: widening is exact; narrowing rounds to
// nearest even, through subnormals, overflows to infinity, and keeps a NaN's sign and the top
// bits of its payload without quieting it (a payload that would vanish becomes 1), which the
// F16C instructions would not do. Written without branches, as masks, so that the cast loops
// vectorise; the same bits as NumPy's branchy conversion for every float32 and every half
// (checked over all of them when written; the tests keep every half, the midpoints between
// them and their neighbours, and random bits).
#pragma once

#include <bit>
#include <cstdint>

#include "ir/value_type.hpp"

namespace qv {

namespace half_detail {
// a where c, else b.
constexpr std::uint32_t pick(bool c, std::uint32_t a, std::uint32_t b) noexcept {
    return b ^ ((a ^ b) & (0u - static_cast<std::uint32_t>(c)));
}
}  // namespace half_detail

constexpr float half_to_float(Half h) noexcept {
    using half_detail::pick;
    const auto bits = static_cast<std::uint32_t>(h);
    const std::uint32_t sign = (bits & 0x8000u) << 16;
    const std::uint32_t magnitude = bits & 0x7fffu;
    // Normal, infinite and NaN: the exponent rebiased by 112 (all ones stays all ones), the
    // significand moved up whole.
    const std::uint32_t normal =
        (magnitude << 13) + pick(magnitude >= 0x7c00u, 0x70000000u, 0x38000000u);
    // Subnormal (and zero): its significand times 2^-24, exact in float32.
    const auto subnormal = std::bit_cast<std::uint32_t>(
        static_cast<float>(static_cast<std::int32_t>(magnitude)) * 0x1p-24f);
    return std::bit_cast<float>(sign | pick(magnitude < 0x0400u, subnormal, normal));
}

constexpr Half float_to_half(float x) noexcept {
    using half_detail::pick;
    const auto f = std::bit_cast<std::uint32_t>(x);
    const std::uint32_t sign = (f >> 16) & 0x8000u;
    const std::uint32_t a = f & 0x7fffffffu;
    std::uint32_t nan = 0x7c00u | ((a & 0x007fffffu) >> 13);
    nan += static_cast<std::uint32_t>(nan == 0x7c00u);
    // From 2^-14 up: rounded to nearest even at the 13 dropped bits (adding 0xfff, and one more
    // when the kept part is odd, carries exactly past a half or an odd tie), then rebiased; a
    // carry out of the significand raises the exponent, up to infinity at 65520.
    const std::uint32_t normal = (a + 0x0fffu + ((a >> 13) & 1u) - 0x38000000u) >> 13;
    // Below 2^-14: adding 0.5, whose ulp is 2^-24 (float16's subnormal step), rounds |x| to a
    // multiple of it by the hardware's nearest even; the multiple is the half's bits.
    const std::uint32_t subnormal =
        std::bit_cast<std::uint32_t>(std::bit_cast<float>(a) + 0.5f) - 0x3f000000u;
    const std::uint32_t finite = pick(a >= 0x38800000u, normal, subnormal);
    return static_cast<Half>(sign |
                             pick(a > 0x7f800000u, nan, pick(a >= 0x47800000u, 0x7c00u, finite)));
}

}  // namespace qv
