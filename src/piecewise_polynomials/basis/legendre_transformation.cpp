// Lagrange nodal values -> Legendre coefficients, interval by interval.
//
// On the reference interval [-1, 1] the coefficient of P_p is a fixed
// weighted sum of the degree + 1 nodal values: C[p][j] is the weight of
// local node j. The mesh is uniform, so every interval uses the same C.
// Degrees 1 and 2 use exact tables (correctly rounded fractions); from degree
// 3 on C is read off the inverse of the Legendre Vandermonde matrix at the
// equidistant reference nodes, and its bits therefore depend on the
// inversion method (see dense_inversion.hpp).
#include <array>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/basis/dense_inversion.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "sparse_matrix_tools/block_assembly.hpp"

namespace pwpoly {

namespace {

// C for `degree`, row-major: C[p][j] is element p * (degree + 1) + j.
std::vector<double> legendre_coefficient_matrix(std::size_t degree) {
    if (degree == 1)
        return {0.5, 0.5,  //
                -0.5, 0.5};
    if (degree == 2)
        return {1.0 / 6.0, 2.0 / 3.0,  1.0 / 6.0,  //
                -0.5,      0.0,        0.5,        //
                1.0 / 3.0, -2.0 / 3.0, 1.0 / 3.0};
    if (degree == 0)
        fail("Lagrange to Legendre conversion not meaningful for degree 0");

    // Vandermonde V(k, j) = P_k(x_j), column-major, so that column j holds
    // P_0(x_j), ..., P_degree(x_j). The recurrence is carried along the
    // column; that gives the same doubles as restarting it for every k.
    const std::size_t n = checked_add(degree, 1);
    std::vector<double> v(checked_array_count(checked_mul(n, n), sizeof(double)));
    for (std::size_t j = 0; j < n; ++j) {
        const double x = equidistant_point(-1.0, 1.0, degree, j);
        double* col = v.data() + j * n;
        col[0] = 1.0;
        col[1] = x;
        double k = 1.0;
        for (std::size_t i = 2; i < n; ++i) {
            col[i] = legendre_step(col[i - 2], col[i - 1], k, x);
            k = k + 1.0;
        }
    }
    std::optional<std::vector<double>> w = invert(v, n);
    if (!w)
        fail("Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.");
    // C[p][j] = W(j, p): row p of C is column p of the column-major W, so
    // the storage of W already is C row-major.
    return std::move(*w);
}

}  // namespace

namespace {

// Block p of the transformation from the coefficient table `c` of this
// degree (see legendre_coefficient_matrix).
CsrMatrix legendre_block(const LagrangeBasis& basis, const std::vector<double>& c, std::size_t p) {
    const std::size_t degree = basis.degree();
    const std::size_t n_t = basis.n_t();
    const double* weights = c.data() + p * (degree + 1);
    CooMatrix coo(n_t, basis.num_dofs());
    coo.reserve(checked_mul(n_t, degree + 1));
    InterruptionPacer pacer;
    for (std::size_t k = 0; k < n_t; ++k) {
        pacer.done(2 * (degree + 1));
        for (std::size_t j = 0; j <= degree; ++j)
            coo.push(k, basis.dof_index(k, j), weights[j]);
    }
    // Periodic with one interval, nodes 0 and degree share column 0 and the
    // conversion stores their sum (possibly an explicit zero).
    return convert_coo_csr(std::move(coo));
}

}  // namespace

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::size_t p) const {
    return legendre_block(*this, legendre_coefficient_matrix(degree_), p);
}

CsrMatrix LagrangeBasis::get_transformation_matrix_to_legendre() const {
    const std::size_t nblocks = checked_add(degree_, 1);
    // The result has (degree + 1) * n_t rows; an unrepresentable count is
    // rejected before any block is built.
    checked_mul(nblocks, n_t_);
    // The table is the same for every block: computed once (the inversion is
    // deterministic, so every block gets exactly the entries it would get
    // from a table of its own).
    const std::vector<double> c = legendre_coefficient_matrix(degree_);
    std::vector<CsrMatrix> blocks;
    blocks.reserve(nblocks);
    for (std::size_t p = 0; p < nblocks; ++p)
        blocks.push_back(legendre_block(*this, c, p));

    std::vector<const CsrMatrix*> cells;
    cells.reserve(nblocks);
    for (const CsrMatrix& b : blocks)
        cells.push_back(&b);
    return csr_from_block_grid(BlockGrid{cells.data(), nblocks, 1, 1, 0});
}

}  // namespace pwpoly
