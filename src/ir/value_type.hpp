// The types of the values the engine computes with, and how a call binds each argument.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// The type of the values a step writes and its arguments hold. F64 stays 0: a default
// argument is float64. Bool is one byte, 0 or 1, as NumPy's bool. I32 and I64 are two's
// complement integers that wrap, as NumPy's.
enum class ValueType : std::uint8_t { F64, F32, Bool, I32, I64 };
inline constexpr std::size_t kValueTypeCount = 5;

constexpr bool is_integer(ValueType t) noexcept {
    return t == ValueType::I32 || t == ValueType::I64;
}

// Every type fits in the 8 bytes a scratch block keeps per element.
constexpr std::size_t element_size(ValueType t) noexcept {
    switch (t) {
        case ValueType::F64: return 8;
        case ValueType::F32: return 4;
        case ValueType::Bool: return 1;
        case ValueType::I32: return 4;
        case ValueType::I64: return 8;
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
template <>
struct CTypeOf<ValueType::I32> {
    using type = std::int32_t;
};
template <>
struct CTypeOf<ValueType::I64> {
    using type = std::int64_t;
};
template <ValueType T>
using CType = typename CTypeOf<T>::type;

// NumPy's name of the type.
constexpr const char* type_name(ValueType t) noexcept {
    switch (t) {
        case ValueType::F64: return "float64";
        case ValueType::F32: return "float32";
        case ValueType::Bool: return "bool";
        case ValueType::I32: return "int32";
        case ValueType::I64: return "int64";
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
