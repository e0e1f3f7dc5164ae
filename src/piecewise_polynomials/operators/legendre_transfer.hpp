// Transfer of piecewise Legendre expansions between two time meshes of the
// same span (the same first and the same last breakpoint): from the coarse
// to the fine mesh (prolongation) and back (restriction). "Coarse" and
// "fine" name the two ends of the transfer; the fine mesh may have fewer
// intervals. Layout as everywhere: the coefficient of P_i on interval j of a
// mesh with n intervals is index j + n i.
//
// Which meshes. Two uniform meshes are given by their interval counts
// nt_coarse and nt_fine (the results do not depend on the span) and computed
// from integer positions; any other pair from the breakpoints b_j as given,
// exact doubles (a uniform mesh paired with a mesh of another kind
// contributes TimeMesh::breakpoint(j), t0 + j w and t1), with exact
// widths h_j = b_(j+1) - b_j. The meshes are nested when every coarse
// breakpoint is a fine one, bit for bit (TimeMesh::nested_parents; between
// uniform meshes: nt_fine a multiple of nt_coarse).
//
// Prolongation P, shape ((degree + 1) nt_fine, (degree + 1) nt_coarse):
//  * nested meshes: the exact re-expansion. On fine interval f inside coarse
//    interval c the coarse coordinate is xi = alpha eta + beta with
//    alpha = h_f / h_c and beta = ((b_f + b_(f+1)) - (b_c + b_(c+1))) / h_c
//    (uniform: alpha = 1 / m, beta = (2s + 1) / m - 1 for sub-interval
//    s = f mod m of m = nt_fine / nt_coarse), and P_i(alpha eta + beta) =
//    sum_{k <= i} R_ik P_k(eta). Entry [f + nt_fine k, c + nt_coarse i] =
//    R_ik, the double nearest to its exact value (legendre_reexpansion.hpp),
//    stored for every k <= i (zeros included: the pattern depends on the
//    sizes only). P c reproduces the coarse expansion c on the fine mesh;
//  * otherwise: the L2 projection onto the fine mesh. The coarse
//    polynomials are cut at the coarse breakpoints and each piece of the
//    common refinement integrated with the (degree + 1)-point Gauss rule
//    (legendre_projection.hpp): entry [f + nt_fine k, c + nt_coarse i] =
//    (2k + 1) / h_f * integral over the overlap of f and c of
//    P_i(xi_c(t)) P_k(eta_f(t)) dt, stored for every overlapping pair (f, c)
//    and all i, k; exact up to the rounding of the coordinates (exact
//    integers between uniform meshes) and of the rule's operations.
//
// Restriction R, shape ((degree + 1) nt_coarse, (degree + 1) nt_fine): the
// adjoint M_c^-1 P^T M_f of the prolongation in the L2 inner products, with
// the diagonal Legendre mass matrices: entry [c + nt_coarse i,
// f + nt_fine k] = P[f + nt_fine k, c + nt_coarse i] * s_ki, one rounding,
// with the factor s_ki = (h_f / (2k + 1)) / (h_c / (2i + 1)) rounded first:
// between uniform meshes (w_f / double(2k + 1)) / (w_c / double(2i + 1))
// with w = 1.0 / double(n) for a mesh of n intervals, each operation
// rounded; otherwise the double nearest to its exact value. Same pattern as
// P^T. It is the L2 projection of the fine expansions onto the coarse mesh,
// for any pair of meshes. On nested meshes restriction after prolongation
// is the identity (to rounding); on others it is the composition of two L2
// projections, coarse to fine and back: self-adjoint, of norm at most 1 in
// L2, the identity on what both spaces share (global polynomials, for
// example), but in general not idempotent, hence not a projection.
//
// Arguments: interval counts must be at least 1 (any degree, 0 included).
// Counts above 2^53, and non-nested uniform pairs whose product exceeds
// 2^62, fail with "capacity overflow": the positions would not be exact.
// Meshes of different spans are refused (ArgumentError naming the ends that
// differ).
#pragma once

#include <cstddef>

#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

// The transfers as their bare CSR arrays, written once in the index type
// the caller picks (std::int32_t, std::int64_t or std::size_t), and their
// shapes and entry counts, known before they are built (the shape
// functions check the arguments as the array functions do). Nested
// prolongations store nt_fine (degree + 1)(degree + 2) / 2 entries, the
// others (degree + 1)^2 per piece of the common refinement, of which there
// are nt_coarse + nt_fine - gcd(nt_coarse, nt_fine) between uniform meshes.
// Arrays whose shape does not fit Index fail with "capacity overflow".
CsrShape legendre_prolongation_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);
template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);
CsrShape legendre_restriction_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);
template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);

// The L2 projection between two uniform meshes, also when they are nested
// (where it equals the re-expansion up to rounding, with a denser pattern).
CsrShape legendre_projection_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);
template <class Index>
CsrArrays<Index> legendre_projection_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);

// Prolongation and restriction between two meshes of any kinds with the
// same span. Two uniform meshes give exactly the arrays of their counts.
CsrShape legendre_prolongation_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);
template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);
CsrShape legendre_restriction_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);
template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);

}  // namespace pwpoly
