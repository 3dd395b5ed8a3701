#pragma once

// Errors are values: an operation that can fail returns Result<T> (or Status),
// whose error is a text. Each layer puts its own context in front of the text.

#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>

struct Error {
    std::string text;

    // The same error with "context: " put in front of its text.
    Error with_context(std::string_view context) const& {
        return Error{fmt::format("{}: {}", context, text)};
    }
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { return std::get<1>(v_); }
    const std::string& error_text() const { return error().text; }

private:
    std::variant<T, Error> v_;
};

// Success or an error text.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : error_(std::move(error)), failed_(true) {}

    static Status success() { return Status(); }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }
    const std::string& error_text() const { return error_.text; }

private:
    Error error_;
    bool failed_ = false;
};

// Builds an Error from a format string, e.g. make_error("frame too large: {} > {}", n, max).
template <class... Args>
Error make_error(fmt::format_string<Args...> format, Args&&... args) {
    return Error{fmt::format(format, std::forward<Args>(args)...)};
}
