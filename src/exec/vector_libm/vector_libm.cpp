// The decision, per function (exp, log, pow and the float32 forms of exp, log and pow), between the
// vector replica and the scalar library call. The order of the checks follows what could make the
// replica's bits differ from the library's: no glibc or one before 2.28 (another algorithm), the
// build glibc's resolver picks (by its own rule, from the features as it sees them: FMA and AVX2
// usable → its FMA build; FMA4 → its FMA4 build, which has no replica; else its non-FMA build), a
// CPU the replicas cannot run on, a resolved function that disagrees anyway, and a library build
// the exhaustive check has not been run on for that build of the function (the self-test cannot
// see a difference in fusion that shows on fewer than about 1e-8 of the inputs). sin and cos
// likewise, with copies of the FMA build only.
#include "exec/vector_libm/vector_libm.hpp"

#include <math.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "core/fork_reset.hpp"
#include "exec/vector_libm/libm_identity.hpp"
#include "ir/libm_entries.hpp"
#include "ir/libm_f32.hpp"

namespace qv {

namespace {

struct CheckedBuild {
    const char* build_id;
    const char* functions;  // the functions checked, separated by spaces
    const char* checked;
};
constexpr CheckedBuild kCheckedBuilds[] = {
#include "exec/vector_libm/checked_builds.inc"
};

template <class T>
using Kernel = void (*)(const T*, T*, std::size_t, T (*)(T));

template <class T>
struct Chosen {
    Kernel<T> kernel = nullptr;
    T (*scalar)(T) = nullptr;
};

struct Decision {
    VectorLibmReport report;
    std::array<Chosen<double>, 4> f64;  // exp, log, sin, cos
    std::array<Chosen<float>, 2> f32;   // expf, logf
    VectorPowKernel pow = nullptr;
    ScalarPowFn pow_scalar = nullptr;
    VectorPowKernelF32 powf = nullptr;
    ScalarPowFnF32 powf_scalar = nullptr;
};

// Whether the exhaustive check has passed `function` on the build (any function when null).
bool build_checked(const std::string& build_id, const char* function) {
    for (const CheckedBuild& b : kCheckedBuilds) {
        if (build_id != b.build_id) continue;
        if (function == nullptr) return true;
        const std::string words = std::string(" ") + b.functions + " ";
        return words.find(std::string(" ") + function + " ") != std::string::npos;
    }
    return false;
}

struct Replicas {
    std::array<Kernel<double>, 4> f64{};  // exp, log, sin, cos
    std::array<Kernel<float>, 2> f32{};   // expf, logf
    VectorPowKernel pow = nullptr;
    VectorPowKernelF32 powf = nullptr;
};

const char* variant_name(LibmVariant v) { return v == LibmVariant::Fma ? "fma" : "nofma"; }

// The build of a function glibc's resolvers pick from `id`'s features (`has_fma4_build`: exp, log
// and pow have one, the float functions do not); false, with the reason, for its FMA4 build.
bool resolved_variant(const LibmIdentity& id, bool has_fma4_build, LibmVariant& variant,
                      std::string& reason) {
    if (id.fma && id.avx2) {
        variant = LibmVariant::Fma;
    } else if (id.fma4 && has_fma4_build) {
        reason = "the library runs its FMA4 variant on this CPU, which has no replica";
        return false;
    } else {
        variant = LibmVariant::NoFma;
    }
    return true;
}

#if QV_VECTOR_LIBM
// The widest replicas this CPU runs for `variant`; the empty string, with the reason, when none.
std::string replica_isa(LibmVariant variant, bool avx2_only, std::string& reason) {
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma");
    if (variant == LibmVariant::Fma && !fma) {
        reason = "the library's FMA variant was asked for, but this CPU has no FMA";
        return "";
    }
    if (!avx2_only && fma && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512dq"))
        return "avx512";
    if (__builtin_cpu_supports("avx2")) return "avx2";
    reason = "no replica for CPUs without AVX2";
    return "";
}

Replicas replicas_for(const std::string& isa, LibmVariant variant) {
    const bool fused = variant == LibmVariant::Fma;
    if (isa == "avx512" && fused)
        return {
            {replica_avx512::exp, replica_avx512::log, replica_avx512::sin, replica_avx512::cos},
            {replica_avx512::expf, replica_avx512::logf},
            replica_avx512::pow,
            replica_avx512::powf};
    if (isa == "avx512")
        return {{replica_avx512::nofma::exp, replica_avx512::nofma::log},
                {replica_avx512::nofma::expf, replica_avx512::nofma::logf},
                replica_avx512::nofma::pow,
                replica_avx512::nofma::powf};
    if (fused)
        return {{replica_avx2::exp, replica_avx2::log, replica_avx2::sin, replica_avx2::cos},
                {replica_avx2::expf, replica_avx2::logf},
                replica_avx2::pow,
                replica_avx2::powf};
    return {{replica_avx2::nofma::exp, replica_avx2::nofma::log},
            {replica_avx2::nofma::expf, replica_avx2::nofma::logf},
            replica_avx2::nofma::pow,
            replica_avx2::nofma::powf};
}
#endif

Decision decide() {
    Decision d;
    VectorLibmReport& r = d.report;
    const LibmEntries& libm = libm_entries();
    const LibmF32& libm32 = libm_f32();
    const char* setting = std::getenv("QUORVALINE_VECTOR_LIBM");
    r.setting = setting != nullptr ? setting : "";
    const LibmIdentity id = libm_identity(reinterpret_cast<const void*>(libm.exp));
    r.libm_version = id.version;
    r.build_id = id.build_id;
    r.build_checked = build_checked(id.build_id, nullptr);
    r.functions = {VectorFunctionState{"exp", false, {}, {}, {}, {}},
                   VectorFunctionState{"log", false, {}, {}, {}, {}},
                   VectorFunctionState{"expf", false, {}, {}, {}, {}},
                   VectorFunctionState{"logf", false, {}, {}, {}, {}},
                   VectorFunctionState{"pow", false, {}, {}, {}, {}},
                   VectorFunctionState{"powf", false, {}, {}, {}, {}},
                   VectorFunctionState{"sin", false, {}, {}, {}, {}},
                   VectorFunctionState{"cos", false, {}, {}, {}, {}}};

    // One reason for every function, unless it is its alone. =fma and =nofma take that build
    // whatever the library runs, so that the load-time check can be seen to refuse the other.
    std::string reason;
    const bool avx2_only = r.setting == "avx2";
    const bool forced = r.setting == "fma" || r.setting == "nofma";
    if (r.setting == "0") {
        reason = "off by QUORVALINE_VECTOR_LIBM=0";
    } else if (!(r.setting.empty() || r.setting == "1" || avx2_only || forced)) {
        reason = "QUORVALINE_VECTOR_LIBM='" + r.setting + "' is not 0, 1, avx2, fma or nofma";
    } else if (!QV_VECTOR_LIBM) {
        reason = "no replica for this platform (x86-64 glibc built with GCC only)";
    } else if (!version_at_least(id.version, 2, 28)) {
        reason = "glibc " + id.version + " predates the algorithm the replicas copy (2.28)";
    }
    // The replicas of the build `f`'s resolver picks, or none (with the reason in s).
    const auto replicas_of = [&](VectorFunctionState& s, bool has_fma4_build,
                                 bool has_nofma_replica) {
        Replicas replicas;
        s.reason = reason;
        LibmVariant variant = r.setting == "nofma" ? LibmVariant::NoFma : LibmVariant::Fma;
        if (!reason.empty() ||
            (!forced && !resolved_variant(id, has_fma4_build, variant, s.reason)))
            return replicas;
        if (variant == LibmVariant::NoFma && !has_nofma_replica) {
            s.reason = "the library runs its non-FMA variant, which has no replica";
            return replicas;
        }
#if QV_VECTOR_LIBM
        s.isa = replica_isa(variant, avx2_only, s.reason);
        if (s.isa.empty()) return replicas;
        s.variant = variant_name(variant);
        replicas = replicas_for(s.isa, variant);
#endif
        return replicas;
    };
    // check() runs the load-time check of the replicas; accept() takes them.
    const auto consider = [&](MathFunction f, auto check, auto accept) {
        VectorFunctionState& s = r.functions[static_cast<std::size_t>(f)];
        const Replicas replicas = replicas_of(
            s, f == MathFunction::Exp || f == MathFunction::Log || f == MathFunction::Pow,
            f != MathFunction::Sin && f != MathFunction::Cos);
        if (s.isa.empty()) return;
        s.check = check(replicas);
        const std::string checked_name =
            s.variant == "fma" ? std::string(s.name) : std::string(s.name) + "_" + s.variant;
        if (s.check.mismatches != 0) {
            s.reason = "load-time check failed: " + std::to_string(s.check.mismatches) + " of " +
                       std::to_string(s.check.inputs) + " results differ from the library's";
        } else if (!build_checked(id.build_id, checked_name.c_str())) {
            s.reason = "library build " + (id.build_id.empty() ? "(no build-id)" : id.build_id) +
                       " not on the exhaustively checked list for " + checked_name +
                       " (load-time check passed)";
        } else {
            s.vector = true;
            accept(replicas);
        }
    };
    const auto unary = [&](MathFunction f, auto kernel_of, auto scalar, auto& chosen) {
        consider(
            f, [&](const Replicas& rs) { return self_test(f, kernel_of(rs), scalar); },
            [&](const Replicas& rs) {
                chosen = {kernel_of(rs), scalar};
            });
    };
    unary(
        MathFunction::Exp, [](const Replicas& rs) { return rs.f64[0]; }, libm.exp, d.f64[0]);
    unary(
        MathFunction::Log, [](const Replicas& rs) { return rs.f64[1]; }, libm.log, d.f64[1]);
    // The loops call sin and cos directly (they have no errno wrapper to skip).
    unary(
        MathFunction::Sin, [](const Replicas& rs) { return rs.f64[2]; },
        static_cast<ScalarMathFn>(::sin), d.f64[2]);
    unary(
        MathFunction::Cos, [](const Replicas& rs) { return rs.f64[3]; },
        static_cast<ScalarMathFn>(::cos), d.f64[3]);
    unary(
        MathFunction::Expf, [](const Replicas& rs) { return rs.f32[0]; },
        libm32.unary[static_cast<int>(UnaryOp::Exp)], d.f32[0]);
    unary(
        MathFunction::Logf, [](const Replicas& rs) { return rs.f32[1]; },
        libm32.unary[static_cast<int>(UnaryOp::Log)], d.f32[1]);
    consider(
        MathFunction::Pow, [&](const Replicas& rs) { return self_test(rs.pow, libm.pow); },
        [&](const Replicas& rs) {
            d.pow = rs.pow;
            d.pow_scalar = libm.pow;
        });
    const auto powf_scalar = libm32.binary[static_cast<int>(BinaryOp::Pow)];
    consider(
        MathFunction::Powf, [&](const Replicas& rs) { return self_test(rs.powf, powf_scalar); },
        [&](const Replicas& rs) {
            d.powf = rs.powf;
            d.powf_scalar = powf_scalar;
        });
    return d;
}

// The decision is made once, by its first caller, under this lock. fork() takes it too: a child
// forked while another thread was deciding would otherwise wait forever on a guard held by a
// thread it does not have.
std::mutex g_deciding;
std::optional<Decision> g_made;
std::atomic<const Decision*> g_decision{nullptr};

void lock_before_fork() { g_deciding.lock(); }
void unlock_in_parent() { g_deciding.unlock(); }
void rebuild_in_fork_child() { rebuild_in_child(g_deciding); }
const ForkRegistration g_fork{
    {.prepare = lock_before_fork, .parent = unlock_in_parent, .child = rebuild_in_fork_child}};

const Decision& decision() {
    if (const Decision* d = g_decision.load(std::memory_order_acquire)) return *d;
    const std::lock_guard<std::mutex> lock(g_deciding);
    if (!g_made) {
        g_made.emplace(decide());
        g_decision.store(&*g_made, std::memory_order_release);
    }
    return *g_made;
}

template <class T>
bool run(const Chosen<T>& c, const T* in, T* out, std::size_t n) noexcept {
    if (c.kernel == nullptr) return false;
    c.kernel(in, out, n, c.scalar);
    return true;
}

}  // namespace

bool vector_exp(const double* in, double* out, std::size_t n) noexcept {
    return run(decision().f64[0], in, out, n);
}

bool vector_log(const double* in, double* out, std::size_t n) noexcept {
    return run(decision().f64[1], in, out, n);
}

bool vector_sin(const double* in, double* out, std::size_t n) noexcept {
    return run(decision().f64[2], in, out, n);
}

bool vector_cos(const double* in, double* out, std::size_t n) noexcept {
    return run(decision().f64[3], in, out, n);
}

bool vector_expf(const float* in, float* out, std::size_t n) noexcept {
    return run(decision().f32[0], in, out, n);
}

bool vector_logf(const float* in, float* out, std::size_t n) noexcept {
    return run(decision().f32[1], in, out, n);
}

bool vector_pow(const double* x, bool x_array, const double* y, bool y_array, double* out,
                std::size_t n) noexcept {
    const Decision& d = decision();
    if (d.pow == nullptr) return false;
    d.pow(x, x_array, y, y_array, out, n, d.pow_scalar);
    return true;
}

bool vector_powf(const float* x, bool x_array, const float* y, bool y_array, float* out,
                 std::size_t n) noexcept {
    const Decision& d = decision();
    if (d.powf == nullptr) return false;
    d.powf(x, x_array, y, y_array, out, n, d.powf_scalar);
    return true;
}

const VectorLibmReport& vector_libm_report() { return decision().report; }

}  // namespace qv
