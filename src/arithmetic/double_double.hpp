// Double-double arithmetic: about 106 significant bits from exactly rounded
// double operations, the same on every IEEE platform. Used where a result
// must be correct to the last bit of a double (Gauss-Legendre nodes, the
// re-expansion of Legendre polynomials): computed in double-double, then
// rounded once.
//
// The error-free transformations need round-to-nearest and neither fused
// nor extended arithmetic, which the build guarantees (-ffp-contract=off,
// SSE2 on 32-bit x86).
#pragma once

namespace pwpoly::dd {

// Double-double numbers hi + lo (|lo| <= ulp(hi) / 2, hi the nearest double to
// the sum), from error-free transformations of correctly rounded double
// operations; products split their factors (Dekker) instead of using a fused
// multiply-add. Each operation below has a relative error of at most a few
// units of 2^-106.

struct DD {
    double hi, lo;
};

inline DD quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

inline DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

inline void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

inline DD two_prod(double a, double b) {
    const double p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

inline DD operator+(DD x, DD y) {
    DD s = two_sum(x.hi, y.hi);
    const DD t = two_sum(x.lo, y.lo);
    s.lo = s.lo + t.hi;
    s = quick_two_sum(s.hi, s.lo);
    s.lo = s.lo + t.lo;
    return quick_two_sum(s.hi, s.lo);
}

inline DD operator-(DD x) { return {-x.hi, -x.lo}; }
inline DD operator-(DD x, DD y) { return x + (-y); }

inline DD operator*(DD x, DD y) {
    DD p = two_prod(x.hi, y.hi);
    p.lo = p.lo + (x.hi * y.lo + x.lo * y.hi);
    return quick_two_sum(p.hi, p.lo);
}

inline DD operator*(DD x, double y) {
    DD p = two_prod(x.hi, y);
    p.lo = p.lo + x.lo * y;
    return quick_two_sum(p.hi, p.lo);
}

inline DD operator/(DD x, DD y) {
    const double q1 = x.hi / y.hi;
    DD r = x - y * q1;
    const double q2 = r.hi / y.hi;
    r = r - y * q2;
    const double q3 = r.hi / y.hi;
    return quick_two_sum(q1, q2) + DD{q3, 0.0};
}

inline DD operator/(DD x, double y) { return x / DD{y, 0.0}; }

}  // namespace pwpoly::dd
