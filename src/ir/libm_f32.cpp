// Resolved through the dynamic linker, as ctypes resolves them: the same functions, the same bits.
#include "ir/libm_f32.hpp"

#include <dlfcn.h>

#include <string>
#include <string_view>

#include "core/fault.hpp"

namespace qv {

namespace {

float missing_unary(float) { fault("no float32 math library function for this operator"); }
float missing_binary(float, float) { fault("no float32 math library function for this operator"); }

void* find(std::string_view name) {
    return name.empty() ? nullptr : libm_symbol(std::string(name) + "f");
}

LibmF32 resolve() {
    LibmF32 e{};
    for (int code = 0; code < kUnaryOpCount; ++code) {
        void* f = find(op_libm_name(static_cast<UnaryOp>(code)));
        e.unary[code] = f != nullptr ? reinterpret_cast<float (*)(float)>(f) : missing_unary;
    }
    for (int code = 0; code < kBinaryOpCount; ++code) {
        void* f = find(op_libm_name(static_cast<BinaryOp>(code)));
        e.binary[code] =
            f != nullptr ? reinterpret_cast<float (*)(float, float)>(f) : missing_binary;
    }
    return e;
}

}  // namespace

void* libm_symbol(const std::string& name) {
    void* library = dlopen("libm.so.6", RTLD_LAZY | RTLD_NOLOAD);
    void* found = dlsym(library != nullptr ? library : RTLD_DEFAULT, name.c_str());
    if (found == nullptr && library != nullptr) found = dlsym(RTLD_DEFAULT, name.c_str());
    if (library != nullptr) dlclose(library);
    return found;
}

const LibmF32 libm_detail::f32_entries = resolve();

}  // namespace qv
