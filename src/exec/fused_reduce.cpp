// Fused reductions: the axes grouped into alternating runs of kept and reduced extents, the
// values computed a chunk at a time and folded in flat order, which is C order over the
// reduced axes for every result element.
#include "exec/fused_reduce.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "exec/block_program.hpp"
#include "exec/evaluator.hpp"
#include "ir/scalar_ops.hpp"
#include "pool/pool.hpp"

namespace qv {

namespace {

// Values one piece computes and folds at a time: a few blocks of scratch per thread.
constexpr std::size_t kChunk = 4096;
// Values computed ahead of the one thread that folds them all.
constexpr std::size_t kSharedChunk = 16384;
// The shortest contiguous stretch a piece of a split computes, so that what each stretch
// costs besides its values (binding the program, its scratch) stays small.
constexpr std::size_t kMinStretch = 1024;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A run of neighbouring axes of one role (axes of extent 1 dropped): a flat index of the
// values is a multi-index over the groups, outermost first.
struct Group {
    std::size_t size;
    bool reduced;
    std::size_t stride = 0;      // in the values
    std::size_t out_stride = 0;  // in the result (kept groups)
};

class Layout {
public:
    Layout(std::span<const std::size_t> shape, std::span<const bool> reduced) {
        for (std::size_t axis = 0; axis < shape.size(); ++axis) {
            if (shape[axis] == 1) continue;
            if (!groups_.empty() && groups_.back().reduced == reduced[axis]) {
                groups_.back().size *= shape[axis];
            } else {
                groups_.push_back(Group{shape[axis], reduced[axis]});
            }
        }
        if (groups_.empty()) groups_.push_back(Group{1, true});
        std::size_t stride = 1, out_stride = 1;
        for (auto g = groups_.rbegin(); g != groups_.rend(); ++g) {
            g->stride = stride;
            stride *= g->size;
            if (!g->reduced) {
                g->out_stride = out_stride;
                out_stride *= g->size;
            }
        }
        count_ = stride;
    }

    std::size_t count() const noexcept { return count_; }
    const std::vector<Group>& groups() const noexcept { return groups_; }
    const Group& inner() const noexcept { return groups_.back(); }

    // The result element that the value at `flat` folds into.
    std::size_t out_index(std::size_t flat) const noexcept {
        std::size_t o = 0;
        for (const Group& g : groups_) {
            if (!g.reduced) o += (flat / g.stride) % g.size * g.out_stride;
        }
        return o;
    }

private:
    std::vector<Group> groups_;
    std::size_t count_ = 1;
};

template <AxisReduceOp Op>
constexpr double start_value() {
    if constexpr (Op == AxisReduceOp::Prod) return 1.0;
    if constexpr (Op == AxisReduceOp::Min) return kInf;
    if constexpr (Op == AxisReduceOp::Max) return -kInf;
    return -0.0;  // a sum of negative zeros stays -0.0
}

// The running value with one more value: op_add and op_mul keep the first NaN in order;
// the extremes turn NaN-sticky and keep the earliest of equal values, as the engine's
// reduction of a buffer does.
template <AxisReduceOp Op>
double step(double acc, double x) {
    if constexpr (Op == AxisReduceOp::Prod) {
        return op_mul(acc, x);
    } else if constexpr (Op == AxisReduceOp::Min) {
        return acc != acc ? acc : x != x ? kNaN : x < acc ? x : acc;
    } else if constexpr (Op == AxisReduceOp::Max) {
        return acc != acc ? acc : x != x ? kNaN : x > acc ? x : acc;
    } else {
        return op_add(acc, x);
    }
}

// Whether the four rows from `flat` on fold into four consecutive (so different) results.
bool four_rows_apart(const Layout& layout, std::size_t flat, std::size_t row) {
    const std::size_t o = layout.out_index(flat);
    return layout.out_index(flat + row) == o + 1 && layout.out_index(flat + 2 * row) == o + 2 &&
           layout.out_index(flat + 3 * row) == o + 3;
}

// Folds the values v[0, len) of the flat indices [flat, flat + len) into their results.
template <AxisReduceOp Op>
void fold(const Layout& layout, std::size_t flat, const double* v, std::size_t len, double* acc) {
    const Group& inner = layout.inner();
    const std::size_t row = inner.size;
    while (len > 0) {
        double* into = acc + layout.out_index(flat);
        std::size_t take = std::min(len, row - flat % row);
        if (!inner.reduced) {
            for (std::size_t j = 0; j < take; ++j) into[j] = step<Op>(into[j], v[j]);
        } else if (take == row && len >= 4 * row && four_rows_apart(layout, flat, row)) {
            // Four independent chains, each in its own order: one step's latency hides
            // behind the other three.
            double a0 = into[0], a1 = into[1], a2 = into[2], a3 = into[3];
            for (std::size_t j = 0; j < row; ++j) {
                a0 = step<Op>(a0, v[j]);
                a1 = step<Op>(a1, v[row + j]);
                a2 = step<Op>(a2, v[2 * row + j]);
                a3 = step<Op>(a3, v[3 * row + j]);
            }
            into[0] = a0, into[1] = a1, into[2] = a2, into[3] = a3;
            take = 4 * row;
        } else {
            double a = *into;
            for (std::size_t j = 0; j < take; ++j) a = step<Op>(a, v[j]);
            *into = a;
        }
        flat += take;
        v += take;
        len -= take;
    }
}

// The views from value `first` on, `length` values long.
void views_from(std::span<const ArgView> views, std::size_t first, std::size_t length,
                std::vector<ArgView>& into) {
    into.clear();
    for (const ArgView& v : views) {
        into.push_back(v.data == nullptr
                           ? v
                           : ArgView{static_cast<const double*>(v.data) + first, v.scalar, length});
    }
}

// Threads take disjoint ranges of the kept group `p`, so no result element has two writers;
// each walks its stretches in flat order.
template <AxisReduceOp Op>
void fold_split(const CompiledKernel& kernel, std::span<const ArgView> views, const Layout& layout,
                std::size_t p, std::size_t min_piece, double* acc) {
    const BlockProgram& program = block_program(kernel, views);
    const Group& g = layout.groups()[p];
    const std::size_t span = g.size * g.stride;  // the values of one index of the outer groups
    const std::size_t outer = layout.count() / span;
    parallel_for(g.size, min_piece, [&](std::size_t a, std::size_t b) {
        std::vector<double> scratch(kChunk);
        std::vector<ArgView> part;
        auto walk = [&](std::size_t begin, std::size_t end) {
            for (std::size_t s = begin; s < end; s += kChunk) {
                const std::size_t len = std::min(kChunk, end - s);
                views_from(views, s, len, part);
                program.bind(part).run(0, len, scratch.data());
                fold<Op>(layout, s, scratch.data(), len, acc);
            }
        };
        if (a == 0 && b == g.size) {
            walk(0, layout.count());  // the stretches of all outer indices adjoin
        } else {
            for (std::size_t q = 0; q < outer; ++q)
                walk(q * span + a * g.stride, q * span + b * g.stride);
        }
    });
}

// One thread folds everything in flat order, a chunk at a time, while another computes the
// next chunk: for a full reduction, or kept axes too small to split.
template <AxisReduceOp Op>
void fold_shared(const CompiledKernel& kernel, std::span<const ArgView> views, const Layout& layout,
                 double* acc) {
    const std::size_t n = layout.count();
    const std::size_t chunk = std::min(kSharedChunk, n);
    const BlockProgram& program = block_program(kernel, views);
    std::vector<double> buffers[2] = {std::vector<double>(chunk), std::vector<double>(chunk)};
    auto compute = [&](std::size_t s, double* into) {
        std::vector<ArgView> part;
        views_from(views, s, std::min(chunk, n - s), part);
        program.bind(part).run(0, std::min(chunk, n - s), into);
    };
    compute(0, buffers[0].data());
    if (n <= chunk) {  // nothing to compute ahead: no other thread
        fold<Op>(layout, 0, buffers[0].data(), n, acc);
        return;
    }
    for (std::size_t s = 0, k = 0; s < n; s += chunk, ++k) {
        double* current = buffers[k % 2].data();
        double* ahead = buffers[(k + 1) % 2].data();
        parallel_for(2, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i == 0) {
                    fold<Op>(layout, s, current, std::min(chunk, n - s), acc);
                } else if (s + chunk < n) {
                    compute(s + chunk, ahead);
                }
            }
        });
    }
}

template <AxisReduceOp Op>
void fold_all(const CompiledKernel& kernel, std::span<const ArgView> views, const Layout& layout,
              std::span<double> out) {
    std::fill(out.begin(), out.end(), start_value<Op>());
    const std::vector<Group>& groups = layout.groups();
    if (layout.count() >= kParallelThreshold && thread_limit() > 1) {
        // The outermost kept group that splits into stretches long enough.
        for (std::size_t p = 0; p < groups.size(); ++p) {
            const Group& g = groups[p];
            if (g.reduced) continue;
            const std::size_t min_piece = (kMinStretch + g.stride - 1) / g.stride;
            if (g.size / 2 >= min_piece) {
                fold_split<Op>(kernel, views, layout, p, min_piece, out.data());
                return;
            }
        }
    }
    fold_shared<Op>(kernel, views, layout, out.data());
}

}  // namespace

std::optional<EngineError> reduce_kernel_into(const CompiledKernel& kernel,
                                              std::span<const ArgView> views,
                                              std::span<const std::size_t> shape,
                                              std::span<const bool> reduced, AxisReduceOp op,
                                              std::span<double> out) {
    if (shape.size() != reduced.size()) fault("reduced-axis flags do not match the shape");
    std::size_t n = 1, kept = 1;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        n *= shape[axis];
        if (!reduced[axis]) kept *= shape[axis];
    }
    if (out.size() != kept) {
        fault("result of " + std::to_string(out.size()) + " elements for " + std::to_string(kept));
    }
    for (const ArgView& v : views) {
        if (v.data != nullptr && v.length != n) {
            fault("values of " + std::to_string(n) + " elements over arguments of " +
                  std::to_string(v.length));
        }
        if (v.type != ValueType::F64) fault("fused reductions read float64 operands");
    }
    if (const Refusal& refused = block_program(kernel, views).refusal())
        return refused.type_error();
    if (kept == 0) return std::nullopt;
    if (n == 0) {  // nothing to reduce: NumPy's identities, and no extreme of nothing
        switch (op) {
            case AxisReduceOp::Sum: std::fill(out.begin(), out.end(), 0.0); break;
            case AxisReduceOp::Prod: std::fill(out.begin(), out.end(), 1.0); break;
            case AxisReduceOp::Mean: std::fill(out.begin(), out.end(), kNaN); break;
            case AxisReduceOp::Min:
            case AxisReduceOp::Max:
                return EngineError::empty_collection(
                    std::string("zero-size array to reduction operation ") +
                    (op == AxisReduceOp::Min ? "minimum" : "maximum") + " which has no identity");
        }
        return std::nullopt;
    }
    const Layout layout(shape, reduced);
    switch (op) {
        case AxisReduceOp::Sum: fold_all<AxisReduceOp::Sum>(kernel, views, layout, out); break;
        case AxisReduceOp::Prod: fold_all<AxisReduceOp::Prod>(kernel, views, layout, out); break;
        case AxisReduceOp::Min: fold_all<AxisReduceOp::Min>(kernel, views, layout, out); break;
        case AxisReduceOp::Max: fold_all<AxisReduceOp::Max>(kernel, views, layout, out); break;
        case AxisReduceOp::Mean: {
            fold_all<AxisReduceOp::Sum>(kernel, views, layout, out);
            const double count = static_cast<double>(n / kept);
            for (double& x : out) x /= count;
            break;
        }
    }
    return std::nullopt;
}

}  // namespace qv
