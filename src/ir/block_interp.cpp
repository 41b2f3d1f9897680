// Block interpreter: decodes a body into steps over scratch blocks once per argument pattern,
// then runs every step over a block of elements; the elementwise loops are plain enough for the
// compiler to vectorise.
#include "ir/block_interp.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

// The AVX2 set (with FMA, which every AVX2 CPU but a rare few has) needs GCC's target pragma;
// other compilers build the baseline set alone.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define QV_AVX2_LOOPS 1
#else
#define QV_AVX2_LOOPS 0
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/fault.hpp"
#include "ir/libm_entries.hpp"
#include "ir/pow_const.hpp"
#include "ir/scalar_ops.hpp"

namespace qv {

namespace {

// 512 doubles per block keep a few live blocks and the input streams within the L1/L2 caches.
constexpr std::size_t kBlock = 512;
// Upper bound for one run's scratch; only very deep bodies reach it and get shorter blocks.
constexpr std::size_t kScratchBudgetBytes = std::size_t{8} << 20;

using DenseFn = void (*)(double* dst, const double* a, const double* b, const double* c,
                         const double* scalars, std::size_t n);
using IndexedFn = void (*)(double* dst, const double* a, const double* b, const double* c,
                           const double* scalars, const std::uint32_t* lanes, std::size_t m);

// The math library's functions through the entries that skip its errno wrappers (same bits).
template <UnaryOp Op>
struct UnaryFn {
    static constexpr int arity = 1;
    static double apply(double x, double, double) {
        if constexpr (Op == UnaryOp::Exp) {
            return libm_entries().exp(x);
        } else if constexpr (Op == UnaryOp::Log) {
            return libm_entries().log(x);
        } else if constexpr (Op == UnaryOp::Log10) {
            return libm_entries().log10(x);
        } else {
            return apply_unary(Op, x);
        }
    }
};
template <BinaryOp Op>
struct BinaryFn {
    static constexpr int arity = 2;
    static double apply(double l, double r, double) {
        if constexpr (Op == BinaryOp::Pow) {
            return libm_entries().pow(l, r);
        } else if constexpr (Op == BinaryOp::Atan2) {
            return libm_entries().atan2(l, r);
        } else {
            return apply_binary(Op, l, r);
        }
    }
};
template <CompareOp Op>
struct CompareFn {
    static constexpr int arity = 2;
    static double apply(double l, double r, double) { return apply_compare(Op, l, r); }
};
// A Select whose branches are plain values: -0.0 and +0.0 choose if_false, NaN if_true.
struct BlendFn {
    static constexpr int arity = 3;
    static double apply(double c, double t, double f) { return c != 0.0 ? t : f; }
};
// A blended Select whose condition compares against the value it picks when true, as one step
// (where(x > hi, hi, y), clamping as people write it): the same comparison and the same pick.
template <CompareOp Op>
struct CompareKeepFn {  // l op r ? r : f
    static constexpr int arity = 3;
    static double apply(double l, double r, double f) { return apply_compare(Op, l, r) != 0.0 ? r : f; }
};
// Two of them in a row on the same value from both sides, clamping it (where(x < lo, lo,
// where(x > hi, hi, x))), as one step: the same two comparisons and the same picks.
template <CompareOp Outer, CompareOp Inner>
struct ClampFn {  // x outer lo ? lo : (x inner hi ? hi : x)
    static constexpr int arity = 3;
    static double apply(double x, double lo, double hi) {
        return apply_compare(Outer, x, lo) != 0.0 ? lo : (apply_compare(Inner, x, hi) != 0.0 ? hi : x);
    }
};
// The comparisons a clamp pairs: an outer one of the four orderings (codes 0 to 3) with an
// inner one of the opposite direction, strict or not.
static_assert(static_cast<int>(CompareOp::Gt) == 0 && static_cast<int>(CompareOp::Ge) == 1 &&
              static_cast<int>(CompareOp::Lt) == 2 && static_cast<int>(CompareOp::Le) == 3);
constexpr std::size_t kClampOuterOps = 4;
constexpr CompareOp clamp_inner(std::size_t outer, std::size_t k) {
    return static_cast<CompareOp>((outer < 2 ? 2 : 0) + k);
}
struct CopyFn {
    static constexpr int arity = 1;
    static double apply(double x, double, double) { return x; }
};
// A product and the sum that is its only reader, as one step: the same two operations in the
// same order, so the same bits, without the product's trip through a scratch block.
struct MulAddFn {  // x * y + z
    static constexpr int arity = 3;
    static double apply(double x, double y, double z) { return op_add(op_mul(x, y), z); }
};
struct AddMulFn {  // x + y * z
    static constexpr int arity = 3;
    static double apply(double x, double y, double z) { return op_add(x, op_mul(y, z)); }
};
// A min or max read only by the other one, bounding a value from both sides (min(max(x, lo),
// hi), as clip is written), as one step: the same two operations, the inner one on either side.
template <bool OuterMin, bool InnerLeft>
struct BoundFn {  // outer(inner(x, y), z) or outer(z, inner(x, y))
    static constexpr int arity = 3;
    static double apply(double x, double y, double z) {
        const double inner = OuterMin ? op_max(x, y) : op_min(x, y);
        return OuterMin ? (InnerLeft ? op_min(inner, z) : op_min(z, inner))
                        : (InnerLeft ? op_max(inner, z) : op_max(z, inner));
    }
};

// x ** c for a constant c: the candidate where it proves pow's result, pow itself elsewhere.
template <PowExponent E, bool Fma>
struct PowConstFn {
    static constexpr int arity = 1;
    static double candidate(double x) { return pow_candidate<E, Fma>(x); }
    // Through the entry, which the compiler cannot see into: with a constant exponent it
    // rewrites pow(x, 1.0) into x and pow(x, 2.0) into x * x, which are not always pow's bits.
    static double fallback(double x) { return libm_entries().pow(x, exponent_value(E)); }
    static double apply(double x, double, double) {
        const double d = candidate(x);
        return d == d ? d : fallback(x);
    }
};

}  // namespace

struct BlockProgram::Loops {
    DenseFn full;  // exactly kBlock elements
    DenseFn tail;  // any count
    IndexedFn indexed;
};

namespace {

using Loops = BlockProgram::Loops;

struct LoopTables {
    std::array<std::array<Loops, 8>, kUnaryOpCount> unary;
    std::array<std::array<Loops, 8>, kBinaryOpCount> binary;
    std::array<std::array<Loops, 8>, kCompareOpCount> compare;
    std::array<Loops, 8> blend;
    std::array<std::array<Loops, 8>, kCompareOpCount> compare_keep;
    std::array<std::array<std::array<Loops, 8>, 2>, kClampOuterOps> clamp;
    std::array<Loops, 8> copy;
    std::array<Loops, 8> mul_add;
    std::array<Loops, 8> add_mul;
    std::array<std::array<std::array<Loops, 8>, 2>, 2> bound;  // [outer is min][inner on the left]
    std::array<std::array<Loops, 8>, kPowExponentCount> pow_const;
};

#define QV_LOOP_SET baseline_loops
#define QV_LOOP_AVX2 0
#include "ir/block_loops.inc"

#if QV_AVX2_LOOPS
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#define QV_LOOP_SET avx2_loops
#define QV_LOOP_AVX2 1
#include "ir/block_loops.inc"
#pragma GCC pop_options
#endif

const LoopTables& tables_for(LoopSet set) {
#if QV_AVX2_LOOPS
    if (set == LoopSet::Avx2) {
        if (best_loop_set() != LoopSet::Avx2) fault("AVX2 loops requested on a CPU without AVX2 and FMA");
        return avx2_loops::kTables;
    }
#endif
    if (set != LoopSet::Baseline) fault("loop set not built into this module");
    return baseline_loops::kTables;
}

}  // namespace

LoopSet best_loop_set() noexcept {
#if QV_AVX2_LOOPS
    static const LoopSet best = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? LoopSet::Avx2 : LoopSet::Baseline;
    return best;
#else
    return LoopSet::Baseline;
#endif
}

namespace {

using Operand = BlockProgram::Operand;
using Step = BlockProgram::Step;
using Table = std::array<Loops, 8>;

constexpr std::uint32_t kNone = UINT32_MAX - 1;
// Branches of at most this many operators, none of them a math-library call, are blended.
constexpr std::uint32_t kBlendOps = 4;

// A value while decoding: a register (a block written once, by one step or by the two branches
// of a Select), an argument's data, or an entry of the scalar table.
struct Val {
    enum class Kind : std::uint8_t { Reg, Arg, Scalar } kind;
    std::uint32_t index;
};

bool is_vector(Val v) { return v.kind != Val::Kind::Scalar; }

// Operands past a step's arity read scalar entry 0.
constexpr Val kUnused{Val::Kind::Scalar, 0};

struct IrStep {
    Step::Kind kind;
    const Table* table;  // Compute
    std::uint32_t dst;   // Compute: register written; Begin, Else, End: the Select's result
    std::uint32_t ctx;   // the lane context it runs in
    int arity;           // operands read: Compute by its operator, Begin 1 (the condition)
    Val ops[3];
};

bool calls_libm(const Node& n) {
    if (n.tag == NodeTag::Unary) {
        switch (static_cast<UnaryOp>(n.op)) {
            case UnaryOp::Log: case UnaryOp::Exp: case UnaryOp::Log2: case UnaryOp::Log10:
            case UnaryOp::Sin: case UnaryOp::Cos: case UnaryOp::Tan: return true;
            default: return false;
        }
    }
    return n.tag == NodeTag::Binary && (static_cast<BinaryOp>(n.op) == BinaryOp::Pow ||
                                        static_cast<BinaryOp>(n.op) == BinaryOp::Atan2);
}

// A subtree's identity: its operator and its children's value numbers (constants by bits).
struct ShapeKey {
    NodeTag tag;
    std::uint8_t op;
    std::uint64_t bits;
    std::uint32_t kids[3];
    friend bool operator==(const ShapeKey&, const ShapeKey&) = default;
};
struct ShapeHash {
    std::size_t operator()(const ShapeKey& k) const noexcept {
        std::uint64_t h = (static_cast<std::uint64_t>(k.tag) << 8 | k.op) * 0x9e3779b97f4a7c15ull;
        for (std::uint64_t part : {k.bits, std::uint64_t{k.kids[0]}, std::uint64_t{k.kids[1]},
                                   std::uint64_t{k.kids[2]}}) {
            h = (h ^ part) * 0xff51afd7ed558ccdull;
            h ^= h >> 32;
        }
        return static_cast<std::size_t>(h);
    }
};

}  // namespace

// Decodes a post-order tree in three passes. First the analysis: value numbers (identical
// subtrees share one), which Selects blend and which split their lanes, the lane context of
// every node, and where each repeated subtree is computed: in the outermost context where every
// lane needs it (it appears there outside any split Select, or in both branches of one), before
// the Select whose branches use it. Then the emission of steps over registers, one per computed
// value; last the fusion of products into their sums and of comparisons into the blends that
// read them, and the assignment of scratch blocks to registers by their last reader.
class BlockProgram::Decoder {
public:
    Decoder(BlockProgram& program, const NodeList& tree, std::span<const ArgView> args, LoopSet set)
        : p_(program), tree_(tree), n_(tree.size()), args_(args), tables_(tables_for(set)) {
        if (n_ == 0) fault("malformed expression tree: no nodes");
        p_.is_buffer_.reserve(args.size());
        for (const ArgView& a : args) p_.is_buffer_.push_back(a.data != nullptr ? 1 : 0);
        p_.scalar_args_.assign(args.size(), UINT32_MAX);
        constant(0.0);  // kUnused
    }

    void decode() {
        number_values();
        classify_selects();
        assign_contexts();
        plan_hoists();
        emit();
        fuse_steps();
        allocate();
    }

private:
    struct Context {
        std::uint32_t parent;
        std::uint32_t first, last;  // node range of the branch
        std::uint32_t select;       // the Select whose branch this is
        bool if_true;
    };

    std::array<std::size_t, 3> kids_of(std::size_t i) const { return children(tree_, i); }
    bool shared(std::size_t i) const {
        return child_count(tree_[i].tag) != 0 && uses_[vn_[i]] > 1;
    }
    bool lazy(std::size_t i) const { return tree_[i].tag == NodeTag::Select && branch_ctx_[i] != kNone; }

    // Value numbers, checking every subtree size and operator code on the way.
    void number_values() {
        vn_.resize(n_);
        std::unordered_map<ShapeKey, std::uint32_t, ShapeHash> ids;
        ids.reserve(n_);
        for (std::size_t i = 0; i < n_; ++i) {
            const Node& node = tree_[i];
            check_node(i);
            ShapeKey key{node.tag, node.op, 0, {kNone, kNone, kNone}};
            if (node.tag == NodeTag::Const || node.tag == NodeTag::ArgRef) key.bits = node.bits;
            const auto kids = kids_of(i);
            for (std::size_t k = 0; k < child_count(node.tag); ++k) key.kids[k] = vn_[kids[k]];
            const auto [it, fresh] = ids.try_emplace(key, static_cast<std::uint32_t>(ids.size()));
            vn_[i] = it->second;
            if (fresh) uses_.push_back(0);
            ++uses_[vn_[i]];
        }
    }

    void check_node(std::size_t i) const {
        const Node& node = tree_[i];
        const std::size_t count = child_count(node.tag);
        if (node.tag > NodeTag::Select) fault("malformed expression tree: unknown node tag");
        if (node.size == 0 || node.size > i + 1 || (count == 0 && node.size != 1)) {
            fault("malformed expression tree: bad subtree size");
        }
        const std::size_t start = i + 1 - node.size;
        std::size_t at = i;
        for (std::size_t k = 0; k < count; ++k) {
            if (at <= start || tree_[at - 1].size > at - start) {
                fault("malformed expression tree: bad subtree size");
            }
            at -= tree_[at - 1].size;
        }
        if (at != start) fault("malformed expression tree: bad subtree size");
        switch (node.tag) {
            case NodeTag::Unary:
                if (node.op >= kUnaryOpCount) fault("unknown unary operator code " + std::to_string(node.op));
                break;
            case NodeTag::Binary:
                if (node.op >= kBinaryOpCount) fault("unknown binary operator code " + std::to_string(node.op));
                break;
            case NodeTag::Compare:
                if (node.op >= kCompareOpCount) fault("unknown compare operator code " + std::to_string(node.op));
                break;
            case NodeTag::ArgRef:
                if (node.bits >= args_.size()) {
                    fault("kernel argument " + std::to_string(node.bits) +
                          " outside the argument list of " + std::to_string(args_.size()));
                }
                break;
            default: break;
        }
    }

    // A Select blends when each branch has at most kBlendOps operators and no math-library
    // call or split Select of its own; subtrees that also appear in the other branch or the
    // condition do not count, since every lane computes them anyway. Nested Selects are
    // decided first (they come first in post-order), level by level.
    void classify_selects() {
        branch_ctx_.assign(n_, kNone);
        // Nodes grouped by value number, in node order within each group.
        std::vector<std::uint32_t> start(uses_.size() + 1, 0);
        for (std::size_t v = 0; v < uses_.size(); ++v) start[v + 1] = start[v] + uses_[v];
        std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
        occurrences_.resize(n_);
        for (std::size_t i = 0; i < n_; ++i) occurrences_[fill[vn_[i]]++] = static_cast<std::uint32_t>(i);
        occurrence_start_ = std::move(start);

        std::vector<std::size_t> work;
        for (std::size_t i = 0; i < n_; ++i) {
            if (tree_[i].tag != NodeTag::Select) continue;
            const auto kids = kids_of(i);
            const std::size_t cond_first = i + 1 - tree_[i].size;
            auto cheap = [&](std::size_t branch, std::size_t other) {
                const std::size_t other_first = other + 1 - tree_[other].size;
                auto elsewhere = [&](std::size_t j) {
                    return appears_in(vn_[j], cond_first, kids[0]) || appears_in(vn_[j], other_first, other);
                };
                std::uint32_t ops = 0;
                work.assign(1, branch);
                while (!work.empty()) {
                    const std::size_t j = work.back();
                    work.pop_back();
                    const std::size_t count = child_count(tree_[j].tag);
                    if (count == 0 || (uses_[vn_[j]] > 1 && elsewhere(j))) continue;
                    if (calls_libm(tree_[j]) || lazy(j) || ++ops > kBlendOps) return false;
                    const auto grandkids = kids_of(j);
                    for (std::size_t k = 0; k < count; ++k) work.push_back(grandkids[k]);
                }
                return true;
            };
            if (!cheap(kids[1], kids[2]) || !cheap(kids[2], kids[1])) branch_ctx_[i] = 0;  // split; set below
        }
    }

    // Whether value `v` has a node in [first, last].
    bool appears_in(std::uint32_t v, std::size_t first, std::size_t last) const {
        const auto begin = occurrences_.begin() + occurrence_start_[v];
        const auto end = occurrences_.begin() + occurrence_start_[v + 1];
        const auto it = std::lower_bound(begin, end, static_cast<std::uint32_t>(first));
        return it != end && *it <= last;
    }

    // The context of every node, walking down from the root: branches of split Selects open
    // contexts of their own.
    void assign_contexts() {
        ctx_.resize(n_);
        contexts_.push_back(Context{kNone, 0, static_cast<std::uint32_t>(n_ - 1), kNone, false});
        std::vector<std::uint32_t> open{0};
        std::vector<std::uint32_t> depth{0};
        for (std::size_t i = n_; i-- > 0;) {
            while (contexts_[open.back()].first > i) open.pop_back();
            const std::uint32_t here = open.back();
            ctx_[i] = here;
            if (!lazy(i)) continue;
            const auto kids = kids_of(i);
            branch_ctx_[i] = static_cast<std::uint32_t>(contexts_.size());
            for (int side = 0; side < 2; ++side) {
                const std::size_t root = kids[1 + side];
                contexts_.push_back(Context{here, static_cast<std::uint32_t>(root + 1 - tree_[root].size),
                                            static_cast<std::uint32_t>(root), static_cast<std::uint32_t>(i),
                                            side == 0});
                depth.push_back(depth[here] + 1);
                p_.nesting_ = std::max<std::size_t>(p_.nesting_, depth.back());
            }
            open.push_back(branch_ctx_[i]);      // if_true, reached last
            open.push_back(branch_ctx_[i] + 1);  // if_false, reached first
        }
    }

    bool encloses(std::uint32_t outer, std::uint32_t inner) const {
        return contexts_[outer].first <= contexts_[inner].first && contexts_[inner].last <= contexts_[outer].last;
    }

    // For each repeated subtree, the contexts where every lane needs it: where it appears, and
    // the context of any split Select that needs it in both branches. Such a Select computes it
    // before it begins, for the branches that appear below it.
    void plan_hoists() {
        std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> seen;  // value: one node per context
        for (std::size_t i = 0; i < n_; ++i) {
            if (!shared(i)) continue;
            std::vector<std::uint32_t>& nodes = seen[vn_[i]];
            const bool known = std::any_of(nodes.begin(), nodes.end(),
                                           [&](std::uint32_t j) { return ctx_[j] == ctx_[i]; });
            if (!known) nodes.push_back(static_cast<std::uint32_t>(i));
        }
        std::vector<std::uint32_t> mark(contexts_.size(), kNone), work;
        for (auto& [value, nodes] : seen) {
            if (nodes.size() < 2) continue;
            for (std::uint32_t j : nodes) {
                mark[ctx_[j]] = value;
                work.push_back(ctx_[j]);
            }
            while (!work.empty()) {
                const Context& c = contexts_[work.back()];
                work.pop_back();
                if (c.select == kNone) continue;
                const std::uint32_t sibling = branch_ctx_[c.select] + (c.if_true ? 1 : 0);
                const std::uint32_t parent = c.parent;
                if (mark[sibling] == value && mark[parent] != value) {
                    mark[parent] = value;
                    work.push_back(parent);
                }
            }
            for (std::uint32_t j : nodes) {
                for (std::uint32_t c = ctx_[j]; contexts_[c].select != kNone; c = contexts_[c].parent) {
                    const std::uint32_t s = contexts_[c].select;
                    if (mark[contexts_[c].parent] != value) continue;
                    std::vector<std::uint32_t>& list = hoists_[s];
                    const bool listed = std::any_of(list.begin(), list.end(),
                                                    [&](std::uint32_t k) { return vn_[k] == value; });
                    if (!listed) list.push_back(j);
                }
            }
        }
    }

    // ---- emission ----

    struct Work {
        std::uint32_t node;
        std::uint8_t phase;
        std::uint32_t ctx;  // split Selects: the context to return to
    };
    static constexpr std::uint32_t kDiscard = UINT32_MAX;

    void emit() {
        p_.steps_.reserve(n_);
        avail_.resize(uses_.size());
        std::vector<Work> work{Work{static_cast<std::uint32_t>(n_ - 1), 0, 0}};
        while (!work.empty()) {
            const Work w = work.back();
            work.pop_back();
            if (w.node == kDiscard) {
                vals_.pop_back();
                continue;
            }
            const std::size_t i = w.node;
            const Node& node = tree_[i];
            const auto kids = kids_of(i);
            const std::size_t count = child_count(node.tag);
            if (w.phase == 0) {
                if (shared(i)) {
                    if (const Val* hit = available(vn_[i])) {
                        vals_.push_back(*hit);
                        continue;
                    }
                }
                if (node.tag == NodeTag::Const) {
                    vals_.push_back(Val{Val::Kind::Scalar, constant(std::bit_cast<double>(node.bits))});
                } else if (node.tag == NodeTag::ArgRef) {
                    vals_.push_back(argument(node.bits));
                } else if (lazy(i)) {
                    work.push_back(Work{w.node, 1, cur_});
                    work.push_back(Work{static_cast<std::uint32_t>(kids[0]), 0, 0});
                } else {
                    work.push_back(Work{w.node, 1, 0});
                    for (std::size_t k = count; k-- > 0;) work.push_back(Work{static_cast<std::uint32_t>(kids[k]), 0, 0});
                }
                continue;
            }
            if (!lazy(i)) {
                operate(i);
                continue;
            }
            switch (w.phase) {
                case 1:  // condition done: the values both branches need, then the split
                    work.push_back(Work{w.node, 2, w.ctx});
                    if (const auto it = hoists_.find(static_cast<std::uint32_t>(i)); it != hoists_.end()) {
                        for (std::uint32_t j : it->second) {
                            work.push_back(Work{kDiscard, 0, 0});
                            work.push_back(Work{j, 0, 0});
                        }
                    }
                    break;
                case 2: {
                    const Val cond = pop();
                    const std::uint32_t result = next_reg_++;
                    select_result_.resize(next_reg_);
                    select_result_[result] = 1;
                    ir_.push_back(IrStep{Step::Kind::Begin, nullptr, result, cur_, 1, {cond, kUnused, kUnused}});
                    vals_.push_back(Val{Val::Kind::Reg, result});
                    branch_marks_.push_back(remembered_.size());
                    cur_ = branch_ctx_[i];
                    work.push_back(Work{w.node, 3, w.ctx});
                    work.push_back(Work{static_cast<std::uint32_t>(kids[1]), 0, 0});
                    break;
                }
                case 3:
                    finish_branch();
                    ir_.push_back(IrStep{Step::Kind::Else, nullptr, vals_.back().index, w.ctx, 0, {kUnused, kUnused, kUnused}});
                    cur_ = branch_ctx_[i] + 1;
                    work.push_back(Work{w.node, 4, w.ctx});
                    work.push_back(Work{static_cast<std::uint32_t>(kids[2]), 0, 0});
                    break;
                default:
                    finish_branch();
                    ir_.push_back(IrStep{Step::Kind::End, nullptr, vals_.back().index, w.ctx, 0, {kUnused, kUnused, kUnused}});
                    cur_ = w.ctx;
                    forget_branches();
                    remember(i, vals_.back());
                    break;
            }
        }
        if (vals_.size() != 1) fault("kernel body must leave exactly one value");
        const Val root = vals_.back();
        if (root.kind == Val::Kind::Reg && !reg_shared(root.index)) {
            output_ = root.index;
        } else {
            output_ = next_reg_++;
            ir_.push_back(IrStep{Step::Kind::Compute, &tables_.copy, output_, cur_, 1, {root, kUnused, kUnused}});
        }
    }

    Val pop() {
        if (vals_.empty()) fault("kernel body stack underflow");
        const Val v = vals_.back();
        vals_.pop_back();
        return v;
    }

    // An operator, or a blended Select, over the values on top of the stack.
    void operate(std::size_t i) {
        const Node& node = tree_[i];
        int arity = static_cast<int>(child_count(node.tag));
        Val ops[3] = {kUnused, kUnused, kUnused};
        for (int k = arity; k-- > 0;) ops[k] = pop();
        const Table* table = nullptr;
        switch (node.tag) {
            case NodeTag::Unary: table = &tables_.unary[node.op]; break;
            case NodeTag::Binary:
                table = &tables_.binary[node.op];
                if (const Table* fast = constant_power(node.op, ops)) {
                    table = fast;
                    ops[1] = kUnused;
                    arity = 1;
                } else if (const std::optional<double> r = exact_reciprocal(node.op, ops[1])) {
                    table = &tables_.binary[static_cast<std::size_t>(BinaryOp::Mul)];
                    ops[1] = Val{Val::Kind::Scalar, constant(*r)};
                }
                break;
            case NodeTag::Compare: table = &tables_.compare[node.op]; break;
            default: table = &tables_.blend; break;
        }
        const Val v = compute(table, arity, ops);
        remember(i, v);
        vals_.push_back(v);
    }

    // x ** c for a constant c with a candidate, where pow's error bound is known.
    const Table* constant_power(std::uint8_t op, const Val (&ops)[3]) const {
        if (static_cast<BinaryOp>(op) != BinaryOp::Pow || !is_vector(ops[0])) return nullptr;
        if (ops[1].kind != Val::Kind::Scalar || !is_constant_[ops[1].index] || !pow_bound_known()) return nullptr;
        const std::optional<PowExponent> e = pow_exponent_of(p_.constants_[ops[1].index]);
        return e ? &tables_.pow_const[static_cast<std::size_t>(*e)] : nullptr;
    }

    // x / c for a constant power of two c whose reciprocal is a double: x * (1/c) is the same
    // real number x * 2^-k, rounded once, so the same bits (zeros, infinities and subnormal
    // results included; a NaN x comes out of either as itself, quieted).
    std::optional<double> exact_reciprocal(std::uint8_t op, Val divisor) const {
        if (static_cast<BinaryOp>(op) != BinaryOp::Div || divisor.kind != Val::Kind::Scalar ||
            !is_constant_[divisor.index]) {
            return std::nullopt;
        }
        const auto bits = std::bit_cast<std::uint64_t>(p_.constants_[divisor.index]);
        const std::uint64_t exponent = (bits >> 52) & 0x7ff;
        if ((bits & 0x000fffffffffffffull) != 0 || exponent == 0 || exponent == 0x7ff) return std::nullopt;
        return 1.0 / p_.constants_[divisor.index];
    }

    // A register for a step over blocks; over scalars alone, a scalar folded now (constants) or
    // once per call (scalar arguments).
    Val compute(const Table* table, int arity, const Val (&ops)[3]) {
        if (is_vector(ops[0]) || is_vector(ops[1]) || is_vector(ops[2])) {
            const std::uint32_t dst = next_reg_++;
            ir_.push_back(IrStep{Step::Kind::Compute, table, dst, cur_, arity, {ops[0], ops[1], ops[2]}});
            return Val{Val::Kind::Reg, dst};
        }
        const Loops& loops = (*table)[0];
        const std::uint32_t e[3] = {ops[0].index, ops[1].index, ops[2].index};
        if (is_constant_[e[0]] && is_constant_[e[1]] && is_constant_[e[2]]) {
            const double s[3] = {p_.constants_[e[0]], p_.constants_[e[1]], p_.constants_[e[2]]};
            double v = 0.0;
            const std::uint32_t lane = 0;
            loops.indexed(&v, nullptr, nullptr, nullptr, s, &lane, 1);
            return Val{Val::Kind::Scalar, constant(v)};
        }
        const std::uint32_t dst = entry(0.0, false);
        p_.scalar_steps_.push_back(ScalarStep{&loops, dst, e[0], e[1], e[2]});
        return Val{Val::Kind::Scalar, dst};
    }

    // The branch's value goes to the Select's result register: its last step writes there
    // when that step made it for this branch alone, otherwise it is copied.
    void finish_branch() {
        const Val v = pop();
        if (vals_.empty()) fault("kernel body stack underflow");
        const std::uint32_t result = vals_.back().index;
        if (v.kind == Val::Kind::Reg && !reg_shared(v.index) && !ir_.empty() &&
            ir_.back().kind == Step::Kind::Compute && ir_.back().dst == v.index) {
            ir_.back().dst = result;
            return;
        }
        ir_.push_back(IrStep{Step::Kind::Compute, &tables_.copy, result, cur_, 1, {v, kUnused, kUnused}});
    }

    const Val* available(std::uint32_t value) const {
        for (const auto& [ctx, v] : avail_[value]) {
            if (encloses(ctx, cur_)) return &v;
        }
        return nullptr;
    }
    void remember(std::size_t i, Val v) {
        if (!shared(i)) return;
        avail_[vn_[i]].emplace_back(cur_, v);
        remembered_.push_back(vn_[i]);
        if (v.kind == Val::Kind::Reg) {
            reg_shared_.resize(next_reg_);
            reg_shared_[v.index] = 1;
        }
    }
    // Values made in a split Select's branches hold only the lanes of this pass through it. The
    // same Select can be emitted twice (hoisted, and inside another hoisted subtree); its
    // branches are the same contexts both times, so the second pass must not find the first
    // pass's values there.
    void forget_branches() {
        const std::size_t mark = branch_marks_.back();
        branch_marks_.pop_back();
        for (; remembered_.size() > mark; remembered_.pop_back()) avail_[remembered_.back()].pop_back();
    }
    bool reg_shared(std::uint32_t r) const { return r < reg_shared_.size() && reg_shared_[r] != 0; }

    std::uint32_t entry(double value, bool is_constant) {
        p_.constants_.push_back(value);
        is_constant_.push_back(is_constant);
        return static_cast<std::uint32_t>(p_.constants_.size() - 1);
    }
    std::uint32_t constant(double value) { return entry(value, true); }
    Val argument(std::uint64_t k) {
        if (p_.is_buffer_[k] != 0) return Val{Val::Kind::Arg, static_cast<std::uint32_t>(k)};
        if (p_.scalar_args_[k] == UINT32_MAX) p_.scalar_args_[k] = entry(0.0, false);
        return Val{Val::Kind::Scalar, p_.scalar_args_[k]};
    }

    // ---- fusion and scratch blocks ----

    bool is_step_of(const IrStep& s, const Table& table) const {
        return s.kind == Step::Kind::Compute && s.table == &table;
    }

    // Whether two operands hold the same value: the same register or argument, or scalar entries
    // that are constants with the same bits.
    bool same_value(Val a, Val b) const {
        if (a.kind != b.kind) return false;
        if (a.index == b.index) return true;
        return a.kind == Val::Kind::Scalar && is_constant_[a.index] && is_constant_[b.index] &&
               std::bit_cast<std::uint64_t>(p_.constants_[a.index]) ==
                   std::bit_cast<std::uint64_t>(p_.constants_[b.index]);
    }

    // A product read only by a sum in the same context becomes one x*y+z or x+y*z step: the
    // same two operations in the same order, so the same bits, without the trip through a block;
    // a max read only by a min (or a min by a max), one bounding step.
    // A comparison read only by the blend that picks its right operand when true becomes one
    // compare-and-keep step, and two of those clamping one value from both sides one clamp.
    void fuse_steps() {
        std::vector<std::uint32_t> reads(next_reg_), def(next_reg_, kNone);
        for (std::size_t j = 0; j < ir_.size(); ++j) {
            const IrStep& s = ir_[j];
            for (int k = 0; k < s.arity; ++k) {
                if (s.ops[k].kind == Val::Kind::Reg) ++reads[s.ops[k].index];
            }
            if (s.kind == Step::Kind::Compute && def[s.dst] == kNone) def[s.dst] = static_cast<std::uint32_t>(j);
        }
        std::vector<std::uint8_t> dead(ir_.size());
        const Table& mul = tables_.binary[static_cast<std::size_t>(BinaryOp::Mul)];
        const Table& add = tables_.binary[static_cast<std::size_t>(BinaryOp::Add)];
        const Table& min = tables_.binary[static_cast<std::size_t>(BinaryOp::Min)];
        const Table& max = tables_.binary[static_cast<std::size_t>(BinaryOp::Max)];
        // The step that makes v, when this reader is its only one, in the same context; taken
        // out of the program.
        auto sole_source = [&](const IrStep& reader, Val v, auto&& wanted) -> IrStep* {
            if (v.kind != Val::Kind::Reg || reads[v.index] != 1 || v.index == output_) return nullptr;
            if (v.index < select_result_.size() && select_result_[v.index] != 0) return nullptr;
            const std::uint32_t d = def[v.index];
            if (d == kNone || dead[d] || !wanted(ir_[d]) || ir_[d].ctx != reader.ctx) return nullptr;
            dead[d] = 1;
            return &ir_[d];
        };
        auto is_product = [&](const IrStep& s) { return is_step_of(s, mul); };
        for (IrStep& s : ir_) {
            if (is_step_of(s, add)) {
                if (const IrStep* m = sole_source(s, s.ops[0], is_product)) {
                    s = IrStep{s.kind, &tables_.mul_add, s.dst, s.ctx, 3, {m->ops[0], m->ops[1], s.ops[1]}};
                } else if (const IrStep* m2 = sole_source(s, s.ops[1], is_product)) {
                    s = IrStep{s.kind, &tables_.add_mul, s.dst, s.ctx, 3, {s.ops[0], m2->ops[0], m2->ops[1]}};
                }
            } else if (is_step_of(s, min) || is_step_of(s, max)) {
                const bool outer_min = is_step_of(s, min);
                auto is_inner = [&](const IrStep& i) { return is_step_of(i, outer_min ? max : min); };
                if (const IrStep* i = sole_source(s, s.ops[0], is_inner)) {
                    s = IrStep{s.kind, &tables_.bound[outer_min][1], s.dst, s.ctx, 3, {i->ops[0], i->ops[1], s.ops[1]}};
                } else if (const IrStep* i2 = sole_source(s, s.ops[1], is_inner)) {
                    s = IrStep{s.kind, &tables_.bound[outer_min][0], s.dst, s.ctx, 3, {i2->ops[0], i2->ops[1], s.ops[0]}};
                }
            } else if (is_step_of(s, tables_.blend)) {
                const Val picked = s.ops[1];
                auto keeps_picked = [&](const IrStep& c) {
                    return c.kind == Step::Kind::Compute && c.table >= &tables_.compare.front() &&
                           c.table <= &tables_.compare.back() && same_value(c.ops[1], picked);
                };
                if (const IrStep* c = sole_source(s, s.ops[0], keeps_picked)) {
                    const auto op = static_cast<std::size_t>(c->table - &tables_.compare.front());
                    s = IrStep{s.kind, &tables_.compare_keep[op], s.dst, s.ctx, 3, {c->ops[0], c->ops[1], s.ops[2]}};
                    if (op < kClampOuterOps) fuse_clamp(s, op, sole_source);
                }
            }
        }
        std::size_t kept = 0;
        for (std::size_t j = 0; j < ir_.size(); ++j) {
            if (!dead[j]) ir_[kept++] = ir_[j];
        }
        ir_.resize(kept);
    }

    // A compare-and-keep whose other value is made, for it alone, by a compare-and-keep of the
    // same value from the other side (and that keeps this value too) becomes one clamp step.
    template <class SoleSource>
    void fuse_clamp(IrStep& s, std::size_t outer, SoleSource& sole_source) {
        for (std::size_t k = 0; k < 2; ++k) {
            const Table& inner = tables_.compare_keep[static_cast<std::size_t>(clamp_inner(outer, k))];
            auto clamps_same_value = [&](const IrStep& c) {
                return is_step_of(c, inner) && same_value(c.ops[0], s.ops[0]) && same_value(c.ops[2], s.ops[0]);
            };
            if (const IrStep* c = sole_source(s, s.ops[2], clamps_same_value)) {
                s = IrStep{s.kind, &tables_.clamp[outer][k], s.dst, s.ctx, 3, {s.ops[0], s.ops[1], c->ops[1]}};
                return;
            }
        }
    }

    // Scratch blocks by last reader. A step's block is taken before its operands' blocks are
    // given back, so a step never writes a block it reads.
    void allocate() {
        std::vector<std::uint32_t> last(next_reg_, kNone), slot(next_reg_, kNone), free;
        for (std::size_t j = 0; j < ir_.size(); ++j) {
            for (int k = 0; k < ir_[j].arity; ++k) {
                if (ir_[j].ops[k].kind == Val::Kind::Reg) last[ir_[j].ops[k].index] = static_cast<std::uint32_t>(j);
            }
        }
        std::uint32_t slots = 0;
        slot[output_] = kOutput;
        auto take = [&](std::uint32_t r) {
            if (slot[r] != kNone) return;
            if (free.empty()) {
                slot[r] = slots++;
            } else {
                slot[r] = free.back();
                free.pop_back();
            }
        };
        auto give_back = [&](std::uint32_t r, std::uint32_t j) {
            if (last[r] != j || slot[r] == kOutput) return;
            last[r] = kNone - 1;  // once, even when read twice by this step
            free.push_back(slot[r]);
        };
        auto operand = [&](Val v) {
            switch (v.kind) {
                case Val::Kind::Reg: return Operand{Operand::Source::Slot, slot[v.index]};
                case Val::Kind::Arg: return Operand{Operand::Source::Array, v.index};
                case Val::Kind::Scalar: break;
            }
            return Operand{Operand::Source::Scalar, v.index};
        };
        p_.steps_.clear();
        for (std::size_t j = 0; j < ir_.size(); ++j) {
            const IrStep& s = ir_[j];
            const auto at = static_cast<std::uint32_t>(j);
            const int arity = s.arity;
            if (s.kind == Step::Kind::Compute || s.kind == Step::Kind::Begin) take(s.dst);
            Operand ops[3] = {operand(s.ops[0]), operand(s.ops[1]), operand(s.ops[2])};
            for (int k = arity; k < 3; ++k) ops[k] = Operand{Operand::Source::Scalar, 0};
            const Loops* loops = nullptr;
            if (s.kind == Step::Kind::Compute) {
                const std::size_t shape = (arity > 0 && is_vector(s.ops[0]) ? 1 : 0) |
                                          (arity > 1 && is_vector(s.ops[1]) ? 2 : 0) |
                                          (arity > 2 && is_vector(s.ops[2]) ? 4 : 0);
                loops = &(*s.table)[shape];
            }
            p_.steps_.push_back(Step{s.kind, loops, slot[s.dst], ops[0], ops[1], ops[2]});
            for (int k = 0; k < arity; ++k) {
                if (s.ops[k].kind == Val::Kind::Reg) give_back(s.ops[k].index, at);
            }
            if (s.kind == Step::Kind::Compute && last[s.dst] == kNone && slot[s.dst] != kOutput &&
                !(s.dst < select_result_.size() && select_result_[s.dst] != 0)) {
                free.push_back(slot[s.dst]);  // never read
            }
        }
        p_.finish_layout(slots);
    }

    BlockProgram& p_;
    const NodeList& tree_;
    std::size_t n_;
    std::span<const ArgView> args_;
    const LoopTables& tables_;

    std::vector<std::uint32_t> vn_;    // value number per node
    std::vector<std::uint32_t> uses_;  // nodes per value number
    std::vector<std::uint32_t> occurrences_, occurrence_start_;  // nodes by value number
    std::vector<std::uint32_t> ctx_;   // context per node
    std::vector<std::uint32_t> branch_ctx_;  // per split Select: its if_true context (if_false next)
    std::vector<Context> contexts_;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> hoists_;  // Select: nodes to compute first

    std::vector<std::vector<std::pair<std::uint32_t, Val>>> avail_;  // per value: (context, value)
    std::vector<std::uint32_t> remembered_;  // the values put in avail_, in order
    std::vector<std::size_t> branch_marks_;  // per split Select being emitted: remembered_'s size at its Begin
    std::vector<Val> vals_;
    std::vector<IrStep> ir_;
    std::vector<std::uint8_t> is_constant_;  // per scalar entry
    std::vector<std::uint8_t> reg_shared_, select_result_;
    std::uint32_t next_reg_ = 0;
    std::uint32_t output_ = kNone;
    std::uint32_t cur_ = 0;
};

namespace {

// The flat program's postfix list is the post-order of its tree; only the sizes are missing.
NodeList tree_of(const FlatProgram& program) {
    NodeList tree;
    tree.reserve(program.instructions.size());
    std::vector<std::uint32_t> sizes;
    for (const FlatOp& ins : program.instructions) {
        Node node{NodeTag::Const, ins.op, 1, ins.value};
        std::size_t operands = 0;
        switch (ins.kind) {
            case FlatKind::Const: node.op = 0; break;
            case FlatKind::Arg: node.tag = NodeTag::ArgRef; node.op = 0; break;
            case FlatKind::Unary: node.tag = NodeTag::Unary; node.bits = 0; operands = 1; break;
            case FlatKind::Binary: node.tag = NodeTag::Binary; node.bits = 0; operands = 2; break;
            case FlatKind::Compare: node.tag = NodeTag::Compare; node.bits = 0; operands = 2; break;
            default:
                fault("unknown flat instruction kind " + std::to_string(static_cast<int>(ins.kind)));
        }
        if (sizes.size() < operands) fault("kernel body stack underflow");
        for (std::size_t k = 0; k < operands; ++k) {
            node.size += sizes.back();
            sizes.pop_back();
        }
        sizes.push_back(node.size);
        tree.push_back(node);
    }
    if (sizes.size() != 1) fault("kernel body must leave exactly one value");
    return tree;
}

}  // namespace

BlockProgram::BlockProgram(const FlatProgram& program, std::span<const ArgView> args, LoopSet set) {
    const NodeList tree = tree_of(program);
    Decoder(*this, tree, args, set).decode();
}

BlockProgram::BlockProgram(const NodeList& tree, std::span<const ArgView> args, LoopSet set) {
    Decoder(*this, tree, args, set).decode();
}

bool BlockProgram::matches(std::span<const ArgView> args) const noexcept {
    if (args.size() != is_buffer_.size()) return false;
    for (std::size_t k = 0; k < args.size(); ++k) {
        if ((args[k].data != nullptr) != (is_buffer_[k] != 0)) return false;
    }
    return true;
}

BlockBinding BlockProgram::bind(std::span<const ArgView> args) const {
    if (!matches(args)) fault("arguments bound to a program decoded for other argument kinds");
    BlockBinding b(*this);
    b.data_.resize(args.size());
    b.scalars_ = constants_;
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (args[k].data != nullptr) {
            b.data_[k] = args[k].data;
            b.length_ = std::min(b.length_, args[k].length);
        } else if (scalar_args_[k] != UINT32_MAX) {
            b.scalars_[scalar_args_[k]] = args[k].scalar;
        }
    }
    for (const ScalarStep& s : scalar_steps_) {
        const double operands[3] = {b.scalars_[s.a], b.scalars_[s.b], b.scalars_[s.c]};
        const std::uint32_t lane = 0;
        s.loops->indexed(&b.scalars_[s.dst], nullptr, nullptr, nullptr, operands, &lane, 1);
    }
    return b;
}

void BlockProgram::finish_layout(std::size_t slots) {
    slots_ = slots;
    // Per element of a block: one double per scratch block, two lane indices per nesting level.
    const std::size_t per_element = slots * sizeof(double) + nesting_ * 2 * sizeof(std::uint32_t);
    if (per_element * kBlock <= kScratchBudgetBytes) {
        block_ = kBlock;
    } else {
        block_ = std::max<std::size_t>(1, kScratchBudgetBytes / per_element);
    }
}

namespace {

// The elements of a block a step applies to: all of them, or a sorted list of lane indices.
struct Lanes {
    bool dense;
    std::size_t offset;  // into the lane arena
    std::size_t count;
};

struct SelectFrame {
    Lanes outer;
    Lanes if_false;
    std::size_t arena_mark;
};

}  // namespace

void BlockBinding::run(std::size_t begin, std::size_t end, double* out) const {
    if (begin >= end) return;
    if (end > length_) {
        fault("element index " + std::to_string(end - 1) + " outside a buffer of " +
              std::to_string(length_));
    }
    using Operand = BlockProgram::Operand;
    using Step = BlockProgram::Step;
    const std::size_t block_ = p_->block_, slots_ = p_->slots_, nesting_ = p_->nesting_;
    constexpr std::uint32_t kOutput = BlockProgram::kOutput;
    // Short runs get short blocks, so a call over a few elements allocates little scratch.
    const std::size_t B = std::min(block_, end - begin);
    // Every element is written before it is read: no need to clear it.
    const std::unique_ptr<double[]> scratch(new double[slots_ * B]);
    std::vector<std::uint32_t> arena(nesting_ * 2 * B);
    std::vector<SelectFrame> frames;
    frames.reserve(nesting_);

    for (std::size_t s = begin; s < end; s += B) {
        const std::size_t len = std::min(B, end - s);
        const bool full = len == kBlock;
        Lanes active{true, 0, len};
        std::size_t arena_top = 0;
        frames.clear();

        auto base = [&](const Operand& o) -> const double* {
            switch (o.source) {
                case Operand::Source::Slot: return o.index == kOutput ? out + s : scratch.get() + o.index * B;
                case Operand::Source::Array: return data_[o.index] + s;
                case Operand::Source::Scalar: return nullptr;
            }
            return nullptr;
        };
        auto value = [&](const Operand& o) {
            return o.source == Operand::Source::Scalar ? scalars_[o.index] : 0.0;
        };

        for (const Step& step : p_->steps_) {
            switch (step.kind) {
                case Step::Kind::Compute: {
                    double* dst = step.dst == kOutput ? out + s : scratch.get() + step.dst * B;
                    const double scalars[3] = {value(step.a), value(step.b), value(step.c)};
                    const double* a = base(step.a);
                    const double* b = base(step.b);
                    const double* c = base(step.c);
                    if (active.dense) {
                        (full ? step.loops->full : step.loops->tail)(dst, a, b, c, scalars, len);
                    } else {
                        step.loops->indexed(dst, a, b, c, scalars, arena.data() + active.offset,
                                            active.count);
                    }
                    break;
                }
                case Step::Kind::Begin: {
                    const double* cond = base(step.a);
                    const double cond_scalar = value(step.a);
                    const std::size_t t_off = arena_top, f_off = arena_top + active.count;
                    std::size_t t_count = 0, f_count = 0;
                    for (std::size_t k = 0; k < active.count; ++k) {
                        const std::uint32_t lane =
                            active.dense ? static_cast<std::uint32_t>(k) : arena[active.offset + k];
                        // Written to both lists, kept in one: no branch to mispredict.
                        const bool chose_true = (cond == nullptr ? cond_scalar : cond[lane]) != 0.0;
                        arena[t_off + t_count] = lane;
                        arena[f_off + f_count] = lane;
                        t_count += chose_true ? 1 : 0;
                        f_count += chose_true ? 0 : 1;
                    }
                    frames.push_back(SelectFrame{active, Lanes{false, f_off, f_count}, arena_top});
                    arena_top += 2 * active.count;
                    // A block that chose one side as a whole keeps the dense loops.
                    if (active.dense && f_count == 0) {
                        active = Lanes{true, 0, len};
                    } else {
                        active = Lanes{false, t_off, t_count};
                    }
                    if (frames.back().outer.dense && t_count == 0) {
                        frames.back().if_false = Lanes{true, 0, len};
                    }
                    break;
                }
                case Step::Kind::Else:
                    active = frames.back().if_false;
                    break;
                case Step::Kind::End:
                    active = frames.back().outer;
                    arena_top = frames.back().arena_mark;
                    frames.pop_back();
                    break;
            }
        }
    }
}

}  // namespace qv
