// Fused reductions: the axes grouped into alternating runs of kept and reduced extents, the
// values computed a chunk at a time and folded in flat order, which is C order over the
// reduced axes for every result element.
#include "exec/fused_reduce.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "compiler/complex_elementwise.hpp"  // complex_div, NumPy's quotient
#include "core/fault.hpp"
#include "exec/block_program.hpp"
#include "exec/evaluator.hpp"
#include "ir/int_ops.hpp"
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

// What each value type reduces to: one row per type that has reductions, found by search so
// that rows need no particular order.
struct ReduceRow {
    ValueType values;
    ValueType sum;        // Sum and Prod
    ValueType mean;       // Mean; Min and Max keep `values`
    bool ordered = true;  // has Min and Max
};
constexpr ReduceRow kReduceRows[] = {
    {ValueType::F64, ValueType::F64, ValueType::F64},
    {ValueType::F32, ValueType::F32, ValueType::F32},
    {ValueType::Bool, ValueType::I64, ValueType::F64},
    {ValueType::I32, ValueType::I64, ValueType::F64},
    {ValueType::I64, ValueType::I64, ValueType::F64},
    // No extremes of complex numbers, which have no order (NumPy's is by the real part first).
    {ValueType::C64, ValueType::C64, ValueType::C64, false},
    {ValueType::C128, ValueType::C128, ValueType::C128, false},
};

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

template <AxisReduceOp Op, class A>
constexpr A start_value() {
    using Limits = std::numeric_limits<A>;
    if constexpr (Op == AxisReduceOp::Prod) return A(1);
    if constexpr (kIsComplex<A>) return A(-0.0, -0.0);
    if constexpr (Op == AxisReduceOp::Min)
        return Limits::has_infinity ? Limits::infinity() : Limits::max();
    if constexpr (Op == AxisReduceOp::Max)
        return Limits::has_infinity ? -Limits::infinity() : Limits::lowest();
    return std::is_floating_point_v<A> ? A(-0.0) : A(0);  // a sum of negative zeros stays -0.0
}

// The running value with one more value, in the accumulator's type: sums and products keep
// the first NaN in order and integers wrap, as NumPy's int64 accumulation does; the extremes
// turn NaN-sticky and keep the earliest of equal values, as the engine's reduction of a buffer
// does.
template <AxisReduceOp Op, class A>
A step(A acc, A x) {
    constexpr A kNaNOfA = std::numeric_limits<A>::quiet_NaN();  // 0 for integers: never taken
    if constexpr (kIsComplex<A> && Op == AxisReduceOp::Prod) {
        // NumPy's reduction loop for complex products: each product rounded, no fused
        // multiply-add (its elementwise loop fuses; np.prod and np.multiply.accumulate do not).
        return A(acc.re * x.re - acc.im * x.im, acc.re * x.im + acc.im * x.re);
    } else if constexpr (kIsComplex<A>) {
        return A(step<Op>(acc.re, x.re), step<Op>(acc.im, x.im));
    } else if constexpr (Op == AxisReduceOp::Min) {
        return acc != acc ? acc : x != x ? kNaNOfA : x < acc ? x : acc;
    } else if constexpr (Op == AxisReduceOp::Max) {
        return acc != acc ? acc : x != x ? kNaNOfA : x > acc ? x : acc;
    } else if constexpr (std::is_same_v<A, double>) {
        return Op == AxisReduceOp::Prod ? op_mul(acc, x) : op_add(acc, x);
    } else if constexpr (std::is_floating_point_v<A>) {
        // The left NaN wins, as op_add pins it for float64.
        const A y = acc != acc ? acc : x;
        return Op == AxisReduceOp::Prod ? acc * y : acc + y;
    } else {
        return Op == AxisReduceOp::Prod ? wrap_mul(acc, x) : wrap_add(acc, x);
    }
}

// Whether the four rows from `flat` on fold into four consecutive (so different) results.
bool four_rows_apart(const Layout& layout, std::size_t flat, std::size_t row) {
    const std::size_t o = layout.out_index(flat);
    return layout.out_index(flat + row) == o + 1 && layout.out_index(flat + 2 * row) == o + 2 &&
           layout.out_index(flat + 3 * row) == o + 3;
}

// A complex product starts from its first value, as NumPy's does: 1 + 0j times a value is not
// always that value (an infinite part makes a NaN, a zero part may change sign).
template <AxisReduceOp Op, class A>
constexpr bool kStartsWithFirst = kIsComplex<A>&& Op == AxisReduceOp::Prod;

// Whether the value at `flat` is the first its result takes.
bool first_of_result(const Layout& layout, std::size_t flat) {
    for (const Group& g : layout.groups()) {
        if (g.reduced && (flat / g.stride) % g.size != 0) return false;
    }
    return true;
}

// Folds the values v[0, len) of the flat indices [flat, flat + len), each made an A first,
// into their results.
template <AxisReduceOp Op, class V, class A>
void fold(const Layout& layout, std::size_t flat, const V* v, std::size_t len, A* acc) {
    if constexpr (kStartsWithFirst<Op, A>) {
        for (std::size_t j = 0; j < len; ++j) {
            A& into = acc[layout.out_index(flat + j)];
            into = first_of_result(layout, flat + j) ? A(v[j]) : step<Op, A>(into, A(v[j]));
        }
        return;
    }
    const Group& inner = layout.inner();
    const std::size_t row = inner.size;
    while (len > 0) {
        A* into = acc + layout.out_index(flat);
        std::size_t take = std::min(len, row - flat % row);
        if (!inner.reduced) {
            for (std::size_t j = 0; j < take; ++j) into[j] = step<Op, A>(into[j], A(v[j]));
        } else if (take == row && len >= 4 * row && four_rows_apart(layout, flat, row)) {
            // Four independent chains, each in its own order: one step's latency hides
            // behind the other three.
            A a0 = into[0], a1 = into[1], a2 = into[2], a3 = into[3];
            for (std::size_t j = 0; j < row; ++j) {
                a0 = step<Op, A>(a0, A(v[j]));
                a1 = step<Op, A>(a1, A(v[row + j]));
                a2 = step<Op, A>(a2, A(v[2 * row + j]));
                a3 = step<Op, A>(a3, A(v[3 * row + j]));
            }
            into[0] = a0, into[1] = a1, into[2] = a2, into[3] = a3;
            take = 4 * row;
        } else {
            A a = *into;
            for (std::size_t j = 0; j < take; ++j) a = step<Op, A>(a, A(v[j]));
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
        into.push_back(v.data == nullptr ? v
                                         : ArgView{static_cast<const std::byte*>(v.data) +
                                                       first * element_size(v.type),
                                                   v.scalar, length, v.type, v.weak});
    }
}

// Threads take disjoint ranges of the kept group `p`, so no result element has two writers;
// each walks its stretches in flat order.
template <AxisReduceOp Op, class V, class A>
void fold_split(const CompiledKernel& kernel, std::span<const ArgView> views, const Layout& layout,
                std::size_t p, std::size_t min_piece, A* acc, std::atomic<bool>& negative_power) {
    const BlockProgram& program = block_program(kernel, views, Comparisons::Bool);
    const Group& g = layout.groups()[p];
    const std::size_t span = g.size * g.stride;  // the values of one index of the outer groups
    const std::size_t outer = layout.count() / span;
    parallel_for(g.size, min_piece, [&](std::size_t a, std::size_t b) {
        const std::unique_ptr<V[]> scratch(new V[kChunk]);  // no vector<bool>: bytes
        std::vector<ArgView> part;
        auto walk = [&](std::size_t begin, std::size_t end) {
            for (std::size_t s = begin; s < end; s += kChunk) {
                const std::size_t len = std::min(kChunk, end - s);
                views_from(views, s, len, part);
                if (program.bind(part).run(0, len, scratch.get()))
                    negative_power.store(true, std::memory_order_relaxed);
                fold<Op, V, A>(layout, s, scratch.get(), len, acc);
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
template <AxisReduceOp Op, class V, class A>
void fold_shared(const CompiledKernel& kernel, std::span<const ArgView> views, const Layout& layout,
                 A* acc, std::atomic<bool>& negative_power) {
    const std::size_t n = layout.count();
    const std::size_t chunk = std::min(kSharedChunk, n);
    const BlockProgram& program = block_program(kernel, views, Comparisons::Bool);
    const std::unique_ptr<V[]> buffers[2] = {std::unique_ptr<V[]>(new V[chunk]),
                                             std::unique_ptr<V[]>(new V[chunk])};
    auto compute = [&](std::size_t s, V* into) {
        std::vector<ArgView> part;
        views_from(views, s, std::min(chunk, n - s), part);
        if (program.bind(part).run(0, std::min(chunk, n - s), into))
            negative_power.store(true, std::memory_order_relaxed);
    };
    compute(0, buffers[0].get());
    if (n <= chunk) {  // nothing to compute ahead: no other thread
        fold<Op, V, A>(layout, 0, buffers[0].get(), n, acc);
        return;
    }
    for (std::size_t s = 0, k = 0; s < n; s += chunk, ++k) {
        V* current = buffers[k % 2].get();
        V* ahead = buffers[(k + 1) % 2].get();
        parallel_for(2, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i == 0) {
                    fold<Op, V, A>(layout, s, current, std::min(chunk, n - s), acc);
                } else if (s + chunk < n) {
                    compute(s + chunk, ahead);
                }
            }
        });
    }
}

template <AxisReduceOp Op, class V, class A>
void fold_all(const CompiledKernel& kernel, std::span<const ArgView> views, const Layout& layout,
              std::span<A> out, std::atomic<bool>& negative_power) {
    std::fill(out.begin(), out.end(), start_value<Op, A>());
    const std::vector<Group>& groups = layout.groups();
    if (layout.count() >= kParallelThreshold && thread_limit() > 1) {
        // The outermost kept group that splits into stretches long enough.
        for (std::size_t p = 0; p < groups.size(); ++p) {
            const Group& g = groups[p];
            if (g.reduced) continue;
            const std::size_t min_piece = (kMinStretch + g.stride - 1) / g.stride;
            if (g.size / 2 >= min_piece) {
                fold_split<Op, V, A>(kernel, views, layout, p, min_piece, out.data(),
                                     negative_power);
                return;
            }
        }
    }
    fold_shared<Op, V, A>(kernel, views, layout, out.data(), negative_power);
}

// Calls f with a value of the C++ type of `t`, for the types kReduceRows names (a type
// without a row is refused before this is reached).
template <class F>
void with_ctype(ValueType t, F&& f) {
    switch (t) {
        case ValueType::F64: return f(CType<ValueType::F64>{});
        case ValueType::F32: return f(CType<ValueType::F32>{});
        case ValueType::Bool: return f(CType<ValueType::Bool>{});
        case ValueType::I32: return f(CType<ValueType::I32>{});
        case ValueType::I64: return f(CType<ValueType::I64>{});
        case ValueType::C64: return f(CType<ValueType::C64>{});
        case ValueType::C128: return f(CType<ValueType::C128>{});
        default: break;
    }
    fault(std::string("no reductions of ") + type_name(t));
}

// The reduction of values of type `values` into results of type `result`, their C++ types
// found once here rather than per element.
void reduce_typed(const CompiledKernel& kernel, std::span<const ArgView> views,
                  const Layout& layout, AxisReduceOp op, ValueType values, ValueType result,
                  void* out, std::size_t out_count, std::size_t per_result,
                  std::atomic<bool>& negative_power) {
    with_ctype(values, [&]<class V>(V) {
        with_ctype(result, [&]<class A>(A) {
            // Only the pairs the rows can name are instantiated: extremes in the values' own
            // type, sums and products of integers and bools in int64, means of them in float64.
            const std::span<A> into(static_cast<A*>(out), out_count);
            if constexpr (std::is_same_v<A, V> && !kIsComplex<A>) {
                if (op == AxisReduceOp::Min)
                    return fold_all<AxisReduceOp::Min, V, A>(kernel, views, layout, into,
                                                             negative_power);
                if (op == AxisReduceOp::Max)
                    return fold_all<AxisReduceOp::Max, V, A>(kernel, views, layout, into,
                                                             negative_power);
            }
            constexpr bool own =
                std::is_same_v<A, V> && (std::is_floating_point_v<A> || kIsComplex<A>);
            constexpr bool widened =
                (std::is_same_v<A, std::int64_t> && std::is_integral_v<V>) ||
                (std::is_same_v<A, double> && !std::is_floating_point_v<V> && !kIsComplex<V>);
            if constexpr (own || widened) {
                if (op == AxisReduceOp::Sum)
                    return fold_all<AxisReduceOp::Sum, V, A>(kernel, views, layout, into,
                                                             negative_power);
                if (op == AxisReduceOp::Prod)
                    return fold_all<AxisReduceOp::Prod, V, A>(kernel, views, layout, into,
                                                              negative_power);
                if (op == AxisReduceOp::Mean) {
                    fold_all<AxisReduceOp::Sum, V, A>(kernel, views, layout, into, negative_power);
                    // In float64, as NumPy divides (a float32 sum by an intp count).
                    const double count = static_cast<double>(per_result);
                    if constexpr (kIsComplex<A>) {
                        // NumPy's quotient by the count made complex.
                        for (A& x : into) x = complex_div(x, A(count));
                    } else {
                        for (A& x : into) x = static_cast<A>(static_cast<double>(x) / count);
                    }
                    return;
                }
            }
            fault(std::string("no reduction of ") + type_name(values) + " into " +
                  type_name(result));
        });
    });
}

}  // namespace

std::optional<ValueType> reduced_type(ValueType values, AxisReduceOp op) noexcept {
    for (const ReduceRow& row : kReduceRows) {
        if (row.values != values) continue;
        switch (op) {
            case AxisReduceOp::Sum:
            case AxisReduceOp::Prod: return row.sum;
            case AxisReduceOp::Mean: return row.mean;
            case AxisReduceOp::Min:
            case AxisReduceOp::Max:
                if (!row.ordered) return std::nullopt;
                return row.values;
        }
    }
    return std::nullopt;
}

std::optional<EngineError> reduce_kernel_into(const CompiledKernel& kernel,
                                              std::span<const ArgView> views,
                                              std::span<const std::size_t> shape,
                                              std::span<const bool> reduced, AxisReduceOp op,
                                              void* out, std::size_t out_count) {
    if (shape.size() != reduced.size()) fault("reduced-axis flags do not match the shape");
    std::size_t n = 1, kept = 1;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        n *= shape[axis];
        if (!reduced[axis]) kept *= shape[axis];
    }
    if (out_count != kept) {
        fault("result of " + std::to_string(out_count) + " elements for " + std::to_string(kept));
    }
    for (const ArgView& v : views) {
        if (v.data != nullptr && v.length != n) {
            fault("values of " + std::to_string(n) + " elements over arguments of " +
                  std::to_string(v.length));
        }
    }
    const BlockProgram& program = block_program(kernel, views, Comparisons::Bool);
    if (const Refusal& refused = program.refusal()) return refused.type_error();
    const ValueType values = program.output_type();
    const std::optional<ValueType> result = reduced_type(values, op);
    if (!result) {
        return EngineError::type_error(std::string("cannot reduce values of type ") +
                                       type_name(values));
    }
    if (kept == 0) return std::nullopt;
    if (n == 0) {  // nothing to reduce: NumPy's identities, and no extreme of nothing
        if (op == AxisReduceOp::Min || op == AxisReduceOp::Max) {
            return EngineError::empty_collection(
                std::string("zero-size array to reduction operation ") +
                (op == AxisReduceOp::Min ? "minimum" : "maximum") + " which has no identity");
        }
        with_ctype(*result, [&]<class A>(A) {
            // A mean of nothing is 0/0: both parts NaN for complex values.
            A nan = static_cast<A>(kNaN);
            if constexpr (kIsComplex<A>) nan.im = nan.re;
            const A identity = op == AxisReduceOp::Sum    ? A(0)
                               : op == AxisReduceOp::Prod ? A(1)
                                                          : nan;
            std::fill_n(static_cast<A*>(out), out_count, identity);
        });
        return std::nullopt;
    }
    // An integer met a negative integer exponent: NumPy's ValueError, not the folded values.
    std::atomic<bool> negative_power{false};
    reduce_typed(kernel, views, Layout(shape, reduced), op, values, *result, out, out_count,
                 n / kept, negative_power);
    if (negative_power.load(std::memory_order_relaxed))
        return EngineError::arg(negative_int_power().message);
    return std::nullopt;
}

}  // namespace qv
