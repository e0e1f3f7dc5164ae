// The core's refusal of an argument that a caller gave.
//
// Where the core itself validates what a caller passed in (a time mesh whose
// breakpoints do not increase, a grading below 1, meshes that are not
// nested where nesting is needed), it throws `ArgumentError` with a message
// that names the argument, what it must be and what it held. Unlike
// `InternalFailure`, this is the caller's mistake: the Python boundary turns
// it into ValueError in both modules.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace pwpoly {

class ArgumentError : public std::exception {
public:
    explicit ArgumentError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Throws `ArgumentError` with `message`; out of line, for small fast paths.
[[noreturn]] void refuse(std::string message);

}  // namespace pwpoly
