// The exp, log, pow, expf, logf, powf, sin and cos replicas in 4 lanes of AVX2 (with FMA in the
// library's FMA build). Compiled under a target pragma, not with -mavx2 for the file, so that
// nothing here leaks AVX2 code into CPUs without it.
#include "exec/vector_libm/replica.hpp"

#if QV_VECTOR_LIBM

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace qv::replica_avx2 {

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace {

using D = __m256d;
using I = __m256i;
using M = __m256d;  // all ones in the lanes that hold
using J = __m128i;  // a 32-bit integer per lane
constexpr unsigned kLanes = 4;
constexpr unsigned kAllLanes = 0xf;

inline D load(const double* p) { return _mm256_loadu_pd(p); }
inline void store(double* p, D v) { _mm256_storeu_pd(p, v); }
inline D load(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
inline void store(float* p, D v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
inline D splat(double x) { return _mm256_set1_pd(x); }
inline I splat_int(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }
inline I as_int(D x) { return _mm256_castpd_si256(x); }
inline D as_double(I x) { return _mm256_castsi256_pd(x); }

inline D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
inline D add(D a, D b) { return _mm256_add_pd(a, b); }
inline D sub(D a, D b) { return _mm256_sub_pd(a, b); }
inline D mul(D a, D b) { return _mm256_mul_pd(a, b); }
inline D fms(D a, D b, D c) { return _mm256_fmsub_pd(a, b, c); }
inline D abs(D x) { return _mm256_andnot_pd(splat(-0.0), x); }

inline I add_int(I a, I b) { return _mm256_add_epi64(a, b); }
inline I sub_int(I a, I b) { return _mm256_sub_epi64(a, b); }
inline I and_bits(I a, I b) { return _mm256_and_si256(a, b); }
inline I shift_left(I a, int k) { return _mm256_sll_epi64(a, _mm_cvtsi32_si128(k)); }
inline I shift_right(I a, int k) { return _mm256_srl_epi64(a, _mm_cvtsi32_si128(k)); }
inline I gather(const std::uint64_t* table, I index) {
    return _mm256_i64gather_epi64(reinterpret_cast<const long long*>(table), index, 8);
}
inline I lookup16(const std::uint64_t* table, J index) {
    return _mm256_i32gather_epi64(reinterpret_cast<const long long*>(table), index, 8);
}
inline I lookup32(const std::uint64_t* table, I index) {
    return gather(table, and_bits(index, splat_int(31)));
}

inline J float_bits(D x) { return _mm_castps_si128(_mm256_cvtpd_ps(x)); }
inline D float_of_bits(J x) { return _mm256_cvtps_pd(_mm_castsi128_ps(x)); }
inline D from_int32(J x) { return _mm256_cvtepi32_pd(x); }
inline J splat32(std::uint32_t x) { return _mm_set1_epi32(static_cast<int>(x)); }
inline J sub32(J a, J b) { return _mm_sub_epi32(a, b); }
inline J and32(J a, J b) { return _mm_and_si128(a, b); }
inline J shift_left32(J a, int k) { return _mm_slli_epi32(a, k); }
inline J shift_right32(J a, int k) { return _mm_srli_epi32(a, k); }
inline J shift_right_arith32(J a, int k) { return _mm_srai_epi32(a, k); }

// The double of the arithmetic shift tmp >> 52 (AVX2 has neither that shift nor a 64-bit
// conversion): the sign-flipped logical shift is k + 2048, exactly placed in 2^52's mantissa.
inline D exponent_of(I tmp) {
    const I biased = shift_right(_mm256_xor_si256(tmp, splat_int(1ull << 63)), 52);
    const I placed = _mm256_or_si256(biased, splat_int(0x4330000000000000u));
    return sub(as_double(placed), splat(0x1p52 + 2048.0));
}

inline M within(D x, double lo, double hi) {
    return _mm256_and_pd(_mm256_cmp_pd(x, splat(lo), _CMP_GE_OQ),
                         _mm256_cmp_pd(x, splat(hi), _CMP_LT_OQ));
}
inline M below(D x, double hi) { return _mm256_cmp_pd(x, splat(hi), _CMP_LT_OQ); }
inline M equal(D x, double v) { return _mm256_cmp_pd(x, splat(v), _CMP_EQ_OQ); }
inline M bit_set(I x, std::uint64_t bit) {
    return _mm256_castsi256_pd(_mm256_cmpeq_epi64(and_bits(x, splat_int(bit)), splat_int(bit)));
}
inline unsigned lanes(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
inline D select(M m, D if_true, D if_false) { return _mm256_blendv_pd(if_false, if_true, m); }

}  // namespace

#include "exec/vector_libm/replica_kernels.inc"

#pragma GCC pop_options

}  // namespace qv::replica_avx2

#endif
