#include "piecewise_polynomials/operators/legendre_reexpansion_exact.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

#include "arithmetic/correct_rounding.hpp"
#include "common/internal_failure.hpp"
#include "piecewise_polynomials/operators/legendre_reexpansion.hpp"

namespace pwpoly {

using exact::BigInt;
using exact::BigPolynomial;
using exact::Dyadic;

namespace {

constexpr std::uint64_t exact_double_limit = std::uint64_t{1} << 53;

// 2^i P_i(x) = sum_j (-1)^j C(i, j) C(2i - 2j, i) x^(i - 2j): integer
// coefficients, lowest degree first, for i = 0, ..., degree.
std::vector<BigPolynomial> scaled_legendre_polynomials(std::size_t degree) {
    // Pascal's triangle up to row 2 degree.
    const std::size_t rows = 2 * degree + 1;
    std::vector<std::vector<BigInt>> binomial(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        binomial[r].resize(r + 1);
        binomial[r][0] = binomial[r][r] = BigInt(1);
        for (std::size_t c = 1; c < r; ++c)
            binomial[r][c] = binomial[r - 1][c - 1] + binomial[r - 1][c];
    }
    std::vector<BigPolynomial> out(degree + 1);
    for (std::size_t i = 0; i <= degree; ++i) {
        out[i].resize(i + 1);
        for (std::size_t j = 0; 2 * j <= i; ++j) {
            const BigInt term = binomial[i][j] * binomial[2 * i - 2 * j][i];
            out[i][i - 2 * j] = j % 2 == 0 ? term : -term;
        }
    }
    return out;
}

}  // namespace

ExactReexpansion::ExactReexpansion(std::size_t degree) : scaled_legendre_(scaled_legendre_polynomials(degree)) {
    exact::MonomialIntegrals integrals = exact::monomial_integrals(2 * degree + 1);
    factorial_ = std::move(integrals.factorial);
    h_ = std::move(integrals.h);
}

double ExactReexpansion::value(std::size_t i, std::size_t k, const BigInt& f, const BigInt& b, const BigInt& c) const {
    const BigPolynomial& p = scaled_legendre_[i];
    // Horner in y = F eta + B: A = (...(p_ii y + p_i,(i-1) C) y + ...) + p_i0 C^i.
    BigPolynomial a{p[i]};
    BigInt c_power(1);
    for (std::size_t n = i; n-- > 0;) {
        c_power = c_power * c;
        BigPolynomial next(a.size() + 1);
        for (std::size_t l = 0; l < a.size(); ++l) {
            next[l + 1] = next[l + 1] + f * a[l];
            next[l] = next[l] + b * a[l];
        }
        next[0] = next[0] + p[n] * c_power;
        a = std::move(next);
    }
    const BigPolynomial product = exact::multiply_polynomials(a, scaled_legendre_[k]);
    BigInt sum;
    for (std::size_t e = 0; e < product.size(); e += 2)
        sum = sum + product[e] * h_[e];
    BigInt den = factorial_ * c_power;
    const BigInt two(2);
    for (std::size_t t = 0; t < i + k; ++t)
        den = den * two;
    return exact::nearest_double_to_quotient(BigInt(static_cast<std::int64_t>(2 * k + 1)) * sum, den);
}

// The integers F, B, C of the fine interval [f0, f1] inside [c0, c1]:
// h_f, (f0 - c0) + (f1 - c1) and h_c, exact as dyadic rationals and brought
// to one exponent (R_ik does not change when all three are scaled alike).
std::array<BigInt, 3> exact_piece(double c0, double c1, double f0, double f1) {
    using exact::dyadic;
    const std::array<Dyadic, 3> parts{dyadic(f1) + dyadic(-f0), (dyadic(f0) + dyadic(-c0)) + (dyadic(f1) + dyadic(-c1)),
                                      dyadic(c1) + dyadic(-c0)};
    std::int64_t lowest = 0;
    bool any = false;
    for (const Dyadic& d : parts)
        if (!d.m.is_zero() && (!any || d.e < lowest)) {
            lowest = d.e;
            any = true;
        }
    std::array<BigInt, 3> out;
    for (std::size_t j = 0; j < 3; ++j)
        if (!parts[j].m.is_zero())
            out[j] = parts[j].m.shifted_left(static_cast<std::size_t>(parts[j].e - lowest));
    return out;
}

double legendre_reexpansion_coefficient(std::size_t i, std::size_t k, std::size_t s, std::size_t m) {
    if (k > i || s >= m || m > exact_double_limit)
        fail("legendre_reexpansion_coefficient: needs k <= i and s < m <= 2^53");
    const std::int64_t b = static_cast<std::int64_t>(2 * s + 1) - static_cast<std::int64_t>(m);
    return ExactReexpansion(i).value(i, k, BigInt(1), BigInt(b), BigInt::from_unsigned(m));
}

double legendre_reexpansion_coefficient(std::size_t i, std::size_t k, double c0, double c1, double f0, double f1) {
    if (k > i || !(c0 <= f0 && f0 < f1 && f1 <= c1) || !std::isfinite(c0) || !std::isfinite(c1))
        fail("legendre_reexpansion_coefficient: needs k <= i and finite c0 <= f0 < f1 <= c1");
    const std::array<BigInt, 3> in = exact_piece(c0, c1, f0, f1);
    return ExactReexpansion(i).value(i, k, in[0], in[1], in[2]);
}

}  // namespace pwpoly
