// Which math library the process runs: its version and the GNU build-id of the loaded file.
#pragma once

#include <string>

namespace qv {

struct LibmIdentity {
    std::string version;   // glibc's version ("2.36"); empty on other C libraries
    std::string build_id;  // lowercase hex; empty where the file has none or is not found
};

// The identity of the library that holds `symbol` (a function of the math library).
LibmIdentity libm_identity(const void* symbol);

// Whether `version` ("major.minor[...]") is at least major.minor.
bool version_at_least(const std::string& version, int major, int minor);

}  // namespace qv
