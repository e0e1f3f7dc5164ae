// Small helpers shared by the core's unit tests.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"

namespace pwpoly::testing_support {

using Idx = std::vector<std::size_t>;

// Bit patterns, so that comparisons tell -0.0 from 0.0 and see the last bit.
inline std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v)
        out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// The message of the InternalFailure that f() throws.
inline std::string failure_of(auto&& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.message();
    }
    return "<no failure>";
}

}  // namespace pwpoly::testing_support
