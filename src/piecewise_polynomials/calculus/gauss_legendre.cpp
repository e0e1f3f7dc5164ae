#include "piecewise_polynomials/calculus/gauss_legendre.hpp"

#include <cmath>
#include <numbers>

#include "arithmetic/double_double.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/basis/mesh.hpp"

namespace pwpoly {

namespace {

using dd::DD;

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
    InterruptionPacer pacer;
    // Roots q = 0, ..., half - 1 in descending order from the largest; the
    // others by symmetry.
    for (std::size_t q = 0; q < half; ++q) {
        pacer.done(200 * n);  // a few Newton steps of n double-double recurrence steps
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
    InterruptionPacer pacer;
    for (std::size_t j = 0; j < n_t; ++j) {
        pacer.done(4 * n);
        const double mid = interval_ends(j, w).a + h;
        for (std::size_t q = 0; q < n; ++q) {
            rule.nodes[j * n + q] = mid + h * reference.nodes[q];
            rule.weights[j * n + q] = h * reference.weights[q];
        }
    }
    return rule;
}

}  // namespace pwpoly
