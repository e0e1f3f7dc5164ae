#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "arithmetic/exact_arithmetic.hpp"
#include "common/argument_error.hpp"
#include "exact_dyadic.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"

namespace pwpoly {
namespace {

// The rules integrate every monomial of degree <= 2n - 1 exactly; in
// floating point the sum carries rounding of order n ulps.
TEST(GaussLegendre, IntegratesMonomialsUpToDegree2nMinus1) {
    for (std::size_t n = 1; n <= 64; ++n) {
        const QuadratureRule rule = gauss_legendre_rule(n);
        ASSERT_EQ(rule.nodes.size(), n);
        for (std::size_t k = 0; k <= 2 * n - 1; ++k) {
            double sum = 0.0, scale = 0.0;
            for (std::size_t q = 0; q < n; ++q) {
                const double term = rule.weights[q] * std::pow(rule.nodes[q], static_cast<double>(k));
                sum += term;
                scale += std::fabs(term);
            }
            const double exact = k % 2 == 1 ? 0.0 : 2.0 / static_cast<double>(k + 1);
            EXPECT_NEAR(sum, exact, 4.0 * static_cast<double>(n) * 2.2e-16 * scale) << "n " << n << " k " << k;
        }
    }
}

TEST(GaussLegendre, IsSymmetricAscendingAndKnownForSmallRules) {
    for (std::size_t n = 1; n <= 64; ++n) {
        const QuadratureRule rule = gauss_legendre_rule(n);
        for (std::size_t q = 0; q < n; ++q) {
            EXPECT_EQ(rule.nodes[q], -rule.nodes[n - 1 - q]);
            EXPECT_EQ(rule.weights[q], rule.weights[n - 1 - q]);
            EXPECT_GT(rule.weights[q], 0.0);
            if (q > 0) {
                EXPECT_LT(rule.nodes[q - 1], rule.nodes[q]);
            }
        }
    }
    // Closed forms, correctly rounded: n = 2 at +-1/sqrt(3), n = 3 at 0 and
    // +-sqrt(3/5) with weights 8/9 and 5/9.
    const QuadratureRule two = gauss_legendre_rule(2);
    EXPECT_EQ(two.nodes[1], 0.57735026918962573);
    EXPECT_EQ(two.weights[0], 1.0);
    const QuadratureRule three = gauss_legendre_rule(3);
    EXPECT_EQ(three.nodes[1], 0.0);
    EXPECT_EQ(three.nodes[2], 0.7745966692414834);
    EXPECT_EQ(three.weights[1], 8.0 / 9.0);
    EXPECT_EQ(three.weights[0], 5.0 / 9.0);
}

// ---- the rule on a mesh --------------------------------------------------------
// An independent check in exact integer arithmetic: a node t is within one
// ulp of a root of P_n mapped onto interval j when P_n changes sign between
// the local coordinates of its two neighbours t- and t+. With
// xi = N / D, D > 0, the sign of P_n(xi) is that of
//   sum over k of (-1)^k C(n, k) C(2n - 2k, n) N^(n - 2k) D^(2k)
// (2^n P_n(x) = sum (-1)^k C(n, k) C(2n - 2k, n) x^(n - 2k)). N and D are
// integers after scaling every double involved by a common power of two:
// on a breakpoint mesh N = 2t - b_j - b_(j+1) and D = b_(j+1) - b_j, on a
// uniform one N = 2 n_t (t - t0) - (2j + 1)(t1 - t0) and D = t1 - t0. The n
// nodes of an interval lie in n disjoint brackets, so each holds one root.

using exact::BigInt;
using testing_support::Exact;
using testing_support::is_nearest;

// x * 2^-e as an integer (x a multiple of 2^e).
BigInt scaled(double x, int e) {
    if (x == 0.0)
        return BigInt();
    int k = 0;
    const double f = std::frexp(std::fabs(x), &k);
    const BigInt mantissa = BigInt::from_unsigned(static_cast<std::uint64_t>(std::ldexp(f, 53)));
    const BigInt out = mantissa.shifted_left(static_cast<std::size_t>(k - 53 - e));
    return x < 0 ? -out : out;
}

int lowest_exponent(double x) {
    int k = 0;
    std::frexp(x, &k);
    return x == 0.0 ? 2000 : k - 53;  // zero is a multiple of every power of two
}

BigInt binomial(std::size_t n, std::size_t k) {
    std::uint64_t c = 1;  // exact for n <= 60
    for (std::size_t i = 1; i <= k; ++i)
        c = c * (n - k + i) / i;
    return BigInt::from_unsigned(c);
}

// -1, 0 or 1: the sign of P_n(N / D), D > 0.
int legendre_sign(std::size_t n, const BigInt& N, const BigInt& D) {
    std::vector<BigInt> np(n + 1, BigInt(1)), dp(n + 1, BigInt(1));
    for (std::size_t p = 1; p <= n; ++p) {
        np[p] = np[p - 1] * N;
        dp[p] = dp[p - 1] * D;
    }
    BigInt sum;
    for (std::size_t k = 0; 2 * k <= n; ++k) {
        const BigInt term = binomial(n, k) * binomial(2 * n - 2 * k, n) * np[n - 2 * k] * dp[2 * k];
        sum = k % 2 == 0 ? sum + term : sum - term;
    }
    return sum.is_zero() ? 0 : (sum.is_negative() ? -1 : 1);
}

int sign_at(std::size_t n, const TimeMesh& mesh, std::size_t j, double t) {
    const double t0 = mesh.start(), t1 = mesh.end();
    const double b0 = mesh.breakpoint(j), b1 = mesh.breakpoint(j + 1);
    int e = lowest_exponent(t);
    for (const double x : {t0, t1, b0, b1})
        e = std::min(e, lowest_exponent(x));
    if (mesh.is_uniform()) {
        const BigInt D = scaled(t1, e) - scaled(t0, e);
        const BigInt N = BigInt(static_cast<std::int64_t>(2 * mesh.n_t())) * (scaled(t, e) - scaled(t0, e)) -
                         BigInt(static_cast<std::int64_t>(2 * j + 1)) * D;
        return legendre_sign(n, N, D);
    }
    const BigInt N = scaled(t, e).shifted_left(1) - scaled(b0, e) - scaled(b1, e);
    return legendre_sign(n, N, scaled(b1, e) - scaled(b0, e));
}

TEST(GaussLegendre, OnAnyMeshEveryNodeIsWithinOneUlpOfItsRoot) {
    std::vector<TimeMesh> meshes = {TimeMesh::uniform(4, 2.0),
                                    TimeMesh::uniform(10, 3.0),
                                    TimeMesh::uniform(3, -1.0, 2.5),
                                    TimeMesh::uniform(7, 1e6, 1e6 + 0.3),
                                    TimeMesh::graded(5, 3.0, 2.5),
                                    TimeMesh::from_breakpoints({-7.25, -0.1, 0x1p-30, 0.3, 1e3}),
                                    TimeMesh::uniform(3, -0x1p1000, 0x1p1000),
                                    TimeMesh::uniform(5, -1.5, 1.5),
                                    TimeMesh::from_breakpoints({-0x1p1000, 0.0, 0x1p999, 0x1p1000})};
    for (const std::size_t n : {1, 2, 5, 12, 30})
        for (const TimeMesh& mesh : meshes) {
            const QuadratureRule rule = gauss_legendre_on_mesh(n, mesh);
            const ReferenceRule reference = gauss_legendre_reference(n);
            ASSERT_EQ(rule.nodes.size(), n * mesh.n_t());
            for (std::size_t j = 0; j < mesh.n_t(); ++j)
                for (std::size_t q = 0; q < n; ++q) {
                    SCOPED_TRACE("n " + std::to_string(n) + " interval " + std::to_string(j) + " of " +
                                 std::to_string(mesh.n_t()) + " node " + std::to_string(q));
                    const double t = rule.nodes[j * n + q];
                    ASSERT_LE(sign_at(n, mesh, j, std::nextafter(t, -INFINITY)) *
                                  sign_at(n, mesh, j, std::nextafter(t, INFINITY)),
                              0);
                    if (q > 0) {
                        ASSERT_LT(rule.nodes[j * n + q - 1], t);
                    }
                    // The weight: the nearest double to (h_j / 2) omega_q
                    // with the double-double omega_q of the reference rule.
                    const dd::DD omega = reference.weights[q];
                    if (std::fabs(mesh.start()) > 0x1p200 || std::fabs(mesh.end()) > 0x1p200) {
                        // Beyond the exact arithmetic's range: the same, scaled by 2^-900.
                        const double scaled_weight = rule.weights[j * n + q] * 0x1p-900;
                        const double b0 = mesh.breakpoint(j) * 0x1p-900, b1 = mesh.breakpoint(j + 1) * 0x1p-900;
                        const Exact width = mesh.is_uniform()
                                                ? Exact::of(mesh.end() * 0x1p-900) - Exact::of(mesh.start() * 0x1p-900)
                                                : Exact::of(b1) - Exact::of(b0);
                        EXPECT_TRUE(is_nearest(scaled_weight, width.times(0.5 * omega.hi) + width.times(0.5 * omega.lo),
                                               mesh.is_uniform() ? static_cast<double>(mesh.n_t()) : 1.0));
                        continue;
                    }
                    const Exact width = mesh.is_uniform()
                                            ? Exact::of(mesh.end()) - Exact::of(mesh.start())
                                            : Exact::of(mesh.breakpoint(j + 1)) - Exact::of(mesh.breakpoint(j));
                    EXPECT_TRUE(is_nearest(rule.weights[j * n + q],
                                           width.times(0.5 * omega.hi) + width.times(0.5 * omega.lo),
                                           mesh.is_uniform() ? static_cast<double>(mesh.n_t()) : 1.0));
                }
        }
    // T / n_t = 0.3 is not a double: node 6 of the one-point rule is the
    // nearest double to 1.95, not 6 * 0.3 + 0.15 rounded on the way.
    EXPECT_EQ(gauss_legendre_on_mesh(1, TimeMesh::uniform(10, 3.0)).nodes[6], 1.95);
    // The middle node of the middle interval of a mesh symmetric about 0.
    EXPECT_EQ(gauss_legendre_on_mesh(3, TimeMesh::uniform(7, -1.0, 1.0)).nodes[3 * 3 + 1], 0.0);
    EXPECT_EQ(gauss_legendre_on_mesh(5, TimeMesh::from_breakpoints({-0.3, -0.1, 0.1, 0.7})).nodes[5 + 2], 0.0);
}

TEST(GaussLegendre, RefusesPointCountsOutOfRange) {
    for (const std::size_t n : {std::size_t{0}, max_gauss_points + 1}) {
        try {
            gauss_legendre_on_mesh(n, TimeMesh::uniform(1, 1.0));
            ADD_FAILURE() << "no refusal for " << n;
        } catch (const ArgumentError& e) {
            EXPECT_NE(e.message().find("points must be at"), std::string::npos) << e.message();
        }
    }
}

}  // namespace
}  // namespace pwpoly
