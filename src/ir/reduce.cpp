// Reductions: strictly left-to-right sums, NaN-sticky extremes where the earliest of equal
// values wins, and the population variance.
#include "ir/reduce.hpp"

#include <cmath>
#include <limits>
#include <span>
#include <string>

#include "core/fault.hpp"

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

namespace {

// Starts from -0.0 so that a sum of negative zeros stays -0.0.
double sum_of(std::span<const double> xs) {
    double total = -0.0;
    for (double x : xs) total += x;
    return total;
}

double mean_of(std::span<const double> xs) { return sum_of(xs) / static_cast<double>(xs.size()); }

// Strict comparison keeps the earliest of equal values (-0.0 before +0.0 or the reverse).
template <class Better>
double extreme_of(std::span<const double> xs, double start, Better better) {
    double running = start;
    for (double x : xs) {
        // Once NaN, the running value stays NaN: nothing later can change the result.
        if (std::isnan(x)) return std::numeric_limits<double>::quiet_NaN();
        if (better(x, running)) running = x;
    }
    return running;
}

double variance_of(std::span<const double> xs) {
    const double m = mean_of(xs);
    double total = -0.0;
    for (double x : xs) total += (x - m) * (x - m);
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
    constexpr double inf = std::numeric_limits<double>::infinity();
    switch (op) {
        case ReduceOp::Sum: return sum_of(xs);
        case ReduceOp::Mean: return mean_of(xs);
        case ReduceOp::Min: return extreme_of(xs, inf, [](double x, double r) { return x < r; });
        case ReduceOp::Max: return extreme_of(xs, -inf, [](double x, double r) { return x > r; });
        case ReduceOp::Count: return static_cast<double>(n);
        case ReduceOp::Variance: return variance_of(xs);
        case ReduceOp::Std: return std::sqrt(variance_of(xs));
    }
    fault("unknown reduce operation code " + std::to_string(static_cast<int>(op)));
}

}  // namespace qv
