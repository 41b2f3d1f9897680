// Choosing a loop set and finding a kernel's loops in it.
#include "exec/loops.hpp"

#include <array>
#include <cstdlib>
#include <string>

#if QV_AVX2_LOOPS
#include <cpuid.h>
#endif

#include "core/fault.hpp"

namespace qv {

namespace {

#if QV_AVX2_LOOPS
// Whether the OS saves the register state that `mask` names in XCR0 across context switches:
// the CPU may have the instructions while the OS leaves their registers to be clobbered.
bool os_saves(unsigned mask) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0) return false;
    unsigned lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & mask) == mask;
}

bool runs_avx2() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
           os_saves(0x6);  // xmm, ymm
}

bool runs_avx512() {
    return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
           os_saves(0xe6);  // and opmask, zmm 0-31
}
#endif

struct Supported {
    std::array<LoopSet, 3> sets{};
    std::size_t count = 0;
};

const Supported& supported() {
    static const Supported s = [] {
        Supported out;
        out.sets[out.count++] = LoopSet::Baseline;
#if QV_AVX2_LOOPS
        if (runs_avx2()) out.sets[out.count++] = LoopSet::Avx2;
#endif
#if QV_AVX512_LOOPS
        if (runs_avx512()) out.sets[out.count++] = LoopSet::Avx512;
#endif
        return out;
    }();
    return s;
}

bool is_supported(LoopSet set) {
    for (LoopSet s : supported_loop_sets()) {
        if (s == set) return true;
    }
    return false;
}

LoopSetChoice choose(const char* wanted) {
    const LoopSet best = best_loop_set();
    if (wanted == nullptr || *wanted == '\0') return {best, {}};
    std::string names;
    for (LoopSet s : supported_loop_sets()) {
        if (!names.empty()) names += ", ";
        names += loop_set_name(s);
    }
    for (LoopSet s : {LoopSet::Baseline, LoopSet::Avx2, LoopSet::Avx512}) {
        if (loop_set_name(s) != wanted) continue;
        if (is_supported(s)) return {s, {}};
        return {best, "QUORVALINE_LOOP_SET=" + std::string(wanted) +
                          ": this CPU or build cannot run it; it runs " + names};
    }
    return {best, "QUORVALINE_LOOP_SET=" + std::string(wanted) +
                      " names no loop set; the names are baseline, avx2, avx512 (this CPU runs " +
                      names + ")"};
}

const LoopTables& tables_for(LoopSet set) {
    if (!is_supported(set))
        fault("loop set " + std::string(loop_set_name(set)) + " requested; this CPU or build " +
              "cannot run it");
    switch (set) {
#if QV_AVX2_LOOPS
        case LoopSet::Avx2: return loop_sets::avx2();
#endif
#if QV_AVX512_LOOPS
        case LoopSet::Avx512: return loop_sets::avx512();
#endif
        default: return loop_sets::baseline();
    }
}

const LoopTable& table_for(LoopSet set, ValueType type) {
    const auto t = static_cast<std::size_t>(type);
    if (t >= kValueTypeCount) fault("no loops for value type " + std::to_string(t));
    return tables_for(set)[t];
}

}  // namespace

std::span<const LoopSet> supported_loop_sets() noexcept {
    const Supported& s = supported();
    return {s.sets.data(), s.count};
}

LoopSet best_loop_set() noexcept { return supported_loop_sets().back(); }

std::string_view loop_set_name(LoopSet set) noexcept {
    switch (set) {
        case LoopSet::Avx2: return "avx2";
        case LoopSet::Avx512: return "avx512";
        default: return "baseline";
    }
}

const LoopSetChoice& loop_set_choice() {
    static const LoopSetChoice choice = choose(std::getenv("QUORVALINE_LOOP_SET"));
    return choice;
}

const Loops& loops_for(LoopSet set, ValueType type, KernelId kernel, std::size_t shape) {
    const LoopTable& table = table_for(set, type);
    if (kernel >= table.size() || shape >= 8)
        fault("no loops for kernel " + std::to_string(kernel));
    const Loops& loops = table[kernel][shape];
    if (loops.indexed == nullptr)
        fault("kernel " + std::to_string(kernel) + " has no operand of shape " +
              std::to_string(shape));
    return loops;
}

}  // namespace qv
