// The decision, per function (exp, log, pow and the float32 forms of exp, log and pow), between the
// vector replica and the scalar library call. The order of the checks follows what could make the
// replica's bits differ from the library's: no glibc or one before 2.28 (another algorithm), a CPU
// on which glibc's resolver picks a variant there is no replica of (its non-FMA and FMA4 builds
// round differently), a resolved function that disagrees anyway (tunables can change the resolver's
// choice), and a library build the exhaustive check has not been run on (the self-test cannot see a
// difference in fusion that shows on fewer than about 1e-8 of the inputs). sin and cos likewise.
#include "exec/vector_libm/vector_libm.hpp"

#include <math.h>

#include <cstdlib>
#include <cstring>

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

#if QV_VECTOR_LIBM
// The replicas copy the variants glibc's resolvers take on CPUs with FMA and AVX2; the empty
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

Replicas replicas_for(const std::string& isa) {
    if (isa == "avx512")
        return {
            {replica_avx512::exp, replica_avx512::log, replica_avx512::sin, replica_avx512::cos},
            {replica_avx512::expf, replica_avx512::logf},
            replica_avx512::pow,
            replica_avx512::powf};
    return {{replica_avx2::exp, replica_avx2::log, replica_avx2::sin, replica_avx2::cos},
            {replica_avx2::expf, replica_avx2::logf},
            replica_avx2::pow,
            replica_avx2::powf};
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
    r.functions = {VectorFunctionState{"exp", false, {}, {}, {}},
                   VectorFunctionState{"log", false, {}, {}, {}},
                   VectorFunctionState{"expf", false, {}, {}, {}},
                   VectorFunctionState{"logf", false, {}, {}, {}},
                   VectorFunctionState{"pow", false, {}, {}, {}},
                   VectorFunctionState{"powf", false, {}, {}, {}},
                   VectorFunctionState{"sin", false, {}, {}, {}},
                   VectorFunctionState{"cos", false, {}, {}, {}}};

    // One reason for every function, unless it is its alone.
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
    Replicas replicas;
#if QV_VECTOR_LIBM
    if (!isa.empty()) replicas = replicas_for(isa);
#endif
    // check() runs the load-time check; accept() takes the replica.
    const auto consider = [&](MathFunction f, auto check, auto accept) {
        VectorFunctionState& s = r.functions[static_cast<std::size_t>(f)];
        s.reason = reason;
        if (isa.empty()) return;
        s.isa = isa;
        s.check = check();
        if (s.check.mismatches != 0) {
            s.reason = "load-time check failed: " + std::to_string(s.check.mismatches) + " of " +
                       std::to_string(s.check.inputs) + " results differ from the library's";
        } else if (!build_checked(id.build_id, s.name)) {
            s.reason = "library build " + (id.build_id.empty() ? "(no build-id)" : id.build_id) +
                       " not on the exhaustively checked list (load-time check passed)";
        } else {
            s.vector = true;
            accept();
        }
    };
    const auto unary = [&](MathFunction f, auto kernel, auto scalar, auto& chosen) {
        consider(
            f, [&] { return self_test(f, kernel, scalar); },
            [&] {
                chosen = {kernel, scalar};
            });
    };
    unary(MathFunction::Exp, replicas.f64[0], libm.exp, d.f64[0]);
    unary(MathFunction::Log, replicas.f64[1], libm.log, d.f64[1]);
    // The loops call sin and cos directly (they have no errno wrapper to skip).
    unary(MathFunction::Sin, replicas.f64[2], static_cast<ScalarMathFn>(::sin), d.f64[2]);
    unary(MathFunction::Cos, replicas.f64[3], static_cast<ScalarMathFn>(::cos), d.f64[3]);
    unary(MathFunction::Expf, replicas.f32[0], libm32.unary[static_cast<int>(UnaryOp::Exp)],
          d.f32[0]);
    unary(MathFunction::Logf, replicas.f32[1], libm32.unary[static_cast<int>(UnaryOp::Log)],
          d.f32[1]);
    consider(
        MathFunction::Pow, [&] { return self_test(replicas.pow, libm.pow); },
        [&] {
            d.pow = replicas.pow;
            d.pow_scalar = libm.pow;
        });
    const auto powf_scalar = libm32.binary[static_cast<int>(BinaryOp::Pow)];
    consider(
        MathFunction::Powf, [&] { return self_test(replicas.powf, powf_scalar); },
        [&] {
            d.powf = replicas.powf;
            d.powf_scalar = powf_scalar;
        });
    return d;
}

const Decision& decision() {
    static const Decision d = decide();
    return d;
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
