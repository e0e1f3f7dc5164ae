// The continuous piecewise Lagrange basis with equidistant nodes on a
// uniform mesh of [0, T], its nodal points and its degree-of-freedom
// numbering, and the two sparse operators built on it (the transformation to
// the Legendre coefficients and the prolongation to a finer mesh).
//
// Numbering: local node j (0 <= j <= degree) of interval k is degree of
// freedom k * degree + j, so neighbouring intervals share their common end
// node. Non-periodic there are n_t * degree + 1 degrees of freedom, the last
// being T itself. Periodic there are n_t * degree, and every index is taken
// modulo that count: only the end node at T wraps, onto node 0.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

// Point i of n equal steps from a to b, as ((i * (b - a)) / n) + a in exactly
// this order of rounded operations (not a + i * ((b - a) / n), which can
// differ in the last bit). For i = n this is not replaced by b.
inline double equidistant_point(double a, double b, std::size_t n, std::size_t i) {
    return ((static_cast<double>(i) * (b - a)) / static_cast<double>(n)) + a;
}

// The n + 1 points equidistant_point(a, b, n, i), i = 0, ..., n.
std::vector<double> equidistant_points_on_interval(double a, double b, std::size_t n);

// The preconditions of periodic bases, checked in this order: degree >= 1,
// then at least one interval (for the prolongation: on both meshes). Each
// returns the message of the first one that fails, or null when all hold.
// `LagrangeBasis::create` fails with it; callers that must refuse the input
// before reaching the core report the same text in their own way.
const char* periodic_basis_violation(std::size_t degree, std::size_t n_t);
const char* periodic_prolongation_violation(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);

// The prolongation of nodal values from the Lagrange basis of degree p on
// `coarse` to that on `fine` (same degree and periodicity): row r holds the
// coarse basis functions at fine node r. Uniform meshes of the same span
// give get_prolongation_matrix_to's matrix bit for bit, for any interval
// counts; other meshes must be nested (every coarse breakpoint a fine
// breakpoint, bit for bit; ArgumentError otherwise), and the fine node's
// coarse coordinate is computed from the breakpoints as given (see
// lagrange_prolongation.cpp). Both meshes must span the same interval.
CsrMatrix lagrange_prolongation_matrix(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine, bool periodic);

class LagrangeBasis {
public:
    // Periodic bases fail with periodic_basis_violation's message (an
    // internal failure). Non-periodic input is not validated: degree 0 or
    // n_t 0 give the single point [T].
    static LagrangeBasis create(std::size_t degree, std::size_t n_t, double T, bool periodic);
    // The same on any mesh: interval k contributes its nodes 0 to degree - 1
    // between its ends (TimeMesh::interval_ends), the end of the mesh closes
    // the list (non-periodic). The mesh of [0, T] gives create(degree, n_t,
    // T, periodic) bit for bit.
    static LagrangeBasis create(std::size_t degree, const TimeMesh& mesh, bool periodic);

    const std::vector<double>& points() const noexcept { return points_; }
    std::size_t num_dofs() const noexcept { return points_.size(); }
    std::size_t degree() const noexcept { return degree_; }
    std::size_t n_t() const noexcept { return n_t_; }
    bool periodic() const noexcept { return periodic_; }

    // Global index of local node j of interval k (k < n_t, j <= degree).
    std::size_t dof_index(std::size_t k, std::size_t j) const {
        std::size_t g = k * degree_ + j;
        // Same as g % num_dofs() whenever periodic, without a division on the
        // common path: for a valid k and j, g <= num_dofs().
        if (periodic_ && g >= points_.size())
            g %= points_.size();
        return g;
    }

    // dof_index(k, 0), ..., dof_index(k, degree).
    std::vector<std::size_t> get_dofs_for_interval(std::size_t k) const;

    // The ((degree + 1) * n_t) x num_dofs() matrix from nodal values to
    // Legendre coefficients; row p * n_t + k is the coefficient of P_p on
    // interval k. Fails for degree 0.
    CsrMatrix get_transformation_matrix_to_legendre() const;

    // Block p (0 <= p <= degree) of the above: n_t x num_dofs().
    CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::size_t p) const;

    // The matrix from the nodal values of this basis to those of the basis of
    // the same degree and periodicity on nt_fine intervals of the same span.
    CsrMatrix get_prolongation_matrix_to(std::size_t nt_fine) const;

private:
    LagrangeBasis(std::vector<double> points, std::size_t degree, std::size_t n_t, bool periodic)
        : points_(std::move(points)), degree_(degree), n_t_(n_t), periodic_(periodic) {}

    std::vector<double> points_;
    std::size_t degree_;
    std::size_t n_t_;
    bool periodic_;
};

}  // namespace pwpoly
