#include "common/internal_failure.hpp"

namespace pwpoly {

void fail(std::string message) { throw InternalFailure(std::move(message)); }

std::string equality_failure_message(std::string_view text, std::size_t left, std::size_t right) {
    std::string msg = "assertion `left == right` failed";
    if (!text.empty()) {
        msg += ": ";
        msg += text;
    }
    msg += "\n  left: ";
    msg += std::to_string(left);
    msg += "\n right: ";
    msg += std::to_string(right);
    return msg;
}

void fail_equality(std::string_view text, std::size_t left, std::size_t right) {
    throw InternalFailure(equality_failure_message(text, left, right));
}

void fail_capacity_overflow() { throw InternalFailure("capacity overflow"); }

}  // namespace pwpoly
