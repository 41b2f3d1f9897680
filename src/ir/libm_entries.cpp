// On x86-64 glibc, exp, log, log10, pow and atan2 are wrappers: each calls the library's core
// (the variant picked for this CPU) and then only looks at the result to set errno, which the
// engine never reads. The cores are exported as well, under the names of the old finite-math
// ABI (__exp_finite, ..., version GLIBC_2.15, kept for binary compatibility), so calling them
// gives the very same results without the wrapper, which costs about a third of an exp call
// here. Each core is checked bit for bit against its wrapper on values that take every path of
// the wrapper (finite, overflow, underflow, zero, infinities, NaN, domain errors) before it is
// used; a missing core or any difference keeps the standard function.
#include "ir/libm_entries.hpp"

#include <math.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__GLIBC__) && defined(__x86_64__)
#include <dlfcn.h>
#define QV_GLIBC_CORES 1
#else
#define QV_GLIBC_CORES 0
#endif

namespace qv {

namespace {

using Unary = double (*)(double);
using Binary = double (*)(double, double);

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Read through a volatile, so that the compiler cannot fold the standard calls at build time
// (its folding is correctly rounded, which the library need not be).
volatile const double kProbes[] = {
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    2.0,
    10.0,
    1e-300,
    -1e-300,
    5e-324,
    -5e-324,
    1e300,
    -1e300,
    709.78,
    709.79,
    710.0,
    -708.4,
    -745.1,
    -745.2,
    -746.0,
    3.0e-5,
    0.9999999999999999,
    1.0000000000000002,
    0.1,
    1.7976931348623157e308,
    kInf,
    -kInf,
    kNaN,
    -kNaN,
    123.456,
};
constexpr std::size_t kProbeCount = sizeof kProbes / sizeof kProbes[0];

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool agrees(Unary core, Unary standard) {
    for (std::size_t i = 0; i < kProbeCount; ++i) {
        if (!same_bits(core(kProbes[i]), standard(kProbes[i]))) return false;
    }
    return true;
}

bool agrees(Binary core, Binary standard) {
    for (std::size_t i = 0; i < kProbeCount; ++i) {
        for (std::size_t j = 0; j < kProbeCount; ++j) {
            if (!same_bits(core(kProbes[i], kProbes[j]), standard(kProbes[i], kProbes[j])))
                return false;
        }
    }
    return true;
}

template <class Fn>
Fn core_or(void* library, const char* name, Fn standard, bool& found) {
#if QV_GLIBC_CORES
    auto core = reinterpret_cast<Fn>(dlvsym(library, name, "GLIBC_2.15"));
    if (core != nullptr && agrees(core, standard)) {
        found = true;
        return core;
    }
#else
    (void)library;
    (void)name;
#endif
    return standard;
}

LibmEntries resolve() {
    // The math library the engine is linked with (loaded already, whatever scope the process
    // loaded this module in); the process's global scope where it cannot be named.
    void* library = nullptr;
#if QV_GLIBC_CORES
    library = dlopen("libm.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr) library = RTLD_DEFAULT;
#endif
    LibmEntries e{};
    e.exp = core_or<Unary>(library, "__exp_finite", ::exp, e.cores);
    e.log = core_or<Unary>(library, "__log_finite", ::log, e.cores);
    e.log10 = core_or<Unary>(library, "__log10_finite", ::log10, e.cores);
    e.pow = core_or<Binary>(library, "__pow_finite", ::pow, e.cores);
    e.atan2 = core_or<Binary>(library, "__atan2_finite", ::atan2, e.cores);
    return e;
}

}  // namespace

const LibmEntries libm_detail::entries = resolve();

}  // namespace qv
