#include "arithmetic/correct_rounding.hpp"

#include <bit>
#include <cmath>

#include "common/internal_failure.hpp"

namespace pwpoly {

namespace exact {

namespace {

// 2^k as a big integer, k >= 0.
BigInt power_of_two(std::int64_t k) {
    BigInt result(1);
    const BigInt chunk = BigInt::from_unsigned(std::uint64_t{1} << 32);
    for (; k >= 32; k -= 32)
        result = result * chunk;
    return result * BigInt::from_unsigned(std::uint64_t{1} << k);
}

}  // namespace

Dyadic dyadic(double x) {
    if (!std::isfinite(x))
        fail("dyadic: not a finite double");
    if (x == 0.0)
        return {};
    int e = 0;
    const double f = std::frexp(x, &e);  // x = f 2^e, 0.5 <= |f| < 1
    // f 2^53 is an integer for every double (subnormals included).
    return {BigInt(static_cast<std::int64_t>(std::ldexp(f, 53))), static_cast<std::int64_t>(e) - 53};
}

Dyadic operator+(const Dyadic& a, const Dyadic& b) {
    if (a.m.is_zero())
        return b;
    if (b.m.is_zero())
        return a;
    if (a.e <= b.e)
        return {a.m + b.m * power_of_two(b.e - a.e), a.e};
    return {a.m * power_of_two(a.e - b.e) + b.m, b.e};
}

Dyadic operator*(const Dyadic& a, const Dyadic& b) { return {a.m * b.m, a.e + b.e}; }

double nearest_double_to_quotient(const Dyadic& a, const Dyadic& b) {
    const std::int64_t shift = a.e - b.e;
    if (shift >= 0)
        return nearest_double_to_quotient(a.m * power_of_two(shift), b.m);
    return nearest_double_to_quotient(a.m, b.m * power_of_two(-shift));
}

}  // namespace exact

bool rounds_unambiguously(dd::DD v, double bound) {
    const double r = std::fabs(v.hi);
    if (!(r > 0x1p-900) || !(r < 0x1p1000))
        return false;
    // The neighbours of a positive normal double are its bit pattern +- 1.
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(r);
    const double up = std::bit_cast<double>(bits + 1) - r;
    const double down = r - std::bit_cast<double>(bits - 1);
    const double half_gap = 0.5 * (up < down ? up : down);
    return std::fabs(v.lo) + 2.0 * bound < half_gap;
}

double nearest_to(dd::DD x) {
    const dd::DD v = dd::two_sum(x.hi, x.lo);
    if (rounds_unambiguously(v, 0.0))
        return v.hi;
    return exact::nearest_double(exact::dyadic(x.hi) + exact::dyadic(x.lo));
}

// The double-double operations below are within a few units of 2^-106 of the
// exact result; 2^-100 relative is a safe bound.
double nearest_product(dd::DD x, double y) {
    if (x.lo == 0.0)
        return x.hi * y;  // one IEEE operation: already the nearest double
    const dd::DD v = x * y;
    if (rounds_unambiguously(v, std::fabs(v.hi) * 0x1p-100))
        return v.hi;
    const exact::Dyadic ey = exact::dyadic(y);
    return exact::nearest_double(exact::dyadic(x.hi) * ey + exact::dyadic(x.lo) * ey);
}

double nearest_quotient(dd::DD x, double d) {
    if (x.lo == 0.0)
        return x.hi / d;  // one IEEE operation: already the nearest double
    const dd::DD v = x / d;
    if (rounds_unambiguously(v, std::fabs(v.hi) * 0x1p-100))
        return v.hi;
    return exact::nearest_double_to_quotient(exact::dyadic(x.hi) + exact::dyadic(x.lo), exact::dyadic(d));
}

}  // namespace pwpoly
