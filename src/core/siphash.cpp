// SipHash-c-d over a byte stream, instantiated for 1-3 (the cache key) and 2-4 (reference).
#include "core/siphash.hpp"

#include <bit>

namespace qv {

namespace {

struct State {
    std::uint64_t& v0;
    std::uint64_t& v1;
    std::uint64_t& v2;
    std::uint64_t& v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
};

}  // namespace

template <int C, int D>
SipHasher<C, D>::SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

template <int C, int D>
void SipHasher<C, D>::compress(std::uint64_t m) noexcept {
    State s{v0_, v1_, v2_, v3_};
    v3_ ^= m;
    for (int i = 0; i < C; ++i) s.round();
    v0_ ^= m;
}

template <int C, int D>
void SipHasher<C, D>::write(std::span<const std::uint8_t> bytes) noexcept {
    length_ += bytes.size();
    std::size_t at = 0;
    // Top up a partial word first, then whole words, then keep the rest for later.
    while (tail_len_ != 0 && at < bytes.size()) {
        tail_ |= static_cast<std::uint64_t>(bytes[at++]) << (8 * tail_len_);
        if (++tail_len_ == 8) {
            compress(tail_);
            tail_ = 0;
            tail_len_ = 0;
        }
    }
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t m = 0;
        for (int i = 0; i < 8; ++i) m |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
        compress(m);
    }
    for (; at < bytes.size(); ++at) {
        tail_ |= static_cast<std::uint64_t>(bytes[at]) << (8 * tail_len_++);
    }
}

template <int C, int D>
void SipHasher<C, D>::write_u64_le(std::uint64_t v) noexcept {
    if (tail_len_ == 0) {  // aligned: one whole word, no byte loop
        length_ += 8;
        compress(v);
        return;
    }
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    write(bytes);
}

template <int C, int D>
std::uint64_t SipHasher<C, D>::finish() const noexcept {
    SipHasher copy = *this;
    copy.compress(copy.tail_ | (copy.length_ << 56));
    State s{copy.v0_, copy.v1_, copy.v2_, copy.v3_};
    copy.v2_ ^= 0xff;
    for (int i = 0; i < D; ++i) s.round();
    return copy.v0_ ^ copy.v1_ ^ copy.v2_ ^ copy.v3_;
}

template class SipHasher<1, 3>;
template class SipHasher<2, 4>;

}  // namespace qv
