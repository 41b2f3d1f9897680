// The types of the values the engine computes with, and how a call binds each argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

namespace qv {

// The type of the values a step writes and its arguments hold. F64 stays 0: a default
// argument is float64. Bool is one byte, 0 or 1, as NumPy's bool. I32 and I64 are two's
// complement integers that wrap, as NumPy's. C64 and C128 are NumPy's complex64 and
// complex128: a real part and an imaginary one, float32 or float64 each.
// After them the storage types: int8, int16, uint8, uint16, uint32 and float16 arrays are read
// and written in place but computed in a wider type (compute_type); only the casts from and to
// that type have loops over them.
enum class ValueType : std::uint8_t {
    F64,
    F32,
    Bool,
    I32,
    I64,
    C64,
    C128,
    I8,
    I16,
    U8,
    U16,
    U32,
    F16
};
inline constexpr std::size_t kValueTypeCount = 13;
// The types steps compute in, and so every Select's condition, come before the storage ones.
inline constexpr std::size_t kComputeTypeCount = 7;

constexpr bool is_storage(ValueType t) noexcept {
    return static_cast<std::size_t>(t) >= kComputeTypeCount;
}

// The type a storage type is computed in, which holds each of its values exactly; any other
// type is its own.
constexpr ValueType compute_type(ValueType t) noexcept {
    switch (t) {
        case ValueType::I8:
        case ValueType::I16:
        case ValueType::U8:
        case ValueType::U16: return ValueType::I32;
        case ValueType::U32: return ValueType::I64;
        case ValueType::F16: return ValueType::F32;
        default: return t;
    }
}

constexpr bool is_integer(ValueType t) noexcept {
    return t == ValueType::I32 || t == ValueType::I64;
}

constexpr std::size_t element_size(ValueType t) noexcept {
    switch (t) {
        case ValueType::F64: return 8;
        case ValueType::F32: return 4;
        case ValueType::Bool: return 1;
        case ValueType::I32: return 4;
        case ValueType::I64: return 8;
        case ValueType::C64: return 8;
        case ValueType::C128: return 16;
        case ValueType::I8:
        case ValueType::U8: return 1;
        case ValueType::I16:
        case ValueType::U16:
        case ValueType::F16: return 2;
        case ValueType::U32: return 4;
    }
    return 8;
}

constexpr bool is_complex(ValueType t) noexcept {
    return t == ValueType::C64 || t == ValueType::C128;
}

// The type of a complex type's parts; any other type is its own.
constexpr ValueType part_type(ValueType t) noexcept {
    switch (t) {
        case ValueType::C64: return ValueType::F32;
        case ValueType::C128: return ValueType::F64;
        default: return t;
    }
}

// A complex number as NumPy lays it out: the real part, then the imaginary one. A plain pair:
// its arithmetic is NumPy's, written out where it is used, not std::complex's.
template <class T>
struct Complex {
    T re{}, im{};

    constexpr Complex() = default;
    constexpr Complex(T r, T i) : re(r), im(i) {}
    // A real number, as NumPy converts one: rounded to the parts' type, imaginary part +0.
    template <class U>
    requires std::is_arithmetic_v<U>
    constexpr explicit Complex(U r) : re(static_cast<T>(r)), im(0) {}
};
// A float16 value, IEEE binary16, as its bits: only converted to and from float32 (ir/half.hpp).
// An enumeration, not a struct, so that loops over it vectorise as over integers.
enum class Half : std::uint16_t {};

template <class T>
inline constexpr bool kIsComplex = false;
template <class T>
inline constexpr bool kIsComplex<Complex<T>> = true;

// The C++ type of each ValueType's elements, in the enumerators' order.
using ElementTypes =
    std::tuple<double, float, bool, std::int32_t, std::int64_t, Complex<float>, Complex<double>,
               std::int8_t, std::int16_t, std::uint8_t, std::uint16_t, std::uint32_t, Half>;
static_assert(std::tuple_size_v<ElementTypes> == kValueTypeCount);
template <ValueType T>
using CType = std::tuple_element_t<static_cast<std::size_t>(T), ElementTypes>;

// The ValueType whose elements are of C++ type T (each type has its own).
template <class T, std::size_t... K>
constexpr ValueType value_type_of(std::index_sequence<K...>) noexcept {
    ValueType found = ValueType::F64;
    ((std::is_same_v<T, CType<static_cast<ValueType>(K)>> ? (found = static_cast<ValueType>(K))
                                                          : found),
     ...);
    return found;
}
template <class T>
inline constexpr ValueType kValueTypeOf =
    value_type_of<T>(std::make_index_sequence<kValueTypeCount>{});

// NumPy's name of the type.
constexpr const char* type_name(ValueType t) noexcept {
    switch (t) {
        case ValueType::F64: return "float64";
        case ValueType::F32: return "float32";
        case ValueType::Bool: return "bool";
        case ValueType::I32: return "int32";
        case ValueType::I64: return "int64";
        case ValueType::C64: return "complex64";
        case ValueType::C128: return "complex128";
        case ValueType::I8: return "int8";
        case ValueType::I16: return "int16";
        case ValueType::U8: return "uint8";
        case ValueType::U16: return "uint16";
        case ValueType::U32: return "uint32";
        case ValueType::F16: return "float16";
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
