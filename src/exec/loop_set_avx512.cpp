// The AVX-512 loop set (F, DQ, BW and VL, with FMA), under a target pragma for the reason the
// AVX2 set gives. GCC may prefer 256-bit vectors on CPUs that slow their clock for 512-bit
// ones; this set exists for the full width, so the pragma asks for it.
#include "exec/loops.hpp"

#if QV_AVX512_LOOPS

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "compiler/kernels.hpp"
#include "exec/int_divisor.hpp"

namespace qv {

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,avx2,fma,prefer-vector-width=512")
#define QV_LOOP_SET avx512_loops
#define QV_LOOP_AVX2 0
#define QV_LOOP_AVX512 1
#include "exec/loop_set.inc"
#pragma GCC pop_options

const LoopTables& loop_sets::avx512() { return avx512_loops::kTables; }

}  // namespace qv

#endif
