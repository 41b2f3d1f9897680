// The baseline loop set: what every x86-64 CPU (SSE2) or any other target runs.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "compiler/kernels.hpp"
#include "exec/int_divisor.hpp"
#include "exec/loops.hpp"

namespace qv {

#define QV_LOOP_SET baseline_loops
#define QV_LOOP_AVX2 0
#include "exec/loop_set.inc"

const LoopTables& loop_sets::baseline() { return baseline_loops::kTables; }

}  // namespace qv
