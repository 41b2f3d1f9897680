// Division of int32 and int64 values by one divisor a whole loop shares, through a
// multiplication instead of a division instruction, with exactly int_floor_divide's,
// int_remainder's and int_fmod's values.
//
// Why it is exact. Let W be the width, n' = |n| <= 2^(W-1) (as unsigned, so MIN has one too),
// d' = |d| in [2, 2^(W-1)] (the loops divide by 0, 1 and -1 through the plain functions),
// l = ceil(log2 d'), k = W - 1 + l, m = ceil(2^k / d') and e = m d' - 2^k, so 0 <= e < d'.
// With n' = q d' + r (0 <= r < d'):
//     m n' / 2^k = n' / d' + e n' / (d' 2^k) = q + (r + e n' / 2^k) / d',
// and e n' < d' 2^(W-1) <= 2^l 2^(W-1) = 2^k, so r + e n' / 2^k < r + 1 <= d': the floor of
// m n' / 2^k is q. The multiplier fits W bits: m = 2^(W-1) when d' = 2^l (MIN's magnitude
// included), and otherwise d' >= 2^(l-1) + 1, so 2^k / d' <= 2^W - 1 (since 2^W > 2^(l-1) + 1)
// and its ceiling too. The high word of m n' is floor(m n' / 2^W); shifted right by l - 1 more
// it is floor(m n' / 2^k) = q (floors of divisions by powers of two compose).
// The truncated quotient is q with the sign of n d (q <= 2^(W-2) as d' >= 2, so it fits), and
// its remainder n - q d is computed wrapping, which is exact because its true value is below
// d' in magnitude. Floor division and the floored remainder then correct by one where C's
// truncation and the floor differ (a nonzero remainder whose sign, n's, is not d's), which is
// how the plain functions define them; fmod is the truncated remainder itself.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <type_traits>

#include "ir/int_ops.hpp"
#include "ir/ops.hpp"

namespace qv {

// The integer operators computed through an IntDivisor when their divisor is loop-invariant.
constexpr bool divides(BinaryOp op) noexcept {
    return op == BinaryOp::FloorDivide || op == BinaryOp::Remainder || op == BinaryOp::Fmod;
}

template <std::signed_integral I>
class IntDivisor {
    using U = std::make_unsigned_t<I>;
    static constexpr int kWidth = sizeof(I) * 8;
    // Twice the width, for 2^k in the multiplier's computation.
    __extension__ using Wide = std::conditional_t<kWidth == 32, std::uint64_t, unsigned __int128>;

public:
    // d is neither 0, 1 nor -1.
    explicit IntDivisor(I d) noexcept : d_(d), sign_(d < 0 ? ~U{0} : U{0}) {
        const U magnitude = (static_cast<U>(d) ^ sign_) - sign_;
        const int l = std::bit_width(static_cast<U>(magnitude - 1));
        shift_ = l - 1;
        const Wide two_k = Wide{1} << (kWidth - 1 + l);
        multiplier_ = static_cast<U>((two_k + magnitude - 1) / magnitude);
    }

    // n op d, for op one of `divides`.
    template <BinaryOp Op>
    I apply(I n) const noexcept {
        const U negative = static_cast<U>(n >> (kWidth - 1));  // all ones when n < 0
        const U magnitude = (static_cast<U>(n) ^ negative) - negative;
        const U q = high_product(multiplier_, magnitude) >> shift_;
        const U q_sign = negative ^ sign_;
        const U truncated = (q ^ q_sign) - q_sign;
        const I rem = static_cast<I>(static_cast<U>(n) - truncated * static_cast<U>(d_));
        if constexpr (Op == BinaryOp::Fmod) {
            return rem;
        } else {
            const U off = static_cast<U>(rem != 0 && (rem ^ d_) < 0);  // 1 where floor differs
            if constexpr (Op == BinaryOp::FloorDivide) {
                return static_cast<I>(truncated - off);
            } else {
                return static_cast<I>(static_cast<U>(rem) + (static_cast<U>(d_) & (U{0} - off)));
            }
        }
    }

    // Its parameters, for the loop sets' vector form of `apply` (exec/divide_lanes.inc).
    I divisor() const noexcept { return d_; }
    U sign() const noexcept { return sign_; }
    U multiplier() const noexcept { return multiplier_; }
    int shift() const noexcept { return shift_; }

private:
    // The high word of a * b, from products the loop sets have in vector form (32 x 32 -> 64
    // bits), so that the loops vectorise: 64-bit lanes have no high multiply.
    static U high_product(U a, U b) noexcept {
        if constexpr (kWidth == 32) {
            return static_cast<U>(static_cast<std::uint64_t>(a) * b >> 32);
        } else {
            constexpr std::uint64_t kLow = 0xffffffffu;
            const std::uint64_t a_lo = a & kLow, a_hi = a >> 32, b_lo = b & kLow, b_hi = b >> 32;
            const std::uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo;
            // Below 3 * 2^32: the carry out of the middle 64 bits, without overflow.
            const std::uint64_t mid = (ll >> 32) + (lh & kLow) + (hl & kLow);
            return a_hi * b_hi + (lh >> 32) + (hl >> 32) + (mid >> 32);
        }
    }

    I d_;
    U sign_;  // all ones when d < 0
    U multiplier_;
    int shift_;
};

}  // namespace qv
