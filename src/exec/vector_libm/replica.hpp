// Vector replicas of glibc's exp, log, pow, expf, logf, powf, sin and cos (2.28 and later): the
// library's own operation sequence, tables and special cases, lane by lane, so that they give its
// bits. Each in two builds, as glibc has them: its FMA variant (what its resolvers pick on CPUs
// with FMA and AVX2) and its non-FMA one (SSE2, and AVX for exp and log: the same unfused code);
// sin and cos in the FMA one only. Whether they may be used is decided by vector_libm.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

// The replicas need GCC's target attributes and an x86-64 glibc to copy.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__GLIBC__)
#define QV_VECTOR_LIBM 1
#else
#define QV_VECTOR_LIBM 0
#endif

namespace qv {

using ScalarMathFn = double (*)(double);
// Writes f(in[i]) to out[i] for i < n (in == out is fine); the rare lanes whose inputs take
// the library's special paths (overflow, NaN, subnormal, ...) are handed to `scalar`, which
// must be the library function being copied.
using VectorMathKernel = void (*)(const double* in, double* out, std::size_t n,
                                  ScalarMathFn scalar);
// pow(x[i], y[i]) likewise; x (or y) is one value for every element when x_array (y_array) is
// false. out may equal an operand array.
using ScalarPowFn = double (*)(double, double);
using VectorPowKernel = void (*)(const double* x, bool x_array, const double* y, bool y_array,
                                 double* out, std::size_t n, ScalarPowFn scalar);
// The same over float32 arrays.
using ScalarMathFnF32 = float (*)(float);
using VectorMathKernelF32 = void (*)(const float* in, float* out, std::size_t n,
                                     ScalarMathFnF32 scalar);
using ScalarPowFnF32 = float (*)(float, float);
using VectorPowKernelF32 = void (*)(const float* x, bool x_array, const float* y, bool y_array,
                                    float* out, std::size_t n, ScalarPowFnF32 scalar);

// Which of the library's builds of a function a replica copies.
enum class LibmVariant : std::uint8_t { Fma, NoFma };

#if QV_VECTOR_LIBM
namespace replica_avx2 {  // 4 lanes, AVX2 with FMA
#include "exec/vector_libm/replica_entries.inc"
void sin(const double* in, double* out, std::size_t n, ScalarMathFn scalar);
void cos(const double* in, double* out, std::size_t n, ScalarMathFn scalar);
namespace nofma {  // the non-FMA build; uses no fused instruction
#include "exec/vector_libm/replica_entries.inc"
}  // namespace nofma
}  // namespace replica_avx2
namespace replica_avx512 {  // 8 lanes, AVX-512 F and DQ
#include "exec/vector_libm/replica_entries.inc"
void sin(const double* in, double* out, std::size_t n, ScalarMathFn scalar);
void cos(const double* in, double* out, std::size_t n, ScalarMathFn scalar);
namespace nofma {  // the non-FMA build; uses no fused instruction
#include "exec/vector_libm/replica_entries.inc"
}  // namespace nofma
}  // namespace replica_avx512
#endif

}  // namespace qv
