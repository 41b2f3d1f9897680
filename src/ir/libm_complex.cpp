// Resolved through the dynamic linker, as ctypes resolves them: the same functions, the same bits.
// Entries the library lacks fault when called.
#include "ir/libm_complex.hpp"

#include <string>

#include "core/fault.hpp"
#include "ir/libm_f32.hpp"

namespace qv {

namespace {

__complex__ double missing_c128(__complex__ double) {
    fault("no complex math library function for this operator");
}
__complex__ float missing_c64(__complex__ float) {
    fault("no complex math library function for this operator");
}
__complex__ double missing_cpow(__complex__ double, __complex__ double) {
    fault("no complex math library function for this operator");
}
__complex__ float missing_cpowf(__complex__ float, __complex__ float) {
    fault("no complex math library function for this operator");
}

template <class Fn>
Fn find(const std::string& name, Fn missing) {
    void* f = libm_symbol(name);
    return f != nullptr ? reinterpret_cast<Fn>(f) : missing;
}

LibmComplex resolve() {
    LibmComplex e{};
    for (int code = 0; code < kUnaryOpCount; ++code) {
        const std::string_view name = complex_libm_name(static_cast<UnaryOp>(code));
        e.c128[code] = name.empty() ? missing_c128 : find(std::string(name), missing_c128);
        e.c64[code] = name.empty() ? missing_c64 : find(std::string(name) + "f", missing_c64);
    }
    e.cpow = find("cpow", missing_cpow);
    e.cpowf = find("cpowf", missing_cpowf);
    return e;
}

}  // namespace

const LibmComplex libm_detail::complex_entries = resolve();

}  // namespace qv
