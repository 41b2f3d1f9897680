// Builders for the three shapes of internal-fault text.
#include "core/fault.hpp"

namespace qv {

void fault(std::string text) { throw Fault(std::move(text)); }

void fault_expect(std::string_view message, std::string_view error_debug) {
    std::string text(message);
    text += ": ";
    text += error_debug;
    throw Fault(std::move(text));
}

void fault_assert_eq(std::string_view message, std::string_view left_debug,
                     std::string_view right_debug) {
    std::string text = "assertion `left == right` failed: ";
    text += message;
    text += "\n  left: ";
    text += left_debug;
    text += "\n right: ";
    text += right_debug;
    throw Fault(std::move(text));
}

}  // namespace qv
