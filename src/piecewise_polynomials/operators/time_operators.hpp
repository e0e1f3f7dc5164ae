// Time operators of a time mesh of n_t intervals: mass and derivative
// matrices in the Legendre and in the continuous Lagrange basis, the
// one-sided limits of the Legendre basis at the interval ends and the upwind
// matrix built on them. Only the mass matrices depend on the interval
// widths: on a uniform mesh every interval has the rounded width w (as the
// mesh's rule defines it), on any other mesh interval j has its exact width
// h_j = b_(j+1) - b_j (TimeMesh::exact_width), and each entry that w enters
// once is then the nearest double to the same expression with h_j.
//
// Layouts. The coefficient of P_i on interval j (P_i the Legendre polynomial
// of the local coordinate xi in [-1, 1], P_i(1) = 1) is global index
// j + n_t * i. Lagrange degrees of freedom are those of LagrangeBasis:
// equidistant local nodes, local node jj of interval k is dof k * degree + jj,
// periodic indices taken modulo the dof count. Rows are test functions,
// columns trial functions: M[a, b] = integral of phi_a phi_b dt and
// C[a, b] = integral of phi_a phi_b' dt.
//
// One shape for all of them. A `TimeOperator` names the matrix and its
// arguments; `time_operator_shape` gives its dimensions and entry count
// before anything is built, so that the caller can pick the smallest index
// type that holds them, and `time_operator_arrays<Index>` writes its CSR
// arrays once, rows in order, in that type (std::int32_t or std::int64_t).
// The sparsity pattern depends on the sizes only: entries that happen to be
// zero are stored where the pattern has them, and nothing else is stored.
//
// Arguments. n_t (the mesh's interval count) must be at least 1, and the
// degree at least 1 for the Lagrange matrices; otherwise the call fails
// naming the matrix (as `<basis>_mass_matrix`, `<basis>_derivative_matrix`,
// `endpoint_matrices`, `upwind_matrix`), the argument and its value. Sizes
// whose element counts cannot be represented, and arrays whose shape does
// not fit Index, fail with "capacity overflow". periodic is an argument of
// the Lagrange matrices and of upwind only; the mesh's span and widths
// matter to the mass matrices only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

enum class TimeMatrix {
    // Diagonal, entry j + n_t i is w / (2i + 1): one division, with 2i + 1
    // an exact double; off uniform meshes the nearest double to
    // h_j / (2i + 1). Degree 0 is allowed.
    legendre_mass,

    // The continuous mass matrix, square of the dof count. The entry of a
    // pair of local nodes (jj, kk) of one interval is (0.5 * w) * R[jj][kk],
    // with R[jj][kk] = integral over [-1, 1] of L_jj L_kk dxi correctly
    // rounded (lagrange_reference_mass); off uniform meshes the nearest double
    // to (h_k / 2) R[jj][kk] on interval k. The global entry sums the
    // contributions of the intervals sharing the pair in increasing interval
    // order. Periodic with one interval, local nodes 0 and degree are both
    // dof 0: entries of row or column 0 add the local entry of node 0 first,
    // then that of node degree, and entry (0, 0) is
    // (r(0, 0) + r(p, p)) + (r(0, p) + r(p, 0)) with r the scaled local
    // entries, p the degree. Exactly symmetric. Stored: every pair of dofs
    // that share an interval, that is n_t ((degree + 1)^2 - 1) + 1 entries,
    // periodic n_t ((degree + 1)^2 - 1), 2 (degree + 1)^2 - 4 with two
    // intervals and degree^2 with one.
    lagrange_mass,

    // Block diagonal: row j + n_t i, column j + n_t k holds 2.0 for k > i
    // with i + k odd (the integral of P_i P_k' over [-1, 1]); only these are
    // stored. Independent of w. Degree 0 gives a matrix without entries.
    legendre_derivative,

    // The continuous derivative matrix, assembled like the mass matrix from
    // D[jj][kk] = integral over [-1, 1] of L_jj L_kk' dxi, correctly rounded
    // (lagrange_reference_derivative) and used as is (it does not depend on
    // w). Same pattern and order of additions as the mass matrix; so C + C^T
    // is exactly the boundary term (phi_a phi_b at T minus at 0).
    lagrange_derivative,

    // n_t x (degree + 1) n_t: row j of at_start holds (-1)^i at column
    // j + n_t i (the limit of P_i from the right at the start of interval j),
    // row j of at_end holds 1.0 there (the limit from the left at its end).
    endpoint_start,
    endpoint_end,

    // U = at_start^T (at_start - S at_end), where (S x)[j] = x[j - 1] for
    // j >= 1 and (S x)[0] = 0, or x[n_t - 1] when periodic. Row j + n_t a
    // holds (-1)^(a + b) at column j + n_t b and -(-1)^a at column
    // (j - 1) + n_t b (for j = 0 only when periodic, then at column
    // (n_t - 1) + n_t b). Periodic with one interval both land on the same
    // column and are summed: (-1)^(a + b) - (-1)^a, that is 0 for even b
    // (stored) and -2 (-1)^a for odd b. Square, (degree + 1) n_t.
    upwind,
};

struct TimeOperator {
    TimeMatrix matrix;
    std::size_t degree;
    TimeMesh mesh;
    bool periodic = false;
};

CsrShape time_operator_shape(const TimeOperator& op);

// The arrays of the shape time_operator_shape(op) gives; Index is
// std::int32_t or std::int64_t.
template <class Index>
CsrArrays<Index> time_operator_arrays(const TimeOperator& op);

}  // namespace pwpoly
