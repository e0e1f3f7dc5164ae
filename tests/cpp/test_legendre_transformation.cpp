#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "sparse_matrix_tools/triplets.hpp"

#include "core_test_support.hpp"

namespace pwpoly {
namespace {

using namespace testing_support;

Triplets transformation(std::size_t degree, std::size_t n_t, bool periodic) {
    return csr_to_triplets(LagrangeBasis::create(degree, n_t, 1.0, periodic).get_transformation_matrix_to_legendre());
}

struct TransformationCase {
    std::size_t degree, n_t;
    bool periodic;
    Idx rows, cols;
    std::vector<double> values;
};

class TransformationExample : public testing::TestWithParam<TransformationCase> {};

TEST_P(TransformationExample, TripletsMatchExactly) {
    const TransformationCase& c = GetParam();
    const Triplets t = transformation(c.degree, c.n_t, c.periodic);
    EXPECT_EQ(t.rows, c.rows);
    EXPECT_EQ(t.cols, c.cols);
    EXPECT_EQ(bits(t.values), bits(c.values));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, TransformationExample,
    testing::Values(
        TransformationCase{1,
                           2,
                           false,
                           {0, 0, 1, 1, 2, 2, 3, 3},
                           {0, 1, 1, 2, 0, 1, 1, 2},
                           {0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5}},
        // Interval 1's nodes are dofs [1, 0].
        TransformationCase{
            1, 2, true, {0, 0, 1, 1, 2, 2, 3, 3}, {0, 1, 0, 1, 0, 1, 0, 1}, {0.5, 0.5, 0.5, 0.5, -0.5, 0.5, 0.5, -0.5}},
        // Both nodes are dof 0: 0.5 + 0.5, and an explicit zero from -0.5 + 0.5.
        TransformationCase{1, 1, true, {0, 1}, {0, 0}, {1.0, 0.0}},
        TransformationCase{2,
                           1,
                           false,
                           {0, 0, 0, 1, 1, 1, 2, 2, 2},
                           {0, 1, 2, 0, 1, 2, 0, 1, 2},
                           {1.0 / 6, 2.0 / 3, 1.0 / 6, -0.5, 0.0, 0.5, 1.0 / 3, -2.0 / 3, 1.0 / 3}},
        // No intervals: a 0 x 1 matrix.
        TransformationCase{3, 0, false, {}, {}, {}}));

TEST(Transformation, DegreeZeroFails) {
    for (std::size_t n_t : {0u, 1u, 4u})
        EXPECT_EQ(failure_of([&] { transformation(0, n_t, false); }),
                  "Lagrange to Legendre conversion not meaningful for degree 0");
}

TEST(Transformation, BlockCountOverflowIsReportedNotWrapped) {
    // degree + 1 wraps to 0 blocks; it must not become an empty grid.
    EXPECT_EQ(failure_of([] { transformation(SIZE_MAX, 0, false); }), "capacity overflow");
}

// P_q at x from the explicit polynomials.
double legendre(std::size_t q, double x) {
    const double x2 = x * x;
    switch (q) {
    case 0:
        return 1.0;
    case 1:
        return x;
    case 2:
        return (3 * x2 - 1) / 2;
    case 3:
        return (5 * x2 - 3) * x / 2;
    case 4:
        return (35 * x2 * x2 - 30 * x2 + 3) / 8;
    default:
        return ((63 * x2 - 70) * x2 + 15) * x / 8;
    }
}

// Nodal values of P_q on the single interval map to the unit coefficient of
// P_q, for the closed-form (degree 3) and the factorised (4, 5) inverses.
TEST(Transformation, RecoversLegendreCoefficientsOfNodalValues) {
    for (std::size_t degree = 3; degree <= 5; ++degree) {
        const Triplets t = transformation(degree, 1, false);
        for (std::size_t q = 0; q <= degree; ++q) {
            std::vector<double> coeff(degree + 1, 0.0);
            for (std::size_t k = 0; k < t.rows.size(); ++k)
                coeff[t.rows[k]] += t.values[k] * legendre(q, -1.0 + 2.0 * t.cols[k] / degree);
            for (std::size_t p = 0; p <= degree; ++p)
                EXPECT_NEAR(coeff[p], p == q ? 1.0 : 0.0, 1e-13) << "degree " << degree << " q " << q;
        }
    }
}

}  // namespace
}  // namespace pwpoly
