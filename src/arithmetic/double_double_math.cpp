// ln, exp and pow in double-double.
//
// ln x: x = m 2^e with m in [1/sqrt 2, sqrt 2) (exact scaling), then
// ln x = e ln 2 + 2 atanh(z), z = (m - 1) / (m + 1), |z| < 0.172, by the
// series atanh z = z + z^3 / 3 + z^5 / 5 + ..., summed until its terms fall
// below 2^-110 of the sum (at most 24 terms).
// exp x: x = k ln 2 + r with k the nearest integer to x / ln 2 and
// |r| <= 0.35, then e^r = (e^(r / 1024))^1024: the Taylor series of
// e^s - 1 for |s| < 3.5e-4 (12 terms), squared ten times as
// (1 + E)^2 - 1 = 2E + E^2 (which keeps the small part exact), and the
// result scaled by 2^k.
// Every step is a double-double operation or an exact scaling by a power of
// two, so the results are the same on every platform.
#include "arithmetic/double_double_math.hpp"

#include <cmath>

namespace pwpoly::dd {

namespace {

// ln 2 = 0.6931471805599453094172321214581765680755..., split into the
// nearest double and the nearest double to the rest.
constexpr DD ln2{0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};

DD scaled(DD x, int e) { return {std::ldexp(x.hi, e), std::ldexp(x.lo, e)}; }

}  // namespace

DD log(DD x) {
    int e = 0;
    std::frexp(x.hi, &e);  // x.hi = f 2^e, f in [0.5, 1)
    DD m = scaled(x, -e);  // about [0.5, 1)
    if (m.hi < 0.70710678118654752) {
        m = scaled(m, 1);
        e -= 1;
    }
    const DD one{1.0, 0.0};
    const DD z = (m - one) / (m + one);
    const DD z2 = z * z;
    DD power = z;
    DD sum = z;
    for (int n = 3; n < 100; n += 2) {
        power = power * z2;
        const DD term = power / static_cast<double>(n);
        sum = sum + term;
        if (std::fabs(term.hi) <= 0x1p-110 * std::fabs(sum.hi))
            break;
    }
    return ln2 * static_cast<double>(e) + scaled(sum, 1);
}

DD exp(DD x) {
    const double k = std::nearbyint(x.hi / ln2.hi);
    const DD r = x - ln2 * k;
    const DD s = scaled(r, -10);
    // e^s - 1 = s + s^2 / 2! + ... + s^12 / 12!, by Horner from the top.
    DD series{0.0, 0.0};
    for (int n = 12; n >= 1; --n)
        series = (series + DD{1.0, 0.0}) * s / static_cast<double>(n);
    for (int i = 0; i < 10; ++i)
        series = scaled(series, 1) + series * series;
    return scaled(series + DD{1.0, 0.0}, static_cast<int>(k));
}

DD pow(DD x, double y) {
    if (x.hi == 1.0 && x.lo == 0.0)
        return {1.0, 0.0};
    return exp(log(x) * y);
}

}  // namespace pwpoly::dd
