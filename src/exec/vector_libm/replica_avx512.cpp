// The exp, log, pow, expf, logf, powf, sin and cos replicas in 8 lanes of AVX-512 (F and DQ).
// Compiled under a target pragma, not with -mavx512f for the file, so that nothing here leaks
// AVX-512 code into other CPUs.
#include "exec/vector_libm/replica.hpp"

#if QV_VECTOR_LIBM

// GCC 12's AVX-512 intrinsics fill their "undefined" source operands with themselves, which
// its own -Wmaybe-uninitialized then reports once they are inlined here (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace qv::replica_avx512 {

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,fma")

namespace {

using D = __m512d;
using I = __m512i;
using M = __mmask8;
using J = __m256i;  // a 32-bit integer per lane
constexpr unsigned kLanes = 8;
constexpr unsigned kAllLanes = 0xff;

inline D load(const double* p) { return _mm512_loadu_pd(p); }
inline void store(double* p, D v) { _mm512_storeu_pd(p, v); }
inline D load(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
inline void store(float* p, D v) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(v)); }
inline D splat(double x) { return _mm512_set1_pd(x); }
inline I splat_int(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
inline I as_int(D x) { return _mm512_castpd_si512(x); }
inline D as_double(I x) { return _mm512_castsi512_pd(x); }

inline D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
inline D add(D a, D b) { return _mm512_add_pd(a, b); }
inline D sub(D a, D b) { return _mm512_sub_pd(a, b); }
inline D mul(D a, D b) { return _mm512_mul_pd(a, b); }
inline D fms(D a, D b, D c) { return _mm512_fmsub_pd(a, b, c); }
inline D abs(D x) { return as_double(_mm512_andnot_si512(splat_int(1ull << 63), as_int(x))); }

inline I add_int(I a, I b) { return _mm512_add_epi64(a, b); }
inline I sub_int(I a, I b) { return _mm512_sub_epi64(a, b); }
inline I and_bits(I a, I b) { return _mm512_and_si512(a, b); }
inline I shift_left(I a, int k) { return _mm512_sll_epi64(a, _mm_cvtsi32_si128(k)); }
inline I shift_right(I a, int k) { return _mm512_srl_epi64(a, _mm_cvtsi32_si128(k)); }
inline I gather(const std::uint64_t* table, I index) {
    return _mm512_i64gather_epi64(index, reinterpret_cast<const long long*>(table), 8);
}
// Two registers hold 16 entries: a permute across them instead of a gather.
inline I lookup16(const std::uint64_t* table, I index) {
    return _mm512_permutex2var_epi64(_mm512_load_si512(table), index, _mm512_load_si512(table + 8));
}
inline I lookup16(const std::uint64_t* table, J index) {
    return lookup16(table, _mm512_cvtepu32_epi64(index));
}
inline I lookup32(const std::uint64_t* table, I index) {
    const __mmask8 upper = _mm512_test_epi64_mask(index, splat_int(16));
    return _mm512_mask_blend_epi64(upper, lookup16(table, index), lookup16(table + 16, index));
}

inline J float_bits(D x) { return _mm256_castps_si256(_mm512_cvtpd_ps(x)); }
inline D float_of_bits(J x) { return _mm512_cvtps_pd(_mm256_castsi256_ps(x)); }
inline D from_int32(J x) { return _mm512_cvtepi32_pd(x); }
inline J splat32(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
inline J sub32(J a, J b) { return _mm256_sub_epi32(a, b); }
inline J and32(J a, J b) { return _mm256_and_si256(a, b); }
inline J shift_left32(J a, int k) { return _mm256_slli_epi32(a, k); }
inline J shift_right32(J a, int k) { return _mm256_srli_epi32(a, k); }
inline J shift_right_arith32(J a, int k) { return _mm256_srai_epi32(a, k); }

// The double of the arithmetic shift tmp >> 52 (exact: |k| < 2^11).
inline D exponent_of(I tmp) { return _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52)); }

inline M within(D x, double lo, double hi) {
    return _mm512_cmp_pd_mask(x, splat(lo), _CMP_GE_OQ) &
           _mm512_cmp_pd_mask(x, splat(hi), _CMP_LT_OQ);
}
inline M below(D x, double hi) { return _mm512_cmp_pd_mask(x, splat(hi), _CMP_LT_OQ); }
inline M equal(D x, double v) { return _mm512_cmp_pd_mask(x, splat(v), _CMP_EQ_OQ); }
inline M bit_set(I x, std::uint64_t bit) { return _mm512_test_epi64_mask(x, splat_int(bit)); }
inline unsigned lanes(M m) { return m; }
inline D select(M m, D if_true, D if_false) { return _mm512_mask_blend_pd(m, if_false, if_true); }

}  // namespace

#include "exec/vector_libm/replica_kernels.inc"

#pragma GCC pop_options

}  // namespace qv::replica_avx512

#pragma GCC diagnostic pop

#endif
