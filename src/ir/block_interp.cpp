// Block interpreter: decodes a body into steps over scratch blocks once, then runs every step
// over a block of elements; the elementwise loops are plain enough for the compiler to vectorise.
#include "ir/block_interp.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

// The AVX2 set needs GCC's target pragma; other compilers build the baseline set alone.
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

template <UnaryOp Op>
struct UnaryFn {
    static constexpr int arity = 1;
    static double apply(double x, double, double) { return apply_unary(Op, x); }
};
template <BinaryOp Op>
struct BinaryFn {
    static constexpr int arity = 2;
    static double apply(double l, double r, double) { return apply_binary(Op, l, r); }
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
    std::array<Loops, 8> copy;
    std::array<Loops, 8> mul_add;
    std::array<Loops, 8> add_mul;
};

#define QV_LOOP_SET baseline_loops
#define QV_LOOP_AVX2 0
#include "ir/block_loops.inc"

#if QV_AVX2_LOOPS
#pragma GCC push_options
#pragma GCC target("avx2")
#define QV_LOOP_SET avx2_loops
#define QV_LOOP_AVX2 1
#include "ir/block_loops.inc"
#pragma GCC pop_options
#endif

const LoopTables& tables_for(LoopSet set) {
#if QV_AVX2_LOOPS
    if (set == LoopSet::Avx2) {
        if (best_loop_set() != LoopSet::Avx2) fault("AVX2 loops requested on a CPU without AVX2");
        return avx2_loops::kTables;
    }
#endif
    if (set != LoopSet::Baseline) fault("loop set not built into this module");
    return baseline_loops::kTables;
}

}  // namespace

LoopSet best_loop_set() noexcept {
#if QV_AVX2_LOOPS
    static const LoopSet best = __builtin_cpu_supports("avx2") ? LoopSet::Avx2 : LoopSet::Baseline;
    return best;
#else
    return LoopSet::Baseline;
#endif
}

namespace {

using Operand = BlockProgram::Operand;
using Step = BlockProgram::Step;

constexpr std::uint32_t kNone = UINT32_MAX - 1;

Operand slot_operand(std::uint32_t slot) { return Operand{Operand::Source::Slot, slot, nullptr, 0.0}; }
Operand scalar_operand(double v) { return Operand{Operand::Source::Scalar, 0, nullptr, v}; }

bool is_vector(const Operand& o) { return o.source != Operand::Source::Scalar; }

}  // namespace

// Turns a postfix walk into steps: leaves stay lazy operands (read straight from the argument
// or as a scalar), every operator gets a scratch block of its own that no operand shares, and
// each Select's two branches write into one result block.
class BlockProgram::Decoder {
public:
    // Sized up front: a small call should not pay for the vectors' growth.
    Decoder(BlockProgram& program, std::span<const ArgView> args, std::size_t nodes,
            std::size_t depth, LoopSet set)
        : p_(program), args_(args), tables_(tables_for(set)) {
        p_.steps_.reserve(nodes);
        p_.array_lengths_.reserve(args.size());
        stack_.reserve(depth);
        free_.reserve(depth);
    }

    void leaf_const(std::uint64_t bits) { stack_.push_back(scalar_operand(std::bit_cast<double>(bits))); }

    void leaf_arg(std::uint64_t index) {
        if (index >= args_.size()) {
            fault("kernel argument " + std::to_string(index) + " outside the argument list of " +
                  std::to_string(args_.size()));
        }
        const ArgView& v = args_[index];
        if (v.data == nullptr) {
            stack_.push_back(scalar_operand(v.scalar));
        } else {
            stack_.push_back(Operand{Operand::Source::Array, 0, v.data, 0.0});
            p_.array_lengths_.push_back(v.length);
        }
    }

    // Applies an operator of `arity` from `table` to the top operands, writing to `target`
    // (kNone: a fresh block).
    void compute(const std::array<Loops, 8>& table, int arity, std::uint32_t target) {
        if (stack_.size() < static_cast<std::size_t>(arity)) fault("kernel body stack underflow");
        Operand ops[3] = {scalar_operand(0.0), scalar_operand(0.0), scalar_operand(0.0)};
        for (int k = arity; k-- > 0;) {
            ops[k] = stack_.back();
            stack_.pop_back();
        }
        emit(table, ops, arity, target);
    }

    void unary(std::uint8_t op, std::uint32_t target) {
        if (op >= kUnaryOpCount) fault("unknown unary operator code " + std::to_string(op));
        compute(tables_.unary[op], 1, target);
    }
    void binary(std::uint8_t op, std::uint32_t target) {
        if (op >= kBinaryOpCount) fault("unknown binary operator code " + std::to_string(op));
        if (static_cast<BinaryOp>(op) == BinaryOp::Add && fuse_product(target)) return;
        compute(tables_.binary[op], 2, target);
    }
    void compare(std::uint8_t op, std::uint32_t target) {
        if (op >= kCompareOpCount) fault("unknown compare operator code " + std::to_string(op));
        compute(tables_.compare[op], 2, target);
    }
    void blend(std::uint32_t target) { compute(tables_.blend, 3, target); }

    // The condition is on top of the stack; returns the block both branches write.
    std::uint32_t begin_select(std::uint32_t target) {
        if (stack_.empty()) fault("kernel body stack underflow");
        const Operand cond = stack_.back();
        stack_.pop_back();
        const std::uint32_t result = target == kNone ? allocate() : target;
        p_.steps_.push_back(Step{Step::Kind::Begin, nullptr, result, cond, {}, {}});
        release(cond);
        ++branch_depth_;
        p_.nesting_ = std::max(p_.nesting_, branch_depth_);
        return result;
    }
    void else_select(std::uint32_t result) {
        finish_branch(result);
        p_.steps_.push_back(Step{Step::Kind::Else, nullptr, result, {}, {}, {}});
    }
    void end_select(std::uint32_t result) {
        finish_branch(result);
        p_.steps_.push_back(Step{Step::Kind::End, nullptr, result, {}, {}, {}});
        --branch_depth_;
        stack_.push_back(slot_operand(result));
    }

    // The whole body's value goes to the output.
    void finish() {
        if (stack_.size() != 1) fault("kernel body must leave exactly one value");
        const Operand top = stack_.back();
        if (!(top.source == Operand::Source::Slot && top.slot == kOutput)) copy_into(top, kOutput);
        p_.finish_layout(next_slot_);
    }

private:
    // The sum on top of the stack, when one of its operands is the product the last step
    // made (a slot on the stack is read exactly once: this sum is its only reader), becomes
    // one x*y+z or x+y*z step.
    bool fuse_product(std::uint32_t target) {
        if (p_.steps_.empty() || !is_product(p_.steps_.back()) || stack_.size() < 2) return false;
        const Step product = p_.steps_.back();
        const Operand l = stack_[stack_.size() - 2], r = stack_.back();
        auto made_by_product = [&](const Operand& o) {
            return o.source == Operand::Source::Slot && o.slot == product.dst;
        };
        Operand ops[3] = {scalar_operand(0.0), scalar_operand(0.0), scalar_operand(0.0)};
        const std::array<Loops, 8>* table = nullptr;
        if (made_by_product(l)) {
            ops[0] = product.a, ops[1] = product.b, ops[2] = r;
            table = &tables_.mul_add;
        } else if (made_by_product(r)) {
            ops[0] = l, ops[1] = product.a, ops[2] = product.b;
            table = &tables_.add_mul;
        } else {
            return false;
        }
        p_.steps_.pop_back();
        stack_.pop_back();
        stack_.pop_back();
        // The product released its operands' blocks when it was made; they are read again now.
        reclaim(product.a);
        reclaim(product.b);
        emit(*table, ops, 3, target);
        release(slot_operand(product.dst));
        return true;
    }

    bool is_product(const Step& step) const {
        const auto& products = tables_.binary[static_cast<std::size_t>(BinaryOp::Mul)];
        return step.kind == Step::Kind::Compute &&
               std::any_of(products.begin(), products.end(),
                           [&](const Loops& loops) { return &loops == step.loops; });
    }

    // One step of `table` over `ops`, writing to `target` (kNone: a fresh block), its value
    // pushed; or, when every operand is a scalar, that value folded once for every block.
    void emit(const std::array<Loops, 8>& table, const Operand (&ops)[3], int arity,
              std::uint32_t target) {
        const std::size_t shape = (is_vector(ops[0]) ? 1 : 0) | (is_vector(ops[1]) ? 2 : 0) |
                                  (is_vector(ops[2]) ? 4 : 0);
        const Loops& loops = table[shape];
        if (shape == 0 && target == kNone && branch_depth_ == 0) {
            stack_.push_back(scalar_operand(fold(loops, ops)));
            return;
        }
        // Allocated before any operand's block is released: a step never writes a block it reads.
        const std::uint32_t dst = target == kNone ? allocate() : target;
        p_.steps_.push_back(Step{Step::Kind::Compute, &loops, dst, ops[0], ops[1], ops[2]});
        for (int k = 0; k < arity; ++k) release(ops[k]);
        stack_.push_back(slot_operand(dst));
    }

    static double fold(const Loops& loops, const Operand* ops) {
        const double scalars[3] = {ops[0].value, ops[1].value, ops[2].value};
        double v = 0.0;
        const std::uint32_t lane = 0;
        loops.indexed(&v, nullptr, nullptr, nullptr, scalars, &lane, 1);
        return v;
    }

    void finish_branch(std::uint32_t result) {
        if (stack_.empty()) fault("kernel body stack underflow");
        const Operand top = stack_.back();
        stack_.pop_back();
        if (top.source == Operand::Source::Slot && top.slot == result) return;
        copy_into(top, result);
    }

    void copy_into(const Operand& from, std::uint32_t dst) {
        const Loops& loops = tables_.copy[is_vector(from) ? 1 : 0];
        p_.steps_.push_back(Step{Step::Kind::Compute, &loops, dst, from, {}, {}});
        release(from);
    }

    std::uint32_t allocate() {
        if (!free_.empty()) {
            const std::uint32_t s = free_.back();
            free_.pop_back();
            return s;
        }
        return next_slot_++;
    }
    // Select result blocks stay owned by their Select until its value is consumed.
    void release(const Operand& o) {
        if (o.source == Operand::Source::Slot && o.slot != kOutput) free_.push_back(o.slot);
    }
    void reclaim(const Operand& o) {
        if (o.source != Operand::Source::Slot || o.slot == kOutput) return;
        const auto it = std::find(free_.rbegin(), free_.rend(), o.slot);
        if (it != free_.rend()) free_.erase(std::next(it).base());
    }

    BlockProgram& p_;
    std::span<const ArgView> args_;
    const LoopTables& tables_;
    std::vector<Operand> stack_;
    std::vector<std::uint32_t> free_;
    std::uint32_t next_slot_ = 0;
    std::size_t branch_depth_ = 0;
};

BlockProgram::BlockProgram(const FlatProgram& program, std::span<const ArgView> args,
                           LoopSet set) {
    const std::size_t n = program.instructions.size();
    Decoder d(*this, args, n, program.max_depth, set);
    for (std::size_t i = 0; i < n; ++i) {
        const FlatOp& ins = program.instructions[i];
        const std::uint32_t target = i + 1 == n ? kOutput : kNone;
        switch (ins.kind) {
            case FlatKind::Const: d.leaf_const(ins.value); break;
            case FlatKind::Arg: d.leaf_arg(ins.value); break;
            case FlatKind::Unary: d.unary(ins.op, target); break;
            case FlatKind::Binary: d.binary(ins.op, target); break;
            case FlatKind::Compare: d.compare(ins.op, target); break;
            default:
                fault("unknown flat instruction kind " + std::to_string(static_cast<int>(ins.kind)));
        }
    }
    d.finish();
}

BlockProgram::BlockProgram(const NodeList& tree, std::span<const ArgView> args, LoopSet set) {
    const std::size_t n = tree.size();
    if (n == 0) fault("malformed expression tree: no nodes");
    // For every Select with a computed branch: where its branches start, and which nodes are
    // branch roots (they write straight into the Select's result block).
    std::vector<std::uint32_t> begins_at(n, kNone), else_at(n, kNone), root_of(n, kNone);
    std::vector<std::uint32_t> result_of(n, kNone);
    for (std::size_t i = 0; i < n; ++i) {
        if (tree[i].tag != NodeTag::Select) continue;
        const std::size_t f_root = i - 1;
        const std::size_t f_size = tree[f_root].size;
        if (i == 0 || f_size == 0 || f_size > f_root) fault("malformed expression tree: bad subtree size");
        const std::size_t t_root = f_root - f_size;
        const std::size_t t_size = tree[t_root].size;
        if (t_size == 0 || t_size > t_root) fault("malformed expression tree: bad subtree size");
        if (t_size == 1 && f_size == 1) continue;  // a blend of two plain values
        begins_at[t_root + 1 - t_size] = static_cast<std::uint32_t>(i);
        else_at[f_root + 1 - f_size] = static_cast<std::uint32_t>(i);
        root_of[t_root] = root_of[f_root] = static_cast<std::uint32_t>(i);
    }
    auto target_of = [&](std::size_t i) {
        if (i + 1 == n) return kOutput;
        return root_of[i] == kNone ? kNone : result_of[root_of[i]];
    };

    Decoder d(*this, args, n, n, set);
    for (std::size_t i = 0; i < n; ++i) {
        if (begins_at[i] != kNone) {
            const std::uint32_t s = begins_at[i];
            result_of[s] = d.begin_select(target_of(s));
        }
        if (else_at[i] != kNone) d.else_select(result_of[else_at[i]]);
        const Node& node = tree[i];
        switch (node.tag) {
            case NodeTag::Const: d.leaf_const(node.bits); break;
            case NodeTag::ArgRef: d.leaf_arg(node.bits); break;
            case NodeTag::Unary: d.unary(node.op, target_of(i)); break;
            case NodeTag::Binary: d.binary(node.op, target_of(i)); break;
            case NodeTag::Compare: d.compare(node.op, target_of(i)); break;
            case NodeTag::Select:
                if (result_of[i] == kNone) {
                    d.blend(target_of(i));
                } else {
                    d.end_select(result_of[i]);
                }
                break;
            default:
                fault("malformed expression tree: unknown node tag");
        }
    }
    d.finish();
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

void BlockProgram::run(std::size_t begin, std::size_t end, double* out) const {
    if (begin >= end) return;
    for (std::size_t len : array_lengths_) {
        if (end > len) {
            fault("element index " + std::to_string(end - 1) + " outside a buffer of " +
                  std::to_string(len));
        }
    }
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
                case Operand::Source::Slot: return o.slot == kOutput ? out + s : scratch.get() + o.slot * B;
                case Operand::Source::Array: return o.data + s;
                case Operand::Source::Scalar: return nullptr;
            }
            return nullptr;
        };

        for (const Step& step : steps_) {
            switch (step.kind) {
                case Step::Kind::Compute: {
                    double* dst = step.dst == kOutput ? out + s : scratch.get() + step.dst * B;
                    const double scalars[3] = {step.a.value, step.b.value, step.c.value};
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
                    const double cond_scalar = step.a.value;
                    const std::size_t t_off = arena_top, f_off = arena_top + active.count;
                    std::size_t t_count = 0, f_count = 0;
                    for (std::size_t k = 0; k < active.count; ++k) {
                        const std::uint32_t lane =
                            active.dense ? static_cast<std::uint32_t>(k) : arena[active.offset + k];
                        const double c = cond == nullptr ? cond_scalar : cond[lane];
                        if (c != 0.0) {
                            arena[t_off + t_count++] = lane;
                        } else {
                            arena[f_off + f_count++] = lane;
                        }
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
