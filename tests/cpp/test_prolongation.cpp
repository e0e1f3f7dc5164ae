#include <gtest/gtest.h>

#include <vector>

#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "sparse_matrix_tools/triplets.hpp"

#include "core_test_support.hpp"

namespace pwpoly {
namespace {

using namespace testing_support;

CsrMatrix prolongation(std::size_t p, std::size_t n_c, std::size_t n_f, bool periodic) {
    return LagrangeBasis::create(p, n_c, 1.0, periodic).get_prolongation_matrix_to(n_f);
}

struct ProlongationCase {
    std::size_t p, n_c, n_f;
    bool periodic;
    std::size_t nrows, ncols;
    Idx rows, cols;
    std::vector<double> values;
};

class ProlongationExample : public testing::TestWithParam<ProlongationCase> {};

TEST_P(ProlongationExample, ShapeAndTripletsMatchExactly) {
    const ProlongationCase& c = GetParam();
    const CsrMatrix m = prolongation(c.p, c.n_c, c.n_f, c.periodic);
    EXPECT_EQ(m.nrows(), c.nrows);
    EXPECT_EQ(m.ncols(), c.ncols);
    const Triplets t = csr_to_triplets(m);
    EXPECT_EQ(t.rows, c.rows);
    EXPECT_EQ(t.cols, c.cols);
    EXPECT_EQ(bits(t.values), bits(c.values));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ProlongationExample,
    testing::Values(ProlongationCase{1, 1, 2, false, 3, 2, {0, 1, 1, 2}, {0, 0, 1, 1}, {1.0, 0.5, 0.5, 1.0}},
                    // Both coarse nodes are column 0: 0.5 + 0.5.
                    ProlongationCase{1, 1, 2, true, 2, 1, {0, 1}, {0, 0}, {1.0, 1.0}},
                    ProlongationCase{1, 3, 2, false, 3, 4, {0, 1, 1, 2}, {0, 1, 2, 3}, {1.0, 0.5, 0.5, 1.0}},
                    ProlongationCase{1, 2, 1, false, 2, 3, {0, 1}, {0, 2}, {1.0, 1.0}},
                    ProlongationCase{3, 1, 1, false, 4, 4, {0, 1, 2, 3}, {0, 1, 2, 3}, {1.0, 1.0, 1.0, 1.0}},
                    ProlongationCase{2, 2, 1, true, 2, 4, {0, 1}, {0, 2}, {1.0, 1.0}},
                    // Barycentric rounding at xi = -0.5 (row 1) and xi = 0.5 (row 3).
                    ProlongationCase{2,
                                     1,
                                     2,
                                     false,
                                     5,
                                     3,
                                     {0, 1, 1, 1, 2, 3, 3, 3, 4},
                                     {0, 0, 1, 2, 1, 0, 1, 2, 2},
                                     {1.0, 0.375, 0.75, -0.125, 1.0, -0.12499999999999999, 0.7499999999999999,
                                      0.37499999999999994, 1.0}}));

TEST(Prolongation, PreconditionsInOrderDegreeCoarseFine) {
    EXPECT_EQ(failure_of([] { prolongation(0, 0, 0, false); }),
              "Lagrange prolongation requires polynomial degree at least 1");
    EXPECT_EQ(failure_of([] { prolongation(1, 0, 0, false); }),
              "Lagrange prolongation requires at least one coarse interval");
    EXPECT_EQ(failure_of([] { prolongation(1, 1, 0, false); }),
              "Lagrange prolongation requires at least one fine interval");
}

TEST(Prolongation, RowCountOverflowIsReportedNotWrapped) {
    EXPECT_EQ(failure_of([] { prolongation(2, 1, SIZE_MAX, true); }), "capacity overflow");
    EXPECT_EQ(failure_of([] { prolongation(1, 1, SIZE_MAX, false); }), "capacity overflow");
}

bool is_exact_identity(const CsrMatrix& m) {
    if (m.nnz() != m.nrows() || m.ncols() != m.nrows())
        return false;
    for (std::size_t r = 0; r < m.nrows(); ++r)
        if (m.col_indices()[r] != r || m.values()[r] != 1.0)
            return false;
    return true;
}

// Equal meshes give the exact identity until the rounding of u pushes a
// coarse node past the 1e-14 node tolerance.
TEST(Prolongation, EqualMeshesAreTheIdentityUpToAFirstFailingCount) {
    struct Limit {
        std::size_t p, last_identity, first_non_identity;  // 0: not known
    };
    for (const Limit l : {Limit{1, 66, 0}, Limit{5, 38, 39}, Limit{7, 33, 34}}) {
        for (std::size_t n = 1; n <= l.last_identity; ++n)
            EXPECT_TRUE(is_exact_identity(prolongation(l.p, n, n, false))) << "p " << l.p << " n " << n;
        if (l.first_non_identity != 0) {
            EXPECT_FALSE(is_exact_identity(prolongation(l.p, l.first_non_identity, l.first_non_identity, false)))
                << "p " << l.p;
        }
    }
}

TEST(Prolongation, HundredIntervalsKeepTinyValuesOffNodes) {
    const CsrMatrix m = prolongation(1, 100, 100, false);
    EXPECT_EQ(m.nrows(), 101u);
    EXPECT_EQ(m.nnz(), 105u);
    for (std::size_t r : {55u, 56u, 57u}) {
        const CsrRow row = m.row(r);
        ASSERT_EQ(row.nnz(), 2u) << r;
        const std::size_t own = row.col_indices[0] == r ? 0 : 1;
        const std::size_t other = 1 - own;
        EXPECT_EQ(row.col_indices[own], r);
        EXPECT_EQ(row.values[own], 0.9999999999999929) << r;
        EXPECT_TRUE(row.col_indices[other] + 1 == r || row.col_indices[other] == r + 1) << r;
        EXPECT_EQ(row.values[other], 7.105427357601002e-15) << r;
    }
}

// The prolongation of a cubic's coarse nodal values is the cubic at the fine
// nodes, for interval counts that do not divide each other.
TEST(Prolongation, ReproducesPolynomialsOfItsDegree) {
    auto g = [](double t) { return ((t - 0.3) * t - 2.0) * t + 0.5; };
    const LagrangeBasis coarse = LagrangeBasis::create(3, 3, 1.0, false);
    const LagrangeBasis fine = LagrangeBasis::create(3, 7, 1.0, false);
    const Triplets t = csr_to_triplets(coarse.get_prolongation_matrix_to(7));
    std::vector<double> fine_values(fine.num_dofs(), 0.0);
    for (std::size_t k = 0; k < t.rows.size(); ++k)
        fine_values[t.rows[k]] += t.values[k] * g(coarse.points()[t.cols[k]]);
    for (std::size_t r = 0; r < fine.num_dofs(); ++r)
        EXPECT_NEAR(fine_values[r], g(fine.points()[r]), 1e-13) << r;
}

}  // namespace
}  // namespace pwpoly
