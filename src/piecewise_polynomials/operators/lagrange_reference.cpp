#include "piecewise_polynomials/operators/lagrange_reference.hpp"

#include <cstdint>
#include <utility>

#include "arithmetic/exact_arithmetic.hpp"
#include "common/internal_failure.hpp"

namespace pwpoly {

namespace {

using exact::BigInt;
using exact::BigPolynomial;

// R (derivative = false) or D (derivative = true) of the equidistant
// Lagrange polynomials, in integers. With u = degree (xi + 1) / 2 the nodes
// are u = 0, ..., degree and L_j = n_j(u) / d_j with the integer polynomial
// n_j(u) = prod_{m != j} (u - m) and the integer d_j = prod_{m != j} (j - m).
// Since dxi = (2 / degree) du and dL/dxi = (degree / 2) dL/du,
//   R[j][k] = (2 / degree) integral_0^degree n_j n_k du / (d_j d_k),
//   D[j][k] = integral_0^degree n_j n_k' du / (d_j d_k),
// and integral_0^degree u^c du = degree^(c + 1) / (c + 1). With
// F = (2 degree + 1)! and h_c = F / (c + 1) (an integer for c <= 2 degree)
// both are sum_c (n_j t_k)_c g_c / (F d_j d_k) with t_k = n_k, g_c =
// 2 degree^c h_c for R, and t_k = n_k', g_c = degree^(c + 1) h_c for D. The
// quotient is rounded once.
std::vector<double> lagrange_reference_matrix(std::size_t degree, bool derivative) {
    const char* function = derivative ? "lagrange_reference_derivative" : "lagrange_reference_mass";
    exact::require_positive(function, "degree", degree);
    const std::size_t n = checked_add(degree, 1);
    std::vector<double> out(checked_array_count(checked_mul(n, n), sizeof(double)));
    const std::size_t top = checked_add(checked_mul(degree, 2), 1);  // 2 degree + 1

    std::vector<BigPolynomial> numerators(n);
    std::vector<BigInt> denominators(n);
    for (std::size_t j = 0; j < n; ++j) {
        BigPolynomial poly{BigInt(1)};
        BigInt d(1);
        for (std::size_t m = 0; m < n; ++m) {
            if (m == j)
                continue;
            poly = exact::multiply_polynomials(poly, {BigInt(-static_cast<std::int64_t>(m)), BigInt(1)});
            d = d * BigInt(static_cast<std::int64_t>(j) - static_cast<std::int64_t>(m));
        }
        numerators[j] = std::move(poly);
        denominators[j] = std::move(d);
    }

    const exact::MonomialIntegrals integrals = exact::monomial_integrals(top);
    const BigInt& factorial = integrals.factorial;
    const BigInt p = BigInt::from_unsigned(degree);
    std::vector<BigInt> g(top);  // c = 0, ..., 2 degree
    BigInt power = derivative ? p : BigInt(2);
    for (std::size_t c = 0; c < top; ++c) {
        g[c] = power * integrals.h[c];
        power = power * p;
    }

    // The exact arithmetic reports its own work to the interruption pacer.
    for (std::size_t k = 0; k < n; ++k) {
        BigPolynomial trial = numerators[k];
        if (derivative) {
            for (std::size_t b = 0; b + 1 < trial.size(); ++b)
                trial[b] = BigInt::from_unsigned(b + 1) * trial[b + 1];
            trial.pop_back();
        }
        // v[a] = sum_b t_kb g_(a + b), so that the numerator is sum_a n_ja v[a].
        std::vector<BigInt> v(n);
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = 0; b < trial.size(); ++b)
                v[a] = v[a] + trial[b] * g[a + b];
        for (std::size_t j = 0; j < n; ++j) {
            BigInt num;
            for (std::size_t a = 0; a < n; ++a)
                num = num + numerators[j][a] * v[a];
            out[j * n + k] = exact::nearest_double_to_quotient(num, factorial * denominators[j] * denominators[k]);
        }
    }
    return out;
}

}  // namespace

std::vector<double> lagrange_reference_mass(std::size_t degree) { return lagrange_reference_matrix(degree, false); }

std::vector<double> lagrange_reference_derivative(std::size_t degree) {
    return lagrange_reference_matrix(degree, true);
}

}  // namespace pwpoly
