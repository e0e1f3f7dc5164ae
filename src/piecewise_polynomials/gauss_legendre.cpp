#include "piecewise_polynomials/gauss_legendre.hpp"

#include <cmath>
#include <numbers>

#include "common/internal_failure.hpp"
#include "piecewise_polynomials/mesh.hpp"

namespace pwpoly {

namespace {

// Double-double numbers: hi + lo with |lo| <= ulp(hi) / 2. The error-free
// transformations below need round-to-nearest and no fused or extended
// arithmetic, which the build guarantees; the products split their factors
// (Dekker) instead of using an FMA.
struct DD {
    double hi, lo;
};

DD quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

DD two_prod(double a, double b) {
    const double p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

DD operator+(DD x, DD y) {
    DD s = two_sum(x.hi, y.hi);
    const DD t = two_sum(x.lo, y.lo);
    s.lo += t.hi;
    s = quick_two_sum(s.hi, s.lo);
    s.lo += t.lo;
    return quick_two_sum(s.hi, s.lo);
}

DD operator-(DD x) { return {-x.hi, -x.lo}; }
DD operator-(DD x, DD y) { return x + (-y); }

DD operator*(DD x, DD y) {
    DD p = two_prod(x.hi, y.hi);
    p.lo += x.hi * y.lo + x.lo * y.hi;
    return quick_two_sum(p.hi, p.lo);
}

DD operator*(DD x, double y) {
    DD p = two_prod(x.hi, y);
    p.lo += x.lo * y;
    return quick_two_sum(p.hi, p.lo);
}

DD operator/(DD x, DD y) {
    const double q1 = x.hi / y.hi;
    DD r = x - y * q1;
    const double q2 = r.hi / y.hi;
    r = r - y * q2;
    const double q3 = r.hi / y.hi;
    const DD q = quick_two_sum(q1, q2);
    return q + DD{q3, 0.0};
}

DD operator/(DD x, double y) { return x / DD{y, 0.0}; }

// P_n(x) and P_n'(x) by the three-term recurrence and
// P_n' = n (x P_n - P_(n-1)) / (x^2 - 1), for |x| < 1.
void legendre_and_derivative(std::size_t n, DD x, DD& p, DD& dp) {
    DD p_km1{1.0, 0.0};
    DD p_k = x;
    for (std::size_t k = 1; k < n; ++k) {
        const double kd = static_cast<double>(k);
        const DD next = (x * p_k * (2.0 * kd + 1.0) - p_km1 * kd) / (kd + 1.0);
        p_km1 = p_k;
        p_k = next;
    }
    p = n == 0 ? DD{1.0, 0.0} : p_k;
    const DD one{1.0, 0.0};
    dp = (x * p - p_km1) * static_cast<double>(n) / (x * x - one);
}

}  // namespace

QuadratureRule gauss_legendre_rule(std::size_t n) {
    if (n == 0)
        fail("a Gauss-Legendre rule needs at least one point");
    checked_array_count(n, sizeof(double));
    QuadratureRule rule{std::vector<double>(n), std::vector<double>(n)};
    const std::size_t half = n / 2;
    // Roots q = 0, ..., half - 1 in descending order from the largest; the
    // others by symmetry.
    for (std::size_t q = 0; q < half; ++q) {
        // Tricomi's first approximation, then Newton until the step no
        // longer changes the double-double value.
        const double guess =
            std::cos(std::numbers::pi * (static_cast<double>(q) + 0.75) / (static_cast<double>(n) + 0.5));
        DD x{guess, 0.0};
        DD p, dp;
        for (int iteration = 0; iteration < 50; ++iteration) {
            legendre_and_derivative(n, x, p, dp);
            const DD step = p / dp;
            x = x - step;
            if (std::fabs(step.hi) <= 1e-30 * std::fabs(x.hi))
                break;
        }
        legendre_and_derivative(n, x, p, dp);
        const DD one{1.0, 0.0};
        const DD weight = DD{2.0, 0.0} / ((one - x * x) * dp * dp);
        rule.nodes[n - 1 - q] = x.hi;
        rule.nodes[q] = -x.hi;
        rule.weights[n - 1 - q] = weight.hi;
        rule.weights[q] = weight.hi;
    }
    if (n % 2 == 1) {
        // The middle node is 0; P_n'(0) comes from the recurrence there.
        DD p, dp;
        legendre_and_derivative(n, DD{0.0, 0.0}, p, dp);
        rule.nodes[half] = 0.0;
        rule.weights[half] = (DD{2.0, 0.0} / (dp * dp)).hi;
    }
    return rule;
}

QuadratureRule gauss_legendre_on_mesh(std::size_t n, std::size_t n_t, double T) {
    if (n_t == 0)
        fail("a quadrature on a mesh needs at least one interval");
    const QuadratureRule reference = gauss_legendre_rule(n);
    const std::size_t count = checked_array_count(checked_mul(n, n_t), sizeof(double));
    QuadratureRule rule{std::vector<double>(count), std::vector<double>(count)};
    const double w = T / static_cast<double>(n_t);
    const double h = 0.5 * w;
    for (std::size_t j = 0; j < n_t; ++j) {
        const double mid = interval_ends(j, w).a + h;
        for (std::size_t q = 0; q < n; ++q) {
            rule.nodes[j * n + q] = mid + h * reference.nodes[q];
            rule.weights[j * n + q] = h * reference.weights[q];
        }
    }
    return rule;
}

}  // namespace pwpoly
