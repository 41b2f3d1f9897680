// The AVX2 loop set (with FMA). Its loops are compiled under a target pragma rather than with
// -mavx2 for the file: inline functions of the headers it shares with the rest of the engine
// would otherwise be emitted here with AVX2 instructions, and the linker may keep that copy for
// every caller, CPUs without AVX2 included.
#include "exec/loops.hpp"

#if QV_AVX2_LOOPS

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
#pragma GCC target("avx2,fma")
#define QV_LOOP_SET avx2_loops
#define QV_LOOP_AVX2 1
#include "exec/loop_set.inc"
#pragma GCC pop_options

const LoopTables& loop_sets::avx2() { return avx2_loops::kTables; }

}  // namespace qv

#endif
