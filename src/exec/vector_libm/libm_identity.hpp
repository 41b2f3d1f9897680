// Which math library the process runs: its version, the GNU build-id of the loaded file, and the
// CPU features its resolvers choose a function's build by.
#pragma once

#include <string>

namespace qv {

struct LibmIdentity {
    std::string version;   // glibc's version ("2.36"); empty on other C libraries
    std::string build_id;  // lowercase hex; empty where the file has none or is not found
    // The features as glibc's resolvers see them: usable on this CPU and not masked by
    // GLIBC_TUNABLES (where the library cannot say, as the CPU reports them).
    bool fma = false;
    bool avx2 = false;
    bool fma4 = false;
};

// The identity of the library that holds `symbol` (a function of the math library).
LibmIdentity libm_identity(const void* symbol);

// Whether `version` ("major.minor[...]") is at least major.minor.
bool version_at_least(const std::string& version, int major, int minor);

}  // namespace qv
