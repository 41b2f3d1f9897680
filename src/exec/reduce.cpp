// Reductions: strictly left-to-right sums, NaN-sticky extremes where the earliest of equal
// values wins, and the population variance.
#include "exec/reduce.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "core/fault.hpp"
#include "ir/scalar_ops.hpp"

namespace qv {

std::string_view reduce_op_name(ReduceOp op) noexcept {
    switch (op) {
        case ReduceOp::Sum: return "Sum";
        case ReduceOp::Mean: return "Mean";
        case ReduceOp::Min: return "Min";
        case ReduceOp::Max: return "Max";
        case ReduceOp::Count: return "Count";
        case ReduceOp::Variance: return "Variance";
        case ReduceOp::Std: return "Std";
    }
    return "?";
}

// op_add, not +=: the compiler may swap the operands of +, and with them which of two NaNs
// comes out.
double sum_from(std::span<const double> xs, double start) noexcept {
    double total = start;
    for (double x : xs) total = op_add(total, x);
    return total;
}

namespace {

// Starts from -0.0 so that a sum of negative zeros stays -0.0.
double sum_of(std::span<const double> xs) { return sum_from(xs, -0.0); }

double mean_of(std::span<const double> xs) { return sum_of(xs) / static_cast<double>(xs.size()); }

// Min and Max in one vectorised pass: lane-wise extremes plus a note of any NaN. Among
// non-zero values equal ones have equal bits, so which of them wins cannot show; only for a
// zero result is the earliest zero (-0.0 or +0.0) looked up.
template <bool IsMin>
double extreme_of(std::span<const double> xs) {
    constexpr double start =
        IsMin ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    const double* p = xs.data();
    const std::size_t n = xs.size();
    std::size_t i = 0;
    double best = start;
    bool any_nan = false;
#if defined(__SSE2__)
    // Four accumulators hide the latency of the compare; min_pd(x, m) is x < m ? x : m.
    __m128d m0 = _mm_set1_pd(start), m1 = m0, m2 = m0, m3 = m0;
    __m128d nan = _mm_setzero_pd();
    for (; i + 8 <= n; i += 8) {
        // One cache line per round, 2 KiB ahead: the hardware prefetcher alone leaves this
        // single stream about a fifth short of the memory's pace (bench/bench_reductions).
        _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(p + i) + 2048),
                     _MM_HINT_T0);
        const __m128d x0 = _mm_loadu_pd(p + i), x1 = _mm_loadu_pd(p + i + 2);
        const __m128d x2 = _mm_loadu_pd(p + i + 4), x3 = _mm_loadu_pd(p + i + 6);
        if constexpr (IsMin) {
            m0 = _mm_min_pd(x0, m0), m1 = _mm_min_pd(x1, m1);
            m2 = _mm_min_pd(x2, m2), m3 = _mm_min_pd(x3, m3);
        } else {
            m0 = _mm_max_pd(x0, m0), m1 = _mm_max_pd(x1, m1);
            m2 = _mm_max_pd(x2, m2), m3 = _mm_max_pd(x3, m3);
        }
        // Unordered is true when either operand is NaN: two compares cover four vectors.
        nan = _mm_or_pd(nan, _mm_or_pd(_mm_cmpunord_pd(x0, x1), _mm_cmpunord_pd(x2, x3)));
    }
    alignas(16) double lanes[8];
    _mm_store_pd(lanes, m0), _mm_store_pd(lanes + 2, m1);
    _mm_store_pd(lanes + 4, m2), _mm_store_pd(lanes + 6, m3);
    for (double v : lanes) best = (IsMin ? v < best : v > best) ? v : best;
    any_nan = _mm_movemask_pd(nan) != 0;
#endif
    for (; i < n; ++i) {
        const double x = p[i];
        any_nan |= x != x;
        best = (IsMin ? x < best : x > best) ? x : best;
    }
    if (any_nan) return std::numeric_limits<double>::quiet_NaN();
    if (best == 0.0) {
        for (i = 0; p[i] != 0.0; ++i) {}
        return p[i];
    }
    return best;
}

double variance_of(std::span<const double> xs) {
    const double m = mean_of(xs);
    double total = -0.0;
    for (double x : xs) total = op_add(total, (x - m) * (x - m));
    return total / static_cast<double>(xs.size());
}

}  // namespace

Result<double> reduce(const BufferInner& input, ReduceOp op) {
    const std::size_t n = input.element_count();
    if (n == 0) {
        return EngineError::empty_collection("cannot " + std::string(reduce_op_name(op)) +
                                             " empty buffer");
    }
    const std::span<const double> xs = input.as_f64_slice();
    switch (op) {
        case ReduceOp::Sum: return sum_of(xs);
        case ReduceOp::Mean: return mean_of(xs);
        case ReduceOp::Min: return extreme_of<true>(xs);
        case ReduceOp::Max: return extreme_of<false>(xs);
        case ReduceOp::Count: return static_cast<double>(n);
        case ReduceOp::Variance: return variance_of(xs);
        case ReduceOp::Std: return std::sqrt(variance_of(xs));
    }
    fault("unknown reduce operation code " + std::to_string(static_cast<int>(op)));
}

}  // namespace qv
