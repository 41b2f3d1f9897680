// Why NumPy would refuse a formula over given operand types, found while compiling it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/engine_error.hpp"
#include "core/fault.hpp"
#include "ir/value_type.hpp"

namespace qv {

// What NumPy refuses of a formula over these operand types before computing it: a bitwise
// operator over floats (TypeError), a Python int outside the integer type it meets
// (OverflowError), or an integer raised to a negative integer constant (ValueError).
struct Refusal {
    enum class Kind : std::uint8_t { None, Type, Overflow, Value };
    Kind kind = Kind::None;
    std::string message;

    explicit operator bool() const noexcept { return kind != Kind::None; }
    // As the engine's error, where only a TypeError can arise: over float64 operands alone (the
    // float64 surface, fused reductions), no integer step takes a constant.
    EngineError type_error() const {
        if (kind != Kind::Type) fault("a refusal other than a TypeError over float64 operands");
        return EngineError::type_error(message);
    }
};

// NumPy's refusal of an integer raised to a negative integer.
inline Refusal negative_int_power() {
    return {Refusal::Kind::Value, "Integers to negative integer powers are not allowed."};
}

// Integers below it in magnitude are exact in the float64 scalar table.
inline constexpr double kExactIntBound = 9007199254740992.0;  // 2**53

// An integral float64 as decimal digits.
inline std::string int_text(double v) {
    char text[400];
    std::snprintf(text, sizeof text, "%.0f", v);
    return text;
}

// NumPy's refusal of a Python int `v` (written `text`) that an integer type meets: out of the
// type's range; or, for a value computed in float64 (a folded constant), past 2**53, where its
// digits are not known. None when the type takes it.
inline Refusal python_int_refusal(double v, const std::string& text, ValueType type) {
    const double bound = type == ValueType::I32 ? 2147483648.0 : 9223372036854775808.0;
    if (!(v >= -bound && v < bound)) {
        return {Refusal::Kind::Overflow,
                "Python integer " + text + " out of bounds for " + type_name(type)};
    }
    if (std::fabs(v) >= kExactIntBound) {
        return {Refusal::Kind::Overflow,
                "Python integer " + text + " is not computed exactly in a formula over " +
                    type_name(type) + " yet (only up to 2**53 in magnitude)"};
    }
    return {};
}

// The same for a Python int known exactly, within int64.
inline Refusal python_int_refusal(std::int64_t v, ValueType type) {
    if (type != ValueType::I32 || (v >= INT32_MIN && v <= INT32_MAX)) return {};
    return {Refusal::Kind::Overflow,
            "Python integer " + std::to_string(v) + " out of bounds for " + type_name(type)};
}

}  // namespace qv
