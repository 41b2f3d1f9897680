// Running a bound program over a range of elements, block by block. Split Selects narrow the
// active lanes to sorted lists kept in an arena, one pair of lists per nesting level.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "exec/block_program.hpp"

namespace qv {

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

template <class T>
bool truth(T x) {
    if constexpr (kIsComplex<T>) {
        return nonzero(x);
    } else {
        return x != T{0};
    }
}

// Writes each lane to both lists and advances only the one its condition chose, with one
// counter: a branch on the condition mispredicts on every other lane when the condition is
// random, which cost more than the rest of the split (GCC made a branch of the former form,
// two counters bumped by the same bool). Returns how many lanes went to `if_true`; the other
// count - that many are in `if_false`.
template <class T, class LaneOf>
std::size_t split_lanes(const T* cond, LaneOf lane_of, std::size_t count, std::uint32_t* if_true,
                        std::uint32_t* if_false) {
    std::size_t t = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t lane = lane_of(k);
        const std::size_t chose_true = truth(cond[lane]) ? 1 : 0;
        if_true[t] = lane;
        if_false[k - t] = lane;
        t += chose_true;
    }
    return t;
}

// One block's walk through the steps.
struct BlockState {
    std::size_t len;  // elements in this block
    Lanes active;
    std::size_t arena_top = 0;
    std::vector<std::uint32_t>& arena;
    std::vector<SelectFrame>& frames;

    // Splits the active lanes by the condition (a block, or a scalar when `cond` is null): the
    // if_true lanes become active, the if_false ones wait in the frame.
    template <class T>
    void begin(const T* cond, double cond_scalar) {
        frames.push_back(SelectFrame{active, Lanes{false, arena_top, 0}, arena_top});
        if (cond == nullptr) {
            // Every active lane takes the same side, in the lists it has.
            if (cond_scalar == 0.0) {
                frames.back().if_false = active;
                active = Lanes{false, arena_top, 0};
            }
            return;
        }
        const std::size_t t_off = arena_top, f_off = arena_top + active.count;
        std::uint32_t* const lists = arena.data();
        const std::size_t t_count =
            active.dense ? split_lanes(
                               cond, [](std::size_t k) { return static_cast<std::uint32_t>(k); },
                               active.count, lists + t_off, lists + f_off)
                         : split_lanes(
                               cond, [&](std::size_t k) { return lists[active.offset + k]; },
                               active.count, lists + t_off, lists + f_off);
        const std::size_t f_count = active.count - t_count;
        frames.back().if_false = Lanes{false, f_off, f_count};
        arena_top += 2 * active.count;
        // A block that chose one side as a whole keeps the dense loops.
        if (active.dense && f_count == 0) {
            active = Lanes{true, 0, len};
        } else {
            active = Lanes{false, t_off, t_count};
        }
        if (frames.back().outer.dense && t_count == 0) frames.back().if_false = Lanes{true, 0, len};
    }
    void otherwise() { active = frames.back().if_false; }
    void end() {
        active = frames.back().outer;
        arena_top = frames.back().arena_mark;
        frames.pop_back();
    }
};

// Begin over a condition of the step's type.
template <std::size_t... Type>
void begin_typed(BlockState& state, ValueType type, const void* cond, double scalar,
                 std::index_sequence<Type...>) {
    (void)((type == static_cast<ValueType>(Type)
                ? (state.begin(static_cast<const CType<static_cast<ValueType>(Type)>*>(cond),
                               scalar),
                   true)
                : false) ||
           ...);
}
void begin_split(BlockState& state, ValueType type, const void* cond, double scalar) {
    begin_typed(state, type, cond, scalar, std::make_index_sequence<kComputeTypeCount>{});
}

// Whether an active lane's integer exponent (a block of I, or a scalar when `block` is null) is
// negative; read before the power is computed, since its result may overwrite the exponents.
template <class I>
bool negative_exponent(const void* block, double scalar, const Lanes& active,
                       const std::uint32_t* arena) {
    if (block == nullptr) return std::bit_cast<std::int64_t>(scalar) < 0;  // int64 bits
    const I* x = static_cast<const I*>(block);
    bool negative = false;
    for (std::size_t k = 0; k < active.count; ++k)
        negative |= x[active.dense ? k : arena[active.offset + k]] < 0;
    return negative;
}

}  // namespace

bool BlockBinding::run(std::size_t begin, std::size_t end, void* out_) const {
    if (begin >= end) return false;
    if (end > length_) {
        fault("element index " + std::to_string(end - 1) + " outside a buffer of " +
              std::to_string(length_));
    }
    // Short runs get short blocks, so a call over a few elements allocates little scratch.
    const std::size_t B = std::min(p_->block_, end - begin);
    // Every element is written before it is read: no need to clear it. Each block has room for
    // the program's widest type per element.
    const std::size_t slot_bytes = B * p_->slot_size_;
    const std::unique_ptr<double[]> scratch_blocks(
        new double[p_->slots_ * slot_bytes / sizeof(double)]);
    auto* const scratch = reinterpret_cast<std::byte*>(scratch_blocks.get());
    auto* const out = static_cast<std::byte*>(out_);
    const std::size_t out_size = element_size(p_->output_type_);
    std::vector<std::uint32_t> arena(p_->nesting_ * 2 * B);
    std::vector<SelectFrame> frames;
    frames.reserve(p_->nesting_);
    bool negative_power = false;

    for (std::size_t s = begin; s < end; s += B) {
        const std::size_t len = std::min(B, end - s);
        const bool full = len == kBlock;
        BlockState state{len, Lanes{true, 0, len}, 0, arena, frames};
        frames.clear();

        auto slot = [&](std::uint32_t index) {
            return index == kOutputSlot ? out + s * out_size : scratch + index * slot_bytes;
        };
        auto base = [&](const StepOperand& o) -> const void* {
            switch (o.source) {
                case StepOperand::Source::Slot: return slot(o.index);
                case StepOperand::Source::Array: return data_[o.index] + s * stride_[o.index];
                case StepOperand::Source::Scalar: return nullptr;
            }
            return nullptr;
        };
        auto value = [&](const StepOperand& o) {
            return o.source == StepOperand::Source::Scalar ? scalars_[o.index] : 0.0;
        };

        for (const BlockProgram::BoundStep& step : p_->steps_) {
            switch (step.kind) {
                case StepKind::Compute: {
                    void* dst = slot(step.dst);
                    const double scalars[3] = {value(step.a), value(step.b), value(step.c)};
                    const Lanes& active = state.active;
                    if (step.int_power) {
                        const auto check = step.type == ValueType::I32
                                               ? negative_exponent<std::int32_t>
                                               : negative_exponent<std::int64_t>;
                        negative_power = negative_power ||
                                         check(base(step.b), value(step.b), active, arena.data());
                    }
                    if (active.dense) {
                        (full ? step.loops->full : step.loops->tail)(
                            dst, base(step.a), base(step.b), base(step.c), scalars, len);
                    } else {
                        step.loops->indexed(dst, base(step.a), base(step.b), base(step.c), scalars,
                                            arena.data() + active.offset, active.count);
                    }
                    break;
                }
                case StepKind::Begin:
                    begin_split(state, step.type, base(step.a), value(step.a));
                    break;
                case StepKind::Else: state.otherwise(); break;
                case StepKind::End: state.end(); break;
            }
        }
    }
    return negative_power;
}

}  // namespace qv
