// Exact sums of doubles and of products of two doubles, for the results that
// are rounded once from their exact value (integrals over a mesh) when a
// faster error-bounded evaluation cannot decide the rounding.
//
// ExactSum is a long accumulator: a fixed-point number with its lowest bit
// at 2^-2176 (below 2^-2148, the lowest bit of a product of two subnormal
// doubles) and room above 2^2048 (the largest product of two finite
// doubles) for 2^64 terms, held as 32-bit digits in signed 64-bit words so
// that adding a term touches a few words without propagating carries.
// Carries are propagated every 2^28 terms, which keeps every word far from
// overflow. Adding costs a few integer operations whatever the magnitudes;
// reading the value out as a BigInt propagates the carries once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arithmetic/exact_arithmetic.hpp"

namespace pwpoly::exact {

class ExactSum {
public:
    // The value is integer() * 2^lowest_exponent.
    static constexpr int lowest_exponent = -2176;

    ExactSum();

    // Adds x or a * b exactly; every argument must be finite.
    void add(double x);
    void add_product(double a, double b);

    BigInt integer() const;

private:
    void add_bits(std::uint64_t value, int exponent, bool negative);
    void propagate_carries();

    std::vector<std::int64_t> words_;
    std::uint32_t since_carry_ = 0;
};

// The nearest double to the value of `sum` (ties to even; overflow to
// infinity, underflow to a signed zero).
double nearest_double(const ExactSum& sum);

// The nearest double to a * b / divisor (divisor >= 1), rounded the same way.
double nearest_double_to_product_over(const ExactSum& a, const ExactSum& b, std::uint64_t divisor);

}  // namespace pwpoly::exact
