// The engine's one error type: a value that is returned, stored in tasks and moved
// across threads. It becomes a Python exception only in the binding layer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace qv {

enum class ErrorKind : std::uint8_t {
    TypeError,
    ShapeError,
    ArgError,
    EmptyCollection,
    Cancelled,
    ChannelClosed,
    Internal,
};

class EngineError {
public:
    static EngineError type_error(std::string m) { return {ErrorKind::TypeError, std::move(m)}; }
    static EngineError shape(std::string m) { return {ErrorKind::ShapeError, std::move(m)}; }
    static EngineError arg(std::string m) { return {ErrorKind::ArgError, std::move(m)}; }
    static EngineError empty_collection(std::string m) {
        return {ErrorKind::EmptyCollection, std::move(m)};
    }
    static EngineError cancelled() { return {ErrorKind::Cancelled, {}}; }
    static EngineError channel_closed() { return {ErrorKind::ChannelClosed, {}}; }
    static EngineError internal(std::string m) { return {ErrorKind::Internal, std::move(m)}; }

    ErrorKind kind() const noexcept { return kind_; }
    // The message without the kind prefix; empty for Cancelled and ChannelClosed.
    const std::string& message() const noexcept { return message_; }
    bool has_message() const noexcept {
        return kind_ != ErrorKind::Cancelled && kind_ != ErrorKind::ChannelClosed;
    }

    // "ShapeError: m", "Cancelled".
    std::string display() const;
    // ShapeError("m") with the message quoted and escaped; Cancelled.
    std::string debug() const;

    friend bool operator==(const EngineError&, const EngineError&) = default;

private:
    EngineError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    ErrorKind kind_;
    std::string message_;
};

const char* error_kind_name(ErrorKind kind) noexcept;

// A value or an EngineError.
template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(EngineError error) : v_(std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    EngineError& error() & { return std::get<1>(v_); }
    EngineError&& error() && { return std::get<1>(std::move(v_)); }
    const EngineError& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, EngineError> v_;
};

}  // namespace qv
