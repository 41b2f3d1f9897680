// The decision, per function, between the vector replica and the scalar library call. The
// order of the checks follows what could make the replica's bits differ from the library's:
// no glibc or one before 2.28 (another algorithm), a CPU on which glibc's resolver picks a
// variant there is no replica of (its non-FMA and FMA4 builds round differently), a resolved
// function that disagrees anyway (tunables can change the resolver's choice), and a library
// build the exhaustive check has not been run on (the self-test cannot see a difference in
// fusion that shows on fewer than about 1e-8 of the inputs).
#include "exec/vector_libm/vector_libm.hpp"

#include <cstdlib>
#include <cstring>

#include "exec/vector_libm/libm_identity.hpp"
#include "ir/libm_entries.hpp"

namespace qv {

namespace {

struct CheckedBuild {
    const char* build_id;
    const char* checked;
};
constexpr CheckedBuild kCheckedBuilds[] = {
#include "exec/vector_libm/checked_builds.inc"
};

struct Chosen {
    VectorMathKernel kernel = nullptr;
    ScalarMathFn scalar = nullptr;
};

struct Decision {
    VectorLibmReport report;
    std::array<Chosen, 2> chosen;
};

bool build_checked(const std::string& build_id) {
    for (const CheckedBuild& b : kCheckedBuilds) {
        if (build_id == b.build_id) return true;
    }
    return false;
}

#if QV_VECTOR_LIBM
// The replicas copy the variant glibc's resolver takes on CPUs with FMA and AVX2; the empty
// string when this CPU runs another one (why is written to `reason`).
std::string replica_isa(bool avx2_only, std::string& reason) {
    __builtin_cpu_init();
    if (!(__builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2"))) {
        reason = __builtin_cpu_supports("fma4")
                     ? "the library runs its FMA4 variant on this CPU, which has no replica"
                     : "the library runs its non-FMA variant on this CPU, which has no replica";
        return "";
    }
    if (!avx2_only && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        return "avx512";
    return "avx2";
}

VectorMathKernel kernel_for(MathFunction f, const std::string& isa) {
    if (isa == "avx512") return f == MathFunction::Exp ? replica_avx512::exp : replica_avx512::log;
    return f == MathFunction::Exp ? replica_avx2::exp : replica_avx2::log;
}
#endif

Decision decide() {
    Decision d;
    VectorLibmReport& r = d.report;
    const LibmEntries& libm = libm_entries();
    const ScalarMathFn scalars[] = {libm.exp, libm.log};
    const char* setting = std::getenv("QUORVALINE_VECTOR_LIBM");
    r.setting = setting != nullptr ? setting : "";
    const LibmIdentity id = libm_identity(reinterpret_cast<const void*>(libm.exp));
    r.libm_version = id.version;
    r.build_id = id.build_id;
    r.build_checked = build_checked(id.build_id);
    r.functions = {VectorFunctionState{"exp", false, {}, {}, {}},
                   VectorFunctionState{"log", false, {}, {}, {}}};

    // One reason for both functions, unless it is theirs alone.
    std::string reason;
    std::string isa;
    const bool avx2_only = r.setting == "avx2";
    if (r.setting == "0") {
        reason = "off by QUORVALINE_VECTOR_LIBM=0";
    } else if (!(r.setting.empty() || r.setting == "1" || avx2_only)) {
        reason = "QUORVALINE_VECTOR_LIBM='" + r.setting + "' is not 0, 1 or avx2";
    } else if (!QV_VECTOR_LIBM) {
        reason = "no replica for this platform (x86-64 glibc built with GCC only)";
    } else if (!version_at_least(id.version, 2, 28)) {
        reason = "glibc " + id.version + " predates the algorithm the replicas copy (2.28)";
    } else {
#if QV_VECTOR_LIBM
        isa = replica_isa(avx2_only, reason);
#endif
    }
    for (std::size_t i = 0; i < 2; ++i) {
        VectorFunctionState& s = r.functions[i];
        s.reason = reason;
        if (isa.empty()) continue;
#if QV_VECTOR_LIBM
        const VectorMathKernel kernel = kernel_for(static_cast<MathFunction>(i), isa);
        s.isa = isa;
        s.check = self_test(static_cast<MathFunction>(i), kernel, scalars[i]);
        if (s.check.mismatches != 0) {
            s.reason = "load-time check failed: " + std::to_string(s.check.mismatches) + " of " +
                       std::to_string(s.check.inputs) + " results differ from the library's";
        } else if (!r.build_checked) {
            s.reason = "library build " + (id.build_id.empty() ? "(no build-id)" : id.build_id) +
                       " not on the exhaustively checked list (load-time check passed)";
        } else {
            s.vector = true;
            d.chosen[i] = Chosen{kernel, scalars[i]};
        }
#else
        (void)scalars;
#endif
    }
    return d;
}

const Decision& decision() {
    static const Decision d = decide();
    return d;
}

bool run(MathFunction f, const double* in, double* out, std::size_t n) noexcept {
    const Chosen& c = decision().chosen[static_cast<std::size_t>(f)];
    if (c.kernel == nullptr) return false;
    c.kernel(in, out, n, c.scalar);
    return true;
}

}  // namespace

bool vector_exp(const double* in, double* out, std::size_t n) noexcept {
    return run(MathFunction::Exp, in, out, n);
}

bool vector_log(const double* in, double* out, std::size_t n) noexcept {
    return run(MathFunction::Log, in, out, n);
}

const VectorLibmReport& vector_libm_report() { return decision().report; }

}  // namespace qv
