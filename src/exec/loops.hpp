// The elementwise loops the executor runs: for each kernel of the catalog and each shape of its
// operands (which are blocks, which scalars), a loop over a whole block, one over any count, and
// one over a list of lanes. A loop set builds them all for one instruction set, in a
// translation unit of its own; every set gives the same bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "compiler/complex_elementwise.hpp"
#include "compiler/kernels.hpp"
#include "compiler/program.hpp"
#include "exec/vector_libm/vector_libm.hpp"

// The AVX2 set (with FMA, which every AVX2 CPU but a rare few has) and the AVX-512 set need
// GCC's target pragma; other compilers build the baseline set alone.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QV_AVX2_LOOPS 1
#define QV_AVX512_LOOPS 1
#else
#define QV_AVX2_LOOPS 0
#define QV_AVX512_LOOPS 0
#endif

namespace qv {

// 512 elements per block keep a few live blocks and the input streams within the L1/L2 caches.
inline constexpr std::size_t kBlock = 512;

// Operands and results are arrays of the types the step's kernel and value type give;
// `scalars` holds the operands that are scalars, as float64.
using DenseFn = void (*)(void* dst, const void* a, const void* b, const void* c,
                         const double* scalars, std::size_t n);
using IndexedFn = void (*)(void* dst, const void* a, const void* b, const void* c,
                           const double* scalars, const std::uint32_t* lanes, std::size_t m);

struct Loops {
    DenseFn full;  // exactly kBlock elements
    DenseFn tail;  // any count
    IndexedFn indexed;
};

// Indexed by shape: bit 0 set when operand a is a block, bit 1 for b, bit 2 for c.
using ShapeLoops = std::array<Loops, 8>;
// One loop set's loops for one value type, by kernel.
using LoopTable = std::array<ShapeLoops, kKernelCount>;
// One loop set's tables, by value type.
using LoopTables = std::array<LoopTable, kValueTypeCount>;

// Instruction sets the loops are built for, narrowest first (Avx2: AVX2 with FMA; Avx512:
// AVX-512 F, DQ, BW and VL with FMA, and the OS saving the zmm registers).
enum class LoopSet : std::uint8_t { Baseline, Avx2, Avx512 };

// The sets built into this module that this CPU runs, narrowest first.
std::span<const LoopSet> supported_loop_sets() noexcept;

// The widest set this CPU runs.
LoopSet best_loop_set() noexcept;

// "baseline", "avx2", "avx512".
std::string_view loop_set_name(LoopSet set) noexcept;

// The set the engine runs: the one QUORVALINE_LOOP_SET names, or the widest when it is unset or
// empty. A name that is unknown or that this CPU cannot run leaves the widest and an error
// message, which the binding layer raises at import.
struct LoopSetChoice {
    LoopSet set;
    std::string error;  // empty when the choice stands
};
const LoopSetChoice& loop_set_choice();
inline LoopSet active_loop_set() { return loop_set_choice().set; }

// The loops of `kernel` over values of `type` with operands of `shape`; a set this module or
// CPU lacks, or a kernel or type it has no loops for, is a fault.
const Loops& loops_for(LoopSet set, ValueType type, KernelId kernel, std::size_t shape);

// The tables, each defined by its loop set's translation unit.
namespace loop_sets {
const LoopTables& baseline();
#if QV_AVX2_LOOPS
const LoopTables& avx2();
#endif
#if QV_AVX512_LOOPS
const LoopTables& avx512();
#endif
}  // namespace loop_sets

}  // namespace qv
