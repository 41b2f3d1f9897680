// Why NumPy would refuse a formula over given operand types, found while compiling it.
#pragma once

#include <cstdint>
#include <string>

#include "core/engine_error.hpp"
#include "core/fault.hpp"

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

}  // namespace qv
