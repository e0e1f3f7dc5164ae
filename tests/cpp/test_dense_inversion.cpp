#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "piecewise_polynomials/basis/dense_inversion.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly {
namespace {

// Largest |(M * X - I)(r, c)| for column-major n x n matrices.
double identity_defect(const std::vector<double>& m, const std::vector<double>& x, std::size_t n) {
    double worst = 0.0;
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < n; ++c) {
            double s = 0.0;
            for (std::size_t k = 0; k < n; ++k)
                s += m[r + k * n] * x[k + c * n];
            worst = std::fmax(worst, std::fabs(s - (r == c ? 1.0 : 0.0)));
        }
    return worst;
}

// Legendre Vandermonde V(k, j) = P_k(x_j) at n equidistant nodes of [-1, 1].
std::vector<double> legendre_vandermonde(std::size_t n) {
    std::vector<double> v(n * n);
    for (std::size_t j = 0; j < n; ++j) {
        const double x = -1.0 + 2.0 * static_cast<double>(j) / static_cast<double>(n - 1);
        v[j * n] = 1.0;
        v[1 + j * n] = x;
        for (std::size_t k = 2; k < n; ++k)
            v[k + j * n] = legendre_step(v[k - 2 + j * n], v[k - 1 + j * n], static_cast<double>(k - 1), x);
    }
    return v;
}

TEST(Invert, LegendreVandermondeTimesInverseIsIdentity) {
    for (std::size_t n : {4u, 5u}) {  // closed form, then factorisation
        const std::vector<double> v = legendre_vandermonde(n);
        const auto w = invert(v, n);
        ASSERT_TRUE(w.has_value()) << n;
        EXPECT_LT(identity_defect(v, *w, n), 1e-14) << n;
    }
}

// Every size, both methods: random well-conditioned matrices.
TEST(Invert, RandomDiagonallyDominantMatrices) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (std::size_t n = 1; n <= 8; ++n)
        for (int round = 0; round < 20; ++round) {
            std::vector<double> m(n * n);
            for (double& x : m)
                x = dist(rng);
            for (std::size_t i = 0; i < n; ++i)
                m[i + i * n] += static_cast<double>(n) * (dist(rng) < 0 ? -1.0 : 1.0);
            const auto x = invert(m, n);
            ASSERT_TRUE(x.has_value());
            EXPECT_LT(identity_defect(m, *x, n), 1e-13) << "n = " << n;
        }
}

TEST(Invert, SingularMatrices) {
    // Size 4, columns 1 and 3 equal: the determinant is exactly zero.
    const std::vector<double> equal_columns = {1, 2, 3, 4, 2, 0, 1, 5, 7, 1, 1, 2, 2, 0, 1, 5};
    EXPECT_FALSE(invert(equal_columns, 4).has_value());
    // Size 5, first column zero from the diagonal down.
    std::vector<double> zero_first_column(25, 1.0);
    for (std::size_t r = 0; r < 5; ++r)
        zero_first_column[r] = 0.0;
    EXPECT_FALSE(invert(zero_first_column, 5).has_value());
}

TEST(Invert, NonFiniteEntriesPropagateInsteadOfFailing) {
    for (std::size_t n : {4u, 5u}) {
        std::vector<double> m(n * n, 0.0);
        for (std::size_t i = 0; i < n; ++i)
            m[i + i * n] = 1.0;
        m[n - 1] = std::nan("");
        const auto x = invert(m, n);
        ASSERT_TRUE(x.has_value()) << n;
        EXPECT_TRUE(std::isnan((*x)[n - 1])) << n;
    }
}

TEST(LuFactorize, TiesKeepTheUpperRowAndStrictMaximaSwap) {
    // Column 0 holds 2 on the diagonal and -2 below: no exchange. In column
    // 1 (after elimination) row 3 is strictly largest: exchanged with row 1.
    std::vector<double> a = {
        2, -2, 1, 0, 0,  // column 0
        1, 1,  0, 8, 0,  // column 1
        0, 1,  3, 0, 1,  // column 2
        0, 0,  1, 1, 0,  // column 3
        1, 0,  0, 0, 5,  // column 4
    };
    std::vector<std::size_t> swaps(5);
    ASSERT_TRUE(lu_factorize(a, 5, swaps));
    EXPECT_EQ(swaps[0], 0u);
    EXPECT_EQ(swaps[1], 3u);
    EXPECT_EQ(a[3], -1.0);  // the -2 row's multiplier moved with its row
}

}  // namespace
}  // namespace pwpoly
