#include "compiler/narrow_steps.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "compiler/kernels.hpp"

namespace qv {

namespace {

// An int32 value's bits: what a reader that needs all of them needs.
constexpr int kAllBits = 32;

template <class Family, std::size_t... K>
bool family_keeps(KernelId id, std::index_sequence<K...>) {
    return ((id == kernel_id<Family>(K) && kKeepsLowBits<typename Family::template Fn<K>>) || ...);
}
bool keeps_low_bits(KernelId id) {
    return family_keeps<UnaryKernels>(id, std::make_index_sequence<UnaryKernels::count>{}) ||
           family_keeps<BinaryKernels>(id, std::make_index_sequence<BinaryKernels::count>{}) ||
           family_keeps<CopyKernels>(id, std::make_index_sequence<CopyKernels::count>{});
}

// The bits of a narrow storage type's values, else 0.
int storage_bits(ValueType t) {
    switch (t) {
        case ValueType::I8:
        case ValueType::U8: return 8;
        case ValueType::I16:
        case ValueType::U16: return 16;
        default: return 0;
    }
}
ValueType signed_of(int bits) { return bits == 8 ? ValueType::I8 : ValueType::I16; }
ValueType unsigned_of(int bits) { return bits == 8 ? ValueType::U8 : ValueType::U16; }

// A value's low `bits` bits, held in lanes of that width: a storage argument or a narrowed
// register.
struct Form {
    Val val;
    int bits;
};

class Narrowing {
public:
    explicit Narrowing(RegisterProgram& p)
        : p_(p),
          demand_(p.registers, 0),
          form_(p.registers),
          reads_(p.registers, 0),
          sign_source_(p.registers, kNone),
          wide_(p.registers, kNone) {}

    void run() {
        for (const RegStep& s : p_.steps) {
            if (s.kind != StepKind::Compute || s.ctx != 0) return;
        }
        if (p_.output == kNone) return;
        demands();
        std::vector<RegStep> out;
        out.reserve(p_.steps.size() + 2);
        for (const RegStep& s : p_.steps) place(s, out);
        p_.steps = drop_unread(out);
    }

private:
    std::optional<std::int64_t> constant(Val v) const {
        if (v.kind != Val::Kind::Scalar || !p_.frame.scalars.constant(v.index)) return {};
        return std::bit_cast<std::int64_t>(p_.frame.scalars.values[v.index]);  // int64 bits
    }
    // A binary int32 step's constant operand other than k.
    std::optional<std::int64_t> other_constant(const RegStep& s, int k) const {
        if (s.arity != 2 || s.type != ValueType::I32) return {};
        return constant(s.ops[1 - k]);
    }
    bool is(const RegStep& s, BinaryOp op) const {
        return s.type == ValueType::I32 && s.kernel == kernel_id<BinaryKernels>(op);
    }

    // The low bits of operand k that step s needs when its own readers need `d` of its bits.
    int need(const RegStep& s, int k, int d) const {
        const int store = storage_bits(s.type);
        if (store != 0 && s.kernel == kernel_id<CastKernels>(ValueType::I32)) return store;
        if (s.type != ValueType::I32) return kAllBits;
        if (keeps_low_bits(s.kernel)) return d;
        const std::optional<std::int64_t> c = other_constant(s, k);
        if (!c || *c < 0) return kAllBits;
        if (is(s, BinaryOp::BitwiseAnd))
            return std::min(d, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(*c))));
        if (k == 0 && *c < kAllBits && is(s, BinaryOp::LeftShift))
            return std::max(0, d - static_cast<int>(*c));
        if (k == 0 && *c < kAllBits && is(s, BinaryOp::RightShift))
            return std::min(kAllBits, d + static_cast<int>(*c));
        return kAllBits;
    }

    void demands() {
        demand_[p_.output] = kAllBits;
        for (std::size_t j = p_.steps.size(); j-- > 0;) {
            const RegStep& s = p_.steps[j];
            for (int k = 0; k < s.arity; ++k) {
                if (s.ops[k].kind != Val::Kind::Reg) continue;
                std::uint32_t& r = demand_[s.ops[k].index];
                r = std::max(r, static_cast<std::uint32_t>(need(s, k, demand_[s.dst])));
                ++reads_[s.ops[k].index];
            }
        }
    }

    std::optional<Form> form(Val v) const {
        if (v.kind != Val::Kind::Reg) return {};
        return form_[v.index];
    }
    bool narrowed(Val v) const {
        const std::optional<Form> f = form(v);
        return f && f->val.kind == Val::Kind::Reg;
    }

    void place(RegStep s, std::vector<RegStep>& out) {
        // A storage argument's widening: the argument itself is its narrow form.
        if (s.type == ValueType::I32 && in_family<CastKernels>(s.kernel) &&
            s.ops[0].kind == Val::Kind::Arg) {
            const int bits =
                storage_bits(static_cast<ValueType>(s.kernel - kFirstKernel<CastKernels>));
            if (bits != 0) form_[s.dst] = Form{s.ops[0], bits};
            out.push_back(s);
            return;
        }
        if (sign_extension(s, out)) return;
        if (try_narrow(s)) {
            written_at_.emplace_back(s.dst, out.size());
            out.push_back(s);
            return;
        }
        if (rewrite_reader(s, out)) return;
        for (int k = 0; k < s.arity; ++k) {
            if (narrowed(s.ops[k])) s.ops[k] = widened(s.ops[k].index, out);
        }
        out.push_back(s);
    }

    // An int32 step whose readers need no more of its bits than its operands have narrow.
    bool try_narrow(RegStep& s) {
        if (s.type != ValueType::I32 || !keeps_low_bits(s.kernel) || p_.is_select_result(s.dst))
            return false;
        int bits = 0;
        for (int k = 0; k < s.arity; ++k) {
            if (s.ops[k].kind == Val::Kind::Scalar) continue;
            const std::optional<Form> f = form(s.ops[k]);
            if (!f || (bits != 0 && f->bits != bits)) return false;
            bits = f->bits;
        }
        if (bits == 0 || static_cast<int>(demand_[s.dst]) > bits) return false;
        for (int k = 0; k < s.arity; ++k) {
            if (s.ops[k].kind != Val::Kind::Scalar) s.ops[k] = form(s.ops[k])->val;
        }
        s.type = signed_of(bits);
        p_.reg_type[s.dst] = s.type;
        form_[s.dst] = Form{Val{Val::Kind::Reg, s.dst}, bits};
        return true;
    }

    // The sar by 32 - bits of a shl by as much of a narrowed register: its sign extension.
    bool sign_extension(const RegStep& s, std::vector<RegStep>& out) {
        const std::optional<std::int64_t> c = other_constant(s, 0);
        if (!c || !is(s, BinaryOp::RightShift) || s.ops[0].kind != Val::Kind::Reg) return false;
        const std::uint32_t src = sign_source_[s.ops[0].index];
        if (src == kNone || *c != kAllBits - form_[src]->bits) return false;
        out.push_back(extension(s, signed_of(form_[src]->bits), Val{Val::Kind::Reg, src}));
        return true;
    }

    // Readers of a narrowed register that need no widened copy: the narrowing store of its
    // width; `x & 0xFF` (0xFFFF), a zero extension; `(x << 24) >> 24` (16), a sign extension.
    bool rewrite_reader(RegStep& s, std::vector<RegStep>& out) {
        const Val x = s.ops[0];
        if (!narrowed(x)) return false;
        const int bits = form_[x.index]->bits;
        if (storage_bits(s.type) == bits && s.kernel == kernel_id<CastKernels>(ValueType::I32) &&
            reads_[x.index] == 1) {
            // The step that makes the result writes it into the output itself.
            for (const auto& [reg, at] : written_at_) {
                if (reg == x.index) out[at].dst = s.dst;
            }
            return true;
        }
        const std::optional<std::int64_t> c = other_constant(s, 0);
        if (c && is(s, BinaryOp::BitwiseAnd) && *c == (std::int64_t{1} << bits) - 1) {
            out.push_back(extension(s, unsigned_of(bits), x));
            return true;
        }
        if (c && is(s, BinaryOp::LeftShift) && *c == kAllBits - bits) {
            sign_source_[s.dst] = x.index;  // its sar by as much is x sign-extended
            return false;
        }
        return false;
    }
    RegStep extension(const RegStep& s, ValueType from, Val x) const {
        return RegStep{
            StepKind::Compute,    ValueType::I32, kernel_id<CastKernels>(from), s.dst, s.ctx, 1,
            {x, kUnused, kUnused}};
    }

    // The narrowed register r sign-extended for the readers that cannot read it narrow: once,
    // before the first (every step runs over all lanes).
    Val widened(std::uint32_t r, std::vector<RegStep>& out) {
        if (wide_[r] == kNone) {
            wide_[r] = new_register(ValueType::I32);
            out.push_back(RegStep{StepKind::Compute,
                                  ValueType::I32,
                                  kernel_id<CastKernels>(signed_of(form_[r]->bits)),
                                  wide_[r],
                                  0,
                                  1,
                                  {Val{Val::Kind::Reg, r}, kUnused, kUnused}});
        }
        return Val{Val::Kind::Reg, wide_[r]};
    }

    std::uint32_t new_register(ValueType type) {
        p_.reg_type.push_back(type);
        return p_.registers++;
    }

    // Steps made unread by the rewrite leave, with what only they read.
    std::vector<RegStep> drop_unread(const std::vector<RegStep>& steps) {
        std::vector<std::uint32_t> reads(p_.registers, 0);
        for (const RegStep& s : steps) {
            for (int k = 0; k < s.arity; ++k) {
                if (s.ops[k].kind == Val::Kind::Reg) ++reads[s.ops[k].index];
            }
        }
        std::vector<std::uint8_t> keep(steps.size(), 1);
        for (std::size_t j = steps.size(); j-- > 0;) {
            const RegStep& s = steps[j];
            const bool made_unread = s.dst >= reads_.size() || reads_[s.dst] > 0;  // or new
            if (s.dst == p_.output || reads[s.dst] > 0 || !made_unread) continue;
            keep[j] = 0;
            for (int k = 0; k < s.arity; ++k) {
                if (s.ops[k].kind == Val::Kind::Reg) --reads[s.ops[k].index];
            }
        }
        std::vector<RegStep> kept;
        for (std::size_t j = 0; j < steps.size(); ++j) {
            if (keep[j] != 0) kept.push_back(steps[j]);
        }
        return kept;
    }

    RegisterProgram& p_;
    std::vector<std::uint32_t> demand_;       // per register: the low bits its readers need
    std::vector<std::optional<Form>> form_;   // per register: where its low bits are narrow
    std::vector<std::uint32_t> reads_;        // per register: its readers before the rewrite
    std::vector<std::uint32_t> sign_source_;  // per shl by 32 - bits: the register shifted
    std::vector<std::uint32_t> wide_;         // per narrowed register: its int32 widening
    std::vector<std::pair<std::uint32_t, std::size_t>> written_at_;  // narrowed: its step
};

}  // namespace

void narrow_steps(RegisterProgram& program) { Narrowing(program).run(); }

}  // namespace qv
