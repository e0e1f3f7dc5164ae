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
// Every result is a CsrMatrix of its true shape whose sparsity pattern
// depends on the sizes only: entries that happen to be zero are stored where
// the pattern has them, and nothing else is stored.
//
// Each matrix also comes as its bare CSR arrays (`*_arrays<Index>`), written
// once in the index type the caller picks (std::int32_t, std::int64_t or
// std::size_t), and its shape and entry count (`*_shape`) are known before
// it is built, so that the caller can pick the smallest type that holds
// them. A shape function checks the arguments as its matrix does; arrays
// whose shape does not fit Index fail with "capacity overflow". The
// CsrMatrix functions are the std::size_t arrays, validated.
//
// Arguments. n_t must be at least 1, and the degree at least 1 for the
// Lagrange matrices; otherwise the call fails naming the function, the
// argument and its value. Sizes whose element counts cannot be represented
// fail with "capacity overflow". T is not checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "arithmetic/exact_arithmetic.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

// Diagonal, entry j + n_t i is w / (2i + 1): one division, with 2i + 1 an
// exact double; off uniform meshes the nearest double to h_j / (2i + 1).
// Degree 0 is allowed. (The CsrMatrix form is that of the uniform mesh of
// [0, T].)
CsrMatrix legendre_mass_matrix(std::size_t degree, std::size_t n_t, double T);
CsrShape legendre_mass_shape(std::size_t degree, std::size_t n_t);
template <class Index>
CsrArrays<Index> legendre_mass_arrays(std::size_t degree, const TimeMesh& mesh);

// The continuous mass matrix, square of the dof count. The entry of a pair of
// local nodes (jj, kk) of one interval is (0.5 * w) * R[jj][kk], with
// R[jj][kk] = integral over [-1, 1] of L_jj L_kk dxi correctly rounded (see
// lagrange_reference_mass); off uniform meshes the nearest double to
// (h_k / 2) R[jj][kk] on interval k. The global entry sums the contributions of the
// intervals sharing the pair in increasing interval order. Periodic with one
// interval, local nodes 0 and degree are both dof 0: entries of row or
// column 0 add the local entry of node 0 first, then that of node degree,
// and entry (0, 0) is (r(0, 0) + r(p, p)) + (r(0, p) + r(p, 0)) with r the
// scaled local entries, p the degree. Exactly symmetric. Stored: every pair
// of dofs that share an interval, that is n_t ((degree + 1)^2 - 1) + 1
// entries, periodic n_t ((degree + 1)^2 - 1), 2 (degree + 1)^2 - 4 with two
// intervals and degree^2 with one.
CsrMatrix lagrange_mass_matrix(std::size_t degree, std::size_t n_t, double T, bool periodic);
CsrShape lagrange_mass_shape(std::size_t degree, std::size_t n_t, bool periodic);
template <class Index>
CsrArrays<Index> lagrange_mass_arrays(std::size_t degree, const TimeMesh& mesh, bool periodic);

// Block diagonal: row j + n_t i, column j + n_t k holds 2.0 for k > i with
// i + k odd (the integral of P_i P_k' over [-1, 1]); only these are stored.
// Independent of w. Degree 0 gives a matrix without entries.
CsrMatrix legendre_derivative_matrix(std::size_t degree, std::size_t n_t);
CsrShape legendre_derivative_shape(std::size_t degree, std::size_t n_t);
template <class Index>
CsrArrays<Index> legendre_derivative_arrays(std::size_t degree, std::size_t n_t);

// The continuous derivative matrix, assembled like the mass matrix from
// D[jj][kk] = integral over [-1, 1] of L_jj L_kk' dxi, correctly rounded
// (see lagrange_reference_derivative) and used as is (it does not depend on
// w). Same pattern and order of additions as lagrange_mass_matrix; so
// C + C^T is exactly the boundary term (phi_a phi_b at T minus at 0).
CsrMatrix lagrange_derivative_matrix(std::size_t degree, std::size_t n_t, bool periodic);
CsrShape lagrange_derivative_shape(std::size_t degree, std::size_t n_t, bool periodic);
template <class Index>
CsrArrays<Index> lagrange_derivative_arrays(std::size_t degree, std::size_t n_t, bool periodic);

// (at_start, at_end), each n_t x (degree + 1) n_t: row j of at_start holds
// (-1)^i at column j + n_t i (the limit of P_i from the right at the start of
// interval j), row j of at_end holds 1.0 there (the limit from the left at
// its end).
std::pair<CsrMatrix, CsrMatrix> endpoint_matrices(std::size_t degree, std::size_t n_t);
CsrShape endpoint_shape(std::size_t degree, std::size_t n_t);  // of each of the two
template <class Index>
std::pair<CsrArrays<Index>, CsrArrays<Index>> endpoint_arrays(std::size_t degree, std::size_t n_t);

// U = at_start^T (at_start - S at_end), where (S x)[j] = x[j - 1] for j >= 1
// and (S x)[0] = 0, or x[n_t - 1] when periodic. Row j + n_t a holds
// (-1)^(a + b) at column j + n_t b and -(-1)^a at column (j - 1) + n_t b (for
// j = 0 only when periodic, then at column (n_t - 1) + n_t b). Periodic with
// one interval both land on the same column and are summed:
// (-1)^(a + b) - (-1)^a, that is 0 for even b (stored) and -2 (-1)^a for odd
// b. Square, (degree + 1) n_t.
CsrMatrix upwind_matrix(std::size_t degree, std::size_t n_t, bool periodic);
CsrShape upwind_shape(std::size_t degree, std::size_t n_t, bool periodic);
template <class Index>
CsrArrays<Index> upwind_arrays(std::size_t degree, std::size_t n_t, bool periodic);

// The reference matrices of the equidistant Lagrange polynomials L_0, ...,
// L_degree on [-1, 1], row-major ((degree + 1)^2 entries, [jj][kk] at
// jj * (degree + 1) + kk): R[jj][kk] = integral of L_jj L_kk dxi and
// D[jj][kk] = integral of L_jj L_kk' dxi. Computed in exact rational
// arithmetic and rounded once to the nearest double, so entries that are
// zero are exactly zero and the symmetries (R = R^T, D + D^T = diag(-1, 0,
// ..., 0, 1)) hold exactly. Need degree >= 1.
std::vector<double> lagrange_reference_mass(std::size_t degree);
std::vector<double> lagrange_reference_derivative(std::size_t degree);

// Exact integer arithmetic for the small reference computations of the time
// operators and of the Legendre prolongation: they are carried out in
// integers and rounded once, at the end, to the nearest double.

}  // namespace pwpoly
