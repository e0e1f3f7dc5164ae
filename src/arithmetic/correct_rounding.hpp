// Correct rounding of values known exactly: the nearest double (ties to
// even) to an exact sum, product or quotient of doubles.
//
// When the exact operand is a double (x.lo = 0) the one IEEE operation is
// already correctly rounded. Otherwise each function first computes the
// value in double-double with a bound on
// its error and keeps that when every value within the bound rounds to the
// same double (nearly always); otherwise it computes the value exactly with
// dyadic big integers and rounds once. Either way the result is the nearest
// double to the exact value, the same bits on every platform.
#pragma once

#include <cstdint>
#include <span>

#include "arithmetic/double_double.hpp"
#include "arithmetic/exact_arithmetic.hpp"

namespace pwpoly {

namespace exact {

// m 2^e exactly, for every finite double and their exact sums and products.
struct Dyadic {
    BigInt m;
    std::int64_t e = 0;
};

Dyadic dyadic(double x);  // x finite
Dyadic operator+(const Dyadic& a, const Dyadic& b);
Dyadic operator*(const Dyadic& a, const Dyadic& b);
// The nearest double to a / b (b nonzero).
double nearest_double_to_quotient(const Dyadic& a, const Dyadic& b);
inline double nearest_double(const Dyadic& a) { return nearest_double_to_quotient(a, dyadic(1.0)); }

}  // namespace exact

// Whether v, within `bound` of the true value, fixes the nearest double:
// every value within twice the bound of v rounds to v.hi. Zero, non-finite
// and (nearly) subnormal values are never taken as fixed.
bool rounds_unambiguously(dd::DD v, double bound);

// The nearest double to x.hi + x.lo (each finite).
double nearest_to(dd::DD x);
// The nearest double to (x.hi + x.lo) * y.
double nearest_product(dd::DD x, double y);
// The nearest double to (x.hi + x.lo) / d, d nonzero.
double nearest_quotient(dd::DD x, double d);

}  // namespace pwpoly
