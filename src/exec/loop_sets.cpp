// Choosing a loop set and finding a kernel's loops in it.
#include "exec/loops.hpp"

#include <string>

#include "core/fault.hpp"

namespace qv {

LoopSet best_loop_set() noexcept {
#if QV_AVX2_LOOPS
    static const LoopSet best = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")
                                    ? LoopSet::Avx2
                                    : LoopSet::Baseline;
    return best;
#else
    return LoopSet::Baseline;
#endif
}

namespace {

const LoopTables& tables_for(LoopSet set) {
#if QV_AVX2_LOOPS
    if (set == LoopSet::Avx2) {
        if (best_loop_set() != LoopSet::Avx2)
            fault("AVX2 loops requested on a CPU without AVX2 and FMA");
        return loop_sets::avx2();
    }
#endif
    if (set != LoopSet::Baseline) fault("loop set not built into this module");
    return loop_sets::baseline();
}

const LoopTable& table_for(LoopSet set, ValueType type) {
    const auto t = static_cast<std::size_t>(type);
    if (t >= kValueTypeCount) fault("no loops for value type " + std::to_string(t));
    return tables_for(set)[t];
}

}  // namespace

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
