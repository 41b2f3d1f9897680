// Internal faults: broken invariants and refused assertions. One exception type;
// the binding layer turns it into PanicException. Engine errors are values (engine_error.hpp).
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace qv {

class Fault : public std::exception {
public:
    explicit Fault(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// Plain message: "no operations have been added to `Select`".
[[noreturn]] void fault(std::string text);

// Failed expectation on an error value: message + ": " + debug text of the error.
[[noreturn]] void fault_expect(std::string_view message, std::string_view error_debug);

// Failed equality assertion, in the fixed multi-line shape.
[[noreturn]] void fault_assert_eq(std::string_view message, std::string_view left_debug,
                                  std::string_view right_debug);

}  // namespace qv
