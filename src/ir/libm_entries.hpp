// The math library's functions as the production loops call them: the same bits as the
// standard functions, reached without the errno wrappers where the platform has them.
#pragma once

namespace qv {

struct LibmEntries {
    double (*exp)(double);
    double (*log)(double);
    double (*log10)(double);
    double (*pow)(double, double);
    double (*atan2)(double, double);
    bool cores;  // whether any entry is a wrapper-free core
};

namespace libm_detail {
extern const LibmEntries entries;  // resolved once, when the engine loads
}

inline const LibmEntries& libm_entries() noexcept { return libm_detail::entries; }

}  // namespace qv
