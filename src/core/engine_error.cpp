// Display and debug texts of engine errors.
#include "core/engine_error.hpp"

#include "core/debug_text.hpp"

namespace qv {

const char* error_kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::TypeError: return "TypeError";
        case ErrorKind::ShapeError: return "ShapeError";
        case ErrorKind::ArgError: return "ArgError";
        case ErrorKind::EmptyCollection: return "EmptyCollection";
        case ErrorKind::Cancelled: return "Cancelled";
        case ErrorKind::ChannelClosed: return "ChannelClosed";
        case ErrorKind::Internal: return "Internal";
    }
    return "Internal";
}

std::string EngineError::display() const {
    std::string text = error_kind_name(kind_);
    if (has_message()) {
        text += ": ";
        text += message_;
    }
    return text;
}

std::string EngineError::debug() const {
    std::string text = error_kind_name(kind_);
    if (has_message()) {
        text += '(';
        text += debug_quote(message_);
        text += ')';
    }
    return text;
}

}  // namespace qv
