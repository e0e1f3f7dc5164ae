#include "piecewise_polynomials/calculus/gauss_legendre.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "common/argument_error.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/calculus/mesh_integrals.hpp"

namespace pwpoly {

namespace {

using dd::DD;

// cos(a) for 0 <= a <= pi / 2 by its Taylor series to a^22 (truncation
// below 1e-16), in plain double arithmetic: the same bits everywhere,
// unlike a library cosine. Only a first guess for Newton's method.
double first_guess_cos(double a) {
    const double a2 = a * a;
    double sum = 1.0;
    for (int k = 11; k >= 1; --k)
        sum = 1.0 - sum * a2 / static_cast<double>((2 * k - 1) * (2 * k));
    return sum;
}

// P_n(x) and P_n'(x) in double by the three-term recurrence and
// P_n' = n (x P_n - P_(n-1)) / (x^2 - 1), for |x| < 1 and n >= 1.
void legendre_in_double(std::size_t n, double x, double& p, double& dp) {
    double p_km1 = 1.0, p_k = x;
    for (std::size_t k = 1; k < n; ++k) {
        const double kd = static_cast<double>(k);
        const double next = ((2.0 * kd + 1.0) * x * p_k - kd * p_km1) / (kd + 1.0);
        p_km1 = p_k;
        p_k = next;
    }
    p = p_k;
    dp = static_cast<double>(n) * (x * p_k - p_km1) / (x * x - 1.0);
}

// The same in double-double, as P_(k+1) = t + (t - P_(k-1)) r_k with t = x P_k
// and r_k = k / (k + 1) from a table (ratio[k]).
void legendre_in_double_double(std::size_t n, DD x, const std::vector<DD>& ratio, DD& p, DD& dp) {
    DD p_km1{1.0, 0.0};
    DD p_k = x;
    for (std::size_t k = 1; k < n; ++k) {
        const DD t = x * p_k;
        const DD next = t + (t - p_km1) * ratio[k];
        p_km1 = p_k;
        p_k = next;
    }
    p = p_k;
    dp = (x * p_k - p_km1) * static_cast<double>(n) / (x * x - DD{1.0, 0.0});
}

}  // namespace

void check_gauss_points(std::size_t points) {
    if (points == 0)
        refuse("points must be at least 1, got 0");
    if (points > max_gauss_points)
        refuse("points must be at most " + std::to_string(max_gauss_points) + ", got " + std::to_string(points));
}

ReferenceRule gauss_legendre_reference(std::size_t n) {
    if (n == 0)
        fail("a Gauss-Legendre rule needs at least one point");
    checked_array_count(checked_mul(n, 3 * sizeof(DD) / sizeof(double)), sizeof(double));
    ReferenceRule rule{std::vector<DD>(n), std::vector<DD>(n), std::vector<DD>(n)};
    std::vector<DD> ratio(n);
    InterruptionPacer ratios_pacer;
    for (std::size_t k = 1; k < n; ++k) {
        ratios_pacer.done(40);
        ratio[k] = DD{static_cast<double>(k), 0.0} / static_cast<double>(k + 1);
    }
    const DD one{1.0, 0.0};
    const std::size_t half = n / 2;
    InterruptionPacer pacer;
    // Roots q = 0, ..., half - 1 in descending order from the largest; the
    // others by symmetry.
    for (std::size_t q = 0; q < half; ++q) {
        pacer.done(200 * n);  // a few Newton steps of n double-double recurrence steps
        // Tricomi's first approximation cos(pi (q + 3/4) / (n + 1/2)), then
        // Newton in double until the step is below 2^-50 of x, then in
        // double-double until it no longer changes the value.
        double guess =
            first_guess_cos(std::numbers::pi * (static_cast<double>(q) + 0.75) / (static_cast<double>(n) + 0.5));
        for (int iteration = 0; iteration < 20; ++iteration) {
            double p, dp;
            legendre_in_double(n, guess, p, dp);
            const double step = p / dp;
            guess = guess - step;
            if (!(std::fabs(step) > 0x1p-50 * std::fabs(guess)))
                break;
        }
        DD x{guess, 0.0};
        DD p, dp;
        for (int iteration = 0; iteration < 20; ++iteration) {
            legendre_in_double_double(n, x, ratio, p, dp);
            const DD step = p / dp;
            x = x - step;
            if (std::fabs(step.hi) <= 1e-30 * std::fabs(x.hi))
                break;
        }
        // dp is P_n' at x before the last step, which moved x by at most
        // 1e-30 |x|: relative to P_n' that changes it by about n^2 1e-30.
        const DD weight = DD{2.0, 0.0} / ((one - x * x) * dp * dp);
        rule.nodes[n - 1 - q] = x;
        rule.nodes[q] = -x;
        rule.one_plus_nodes[n - 1 - q] = one + x;
        rule.one_plus_nodes[q] = one - x;
        rule.weights[n - 1 - q] = weight;
        rule.weights[q] = weight;
    }
    if (n % 2 == 1) {
        // The middle node is 0; P_n'(0) comes from the recurrence there.
        DD p, dp;
        legendre_in_double_double(n, DD{0.0, 0.0}, ratio, p, dp);
        rule.nodes[half] = DD{0.0, 0.0};
        rule.one_plus_nodes[half] = one;
        rule.weights[half] = DD{2.0, 0.0} / (dp * dp);
    }
    return rule;
}

QuadratureRule gauss_legendre_rule(std::size_t n) {
    const ReferenceRule reference = gauss_legendre_reference(n);
    QuadratureRule rule{std::vector<double>(n), std::vector<double>(n)};
    for (std::size_t q = 0; q < n; ++q) {
        rule.nodes[q] = reference.nodes[q].hi;
        rule.weights[q] = reference.weights[q].hi;
    }
    return rule;
}

QuadratureRule gauss_legendre_on_mesh(std::size_t n, const TimeMesh& mesh) {
    check_gauss_points(n);
    if (!mesh.has_intervals())
        fail("a quadrature on a mesh needs at least one interval");
    const std::size_t n_t = mesh.n_t();
    const std::size_t count = checked_array_count(checked_mul(n, n_t), sizeof(double));
    const ReferenceRule reference = gauss_legendre_reference(n);
    // Filled by push_back, so that the pages of a large result are touched
    // (and their cost paid) inside the interruptible loop below.
    QuadratureRule rule;
    rule.nodes.reserve(count);
    rule.weights.reserve(count);
    // Dekker's products split their factors, which overflows above 2^996: a
    // mesh that reaches beyond 2^900 is mapped at 2^-128 of its size and the
    // results scaled back (both exact, but for parts below 2^-946 that no
    // result of such a mesh can show).
    const bool huge = std::max(std::fabs(mesh.start()), std::fabs(mesh.end())) > 0x1p900;
    const double down = huge ? 0x1p-128 : 1.0, up = huge ? 0x1p128 : 1.0;
    const auto scaled = [&](DD x) { return DD{x.hi * down, x.lo * down}; };
    // (h_j / 2) (1 + x_q) and the rounded weights, once for a uniform mesh.
    std::vector<DD> offsets(n);
    std::vector<double> weights(n);
    const bool uniform = mesh.is_uniform();
    const DD width = uniform ? uniform_width(mesh.start() * down, mesh.end() * down, n_t) : DD{0.0, 0.0};
    const auto scale_rule = [&](std::size_t j) {
        const DD h = uniform ? width : scaled(mesh.exact_width(j));
        const DD half_width{0.5 * h.hi, 0.5 * h.lo};  // exact: widths are at least 2^-1000
        for (std::size_t q = 0; q < n; ++q) {
            offsets[q] = half_width * reference.one_plus_nodes[q];
            weights[q] = (half_width * reference.weights[q]).hi * up;
        }
    };
    const bool crossing = uniform && mesh.start() < 0.0 && mesh.end() > 0.0;
    const DD span = dd::two_sum(mesh.end() * down, -(mesh.start() * down));
    InterruptionPacer pacer;
    for (std::size_t j = 0; j < n_t; ++j) {
        pacer.done(40 * n);  // the double-double mapping of n nodes
        if (j == 0 || !uniform)
            scale_rule(j);
        // b_j: exact on a breakpoint mesh; t0 + j W on a uniform one, within
        // about 8 u^2 (|t0| + j |W|) of t0 + j (t1 - t0) / n_t.
        const DD start =
            uniform ? DD{mesh.start() * down, 0.0} + width * static_cast<double>(j) : scaled(mesh.exact_start(j));
        if (crossing) {
            // t0 + D (j + (1 + x_q) / 2) / n_t with D = t1 - t0 exactly: the
            // start and the offset cancel near 0, where D's exact factor
            // keeps what W's rounding would lose (the middle node of an
            // interval centred on 0 comes out as 0).
            for (std::size_t q = 0; q < n; ++q) {
                const DD f = DD{static_cast<double>(j), 0.0} +
                             DD{0.5 * reference.one_plus_nodes[q].hi, 0.5 * reference.one_plus_nodes[q].lo};
                rule.nodes.push_back((DD{mesh.start() * down, 0.0} + span * f / static_cast<double>(n_t)).hi * up);
                rule.weights.push_back(weights[q]);
            }
        } else {
            for (std::size_t q = 0; q < n; ++q) {
                rule.nodes.push_back((start + offsets[q]).hi * up);
                rule.weights.push_back(weights[q]);
            }
        }
    }
    return rule;
}

}  // namespace pwpoly
