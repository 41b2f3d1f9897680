// SipHash with a 128-bit key, fed incrementally; the round counts are parameters so the
// 2-4 reference vectors check the same code that the 1-3 variant runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv {

template <int CRounds, int DRounds>
class SipHasher {
public:
    SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept;
    void write(std::span<const std::uint8_t> bytes) noexcept;
    void write_u64_le(std::uint64_t v) noexcept;
    // The hash of everything written so far; the hasher is left unchanged.
    std::uint64_t finish() const noexcept;

private:
    void compress(std::uint64_t m) noexcept;

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;  // pending bytes, little-endian
    std::size_t tail_len_ = 0;
    std::uint64_t length_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

extern template class SipHasher<1, 3>;
extern template class SipHasher<2, 4>;

}  // namespace qv
