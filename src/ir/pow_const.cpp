// Whether the C library's pow carries the error bound the constant-exponent candidates rely on.
#include "ir/pow_const.hpp"

#include <cstdlib>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace qv {

bool pow_bound_known() noexcept {
#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__aarch64__))
    // glibc 2.28 brought the pow whose worst case is documented as 0.54 ULP (x86-64, aarch64).
    static const bool known = [] {
        const char* version = gnu_get_libc_version();
        char* rest = nullptr;
        const long major = std::strtol(version, &rest, 10);
        const long minor = *rest == '.' ? std::strtol(rest + 1, nullptr, 10) : 0;
        return major > 2 || (major == 2 && minor >= 28);
    }();
    return known;
#else
    return false;
#endif
}

}  // namespace qv
