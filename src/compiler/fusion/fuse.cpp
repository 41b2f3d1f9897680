// The fusion driver and the site the rules work through.
#include "compiler/fusion/fuse.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compiler/kernels.hpp"

namespace qv {

namespace {

class FusionSite {
public:
    explicit FusionSite(RegisterProgram& p)
        : p_(p), reads_(p.registers), def_(p.registers, kNone), dead_(p.steps.size()) {
        for (std::size_t j = 0; j < p.steps.size(); ++j) {
            const RegStep& s = p.steps[j];
            for (int k = 0; k < s.arity; ++k) {
                if (s.ops[k].kind == Val::Kind::Reg) ++reads_[s.ops[k].index];
            }
            if (s.kind == StepKind::Compute && def_[s.dst] == kNone)
                def_[s.dst] = static_cast<std::uint32_t>(j);
        }
    }

    template <class Family>
    KernelId kernel(auto k) const {
        return kernel_id<Family>(k);
    }
    bool is(const RegStep& s, KernelId kernel) const {
        return s.kind == StepKind::Compute && s.kernel == kernel;
    }
    template <class Family>
    bool in(const RegStep& s) const {
        return s.kind == StepKind::Compute && in_family<Family>(s.kernel);
    }
    template <class Family>
    std::size_t index_in(const RegStep& s) const {
        return static_cast<std::size_t>(s.kernel - kFirstKernel<Family>);
    }

    // The step that makes v, when `reader` is its only reader and runs in the same context;
    // taken out of the program.
    template <class Wanted>
    RegStep* sole_source(const RegStep& reader, Val v, Wanted&& wanted) {
        if (v.kind != Val::Kind::Reg || reads_[v.index] != 1 || v.index == p_.output)
            return nullptr;
        if (p_.is_select_result(v.index)) return nullptr;
        const std::uint32_t d = def_[v.index];
        if (d == kNone || dead_[d] || !wanted(p_.steps[d]) || p_.steps[d].ctx != reader.ctx ||
            p_.steps[d].type != reader.type)
            return nullptr;
        dead_[d] = 1;
        return &p_.steps[d];
    }

    // Whether two operands hold the same value: the same register or argument, or scalar
    // entries that are constants with the same bits.
    bool same_value(Val a, Val b) const {
        if (a.kind != b.kind) return false;
        if (a.index == b.index) return true;
        const ScalarTable& t = p_.frame.scalars;
        return a.kind == Val::Kind::Scalar && t.constant(a.index) && t.constant(b.index) &&
               std::bit_cast<std::uint64_t>(t.values[a.index]) ==
                   std::bit_cast<std::uint64_t>(t.values[b.index]);
    }

    // `s` as a three-operand step of `kernel`.
    static RegStep rewrite(const RegStep& s, KernelId kernel, Val a, Val b, Val c) {
        return RegStep{s.kind, s.type, kernel, s.dst, s.ctx, 3, {a, b, c}};
    }

    void drop_dead() {
        std::vector<RegStep>& steps = p_.steps;
        std::size_t kept = 0;
        for (std::size_t j = 0; j < steps.size(); ++j) {
            if (!dead_[j]) steps[kept++] = steps[j];
        }
        steps.resize(kept);
    }

private:
    RegisterProgram& p_;
    std::vector<std::uint32_t> reads_, def_;
    std::vector<std::uint8_t> dead_;
};

// Whether a rule's kernels have float32 loops (a float32 form), not float64 ones alone.
template <class Rule>
constexpr bool kFloat32Rule = requires {
    Rule::template Fn<0>::f32(0.0f, 0.0f, 0.0f);
};

template <class... Rules>
void offer(FusionSite& site, RegStep& s, KernelFamilies<Rules...>) {
    ((s.type == ValueType::F64 || (s.type == ValueType::F32 && kFloat32Rule<Rules>)
          ? Rules::fuse(site, s)
          : void()),
     ...);
}

}  // namespace

void fuse_steps(RegisterProgram& program) {
    FusionSite site(program);
    for (RegStep& s : program.steps) offer(site, s, FusionRules{});
    site.drop_dead();
}

}  // namespace qv
