#include <gtest/gtest.h>

#include <cmath>
#include <vector>

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

TEST(GaussLegendre, OnAMeshCopiesTheRuleIntoEveryInterval) {
    const QuadratureRule ref = gauss_legendre_rule(3);
    const QuadratureRule mesh = gauss_legendre_on_mesh(3, TimeMesh::uniform(4, 2.0));
    ASSERT_EQ(mesh.nodes.size(), 12u);
    double total = 0.0;
    for (std::size_t j = 0; j < 4; ++j)
        for (std::size_t q = 0; q < 3; ++q) {
            const double t = mesh.nodes[j * 3 + q];
            EXPECT_EQ(t, (0.5 * j + 0.25) + 0.25 * ref.nodes[q]);
            EXPECT_GT(t, 0.5 * j);
            EXPECT_LT(t, 0.5 * (j + 1));
            EXPECT_EQ(mesh.weights[j * 3 + q], 0.25 * ref.weights[q]);
            total += mesh.weights[j * 3 + q] * t * t * t * t * t;  // degree 5 = 2n - 1
        }
    EXPECT_NEAR(total, 64.0 / 6.0, 1e-13);
}

}  // namespace
}  // namespace pwpoly
