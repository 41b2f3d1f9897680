// The types of the values the engine computes with, and how a call binds each argument.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// The type of the values a step writes and its arguments hold. F64 stays 0: a default
// argument is float64. Bool is one byte, 0 or 1, as NumPy's bool.
enum class ValueType : std::uint8_t { F64, F32, Bool };
inline constexpr std::size_t kValueTypeCount = 3;

// Every type fits in the 8 bytes a scratch block keeps per element.
constexpr std::size_t element_size(ValueType t) noexcept {
    switch (t) {
        case ValueType::F64: return 8;
        case ValueType::F32: return 4;
        case ValueType::Bool: return 1;
    }
    return 8;
}

// The C++ type of a ValueType's elements.
template <ValueType T>
struct CTypeOf;
template <>
struct CTypeOf<ValueType::F64> {
    using type = double;
};
template <>
struct CTypeOf<ValueType::F32> {
    using type = float;
};
template <>
struct CTypeOf<ValueType::Bool> {
    using type = bool;
};
template <ValueType T>
using CType = typename CTypeOf<T>::type;

// NumPy's name of the type.
constexpr const char* type_name(ValueType t) noexcept {
    switch (t) {
        case ValueType::F64: return "float64";
        case ValueType::F32: return "float32";
        case ValueType::Bool: return "bool";
    }
    return "float64";
}

// How one argument is bound at a call: a buffer of elements of `type`, or a scalar. A weak
// scalar (a Python number) takes the type of the values it meets, as in NumPy; a strong one
// (a NumPy scalar) takes part in the promotion with its own type.
struct ArgPattern {
    bool buffer = false;
    bool weak = true;
    ValueType type = ValueType::F64;

    friend bool operator==(const ArgPattern&, const ArgPattern&) = default;
};

}  // namespace qv
