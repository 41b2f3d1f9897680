// The math library's float32 functions (expf, logf, powf, ...), one per operator row that names
// a library function: the row's name with an "f", found when the engine loads, so that every
// such row has its float32 form without a line of its own.
#pragma once

#include <string>

#include "ir/ops.hpp"

namespace qv {

// A function of the math library the engine is linked with, by its name, as the dynamic linker
// finds it; null where the library has none.
void* libm_symbol(const std::string& name);

struct LibmF32 {
    float (*unary[kUnaryOpCount])(float);
    float (*binary[kBinaryOpCount])(float, float);
};

namespace libm_detail {
extern const LibmF32 f32_entries;  // resolved once, when the engine loads
}

// Entries of rows without a library function, or whose float32 function the library lacks,
// fault when called.
inline const LibmF32& libm_f32() noexcept { return libm_detail::f32_entries; }

}  // namespace qv
