// The types of the values the engine computes with, and how a call binds each argument.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// The type of the values a step writes and its arguments hold. F64 stays 0: a default
// argument is float64.
enum class ValueType : std::uint8_t { F64, F32 };
inline constexpr std::size_t kValueTypeCount = 2;

// Every type fits in the 8 bytes a scratch block keeps per element.
constexpr std::size_t element_size(ValueType t) noexcept { return t == ValueType::F32 ? 4 : 8; }

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
template <ValueType T>
using CType = typename CTypeOf<T>::type;

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
