// The core's one failure type.
//
// A violated invariant inside the core (a failed assertion, a size check, a
// size that cannot be represented) ends the current operation by throwing
// `InternalFailure` with a fixed message. The core never catches it; the
// Python boundary translates it in one place (lib/toolkit/errors.hpp), as
// the module chose: pwpoly raises `PanicException` with the same message
// (also written to stderr), the array companion RuntimeError, or MemoryError
// for "capacity overflow".
//
// It is not the only failure that crosses the boundary: an argument the core
// refuses is `ArgumentError` (common/argument_error.hpp), ValueError in both
// modules; a failed allocation (std::bad_alloc) is MemoryError; and
// std::length_error from a container is taken as "capacity overflow".
//
// Both core folders and the Python boundary share it, so it lives in
// src/common, below all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace pwpoly {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Throws `InternalFailure` with `message`. Kept out of line so that callers'
// fast paths stay small.
[[noreturn]] void fail(std::string message);

// The three-line message of a failed equality check:
//   "assertion `left == right` failed: <text>\n  left: <l>\n right: <r>"
// or, with an empty text,
//   "assertion `left == right` failed\n  left: <l>\n right: <r>".
std::string equality_failure_message(std::string_view text, std::size_t left, std::size_t right);

[[noreturn]] void fail_equality(std::string_view text, std::size_t left, std::size_t right);

inline void assert_equal(std::size_t left, std::size_t right, std::string_view text = {}) {
    if (left != right) [[unlikely]]
        fail_equality(text, left, right);
}

// Size arithmetic on user-given sizes goes through these helpers: a product
// or sum that does not fit the size type is the internal failure
// "capacity overflow", never a silently wrapped (and thus too small) size.
[[noreturn]] void fail_capacity_overflow();

inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        fail_capacity_overflow();
    return r;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_add_overflow(a, b, &r)) [[unlikely]]
        fail_capacity_overflow();
    return r;
}

// Element count of an array of `count` doubles (or other `elem_size`-byte
// items) whose byte size must be representable as a signed size, the largest
// single allocation the platform allows.
inline std::size_t checked_array_count(std::size_t count, std::size_t elem_size) {
    std::size_t bytes = checked_mul(count, elem_size);
    if (bytes > static_cast<std::size_t>(PTRDIFF_MAX)) [[unlikely]]
        fail_capacity_overflow();
    return count;
}

}  // namespace pwpoly
