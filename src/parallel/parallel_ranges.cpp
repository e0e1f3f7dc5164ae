#include "parallel/parallel_ranges.hpp"

namespace pwpoly {

void fail_item_count(std::size_t expected, std::size_t actual) {
    fail("expected " + std::to_string(expected) + " total writes, but got " + std::to_string(actual));
}

}  // namespace pwpoly
