// Transfer of piecewise Legendre expansions between two uniform meshes of the
// same span: from nt_coarse to nt_fine intervals (prolongation) and back
// (restriction). Layout as everywhere: the coefficient of P_i on interval j
// of a mesh with n intervals is index j + n i. Neither operator depends on
// the span T.
//
// Prolongation, shape ((degree + 1) nt_fine, (degree + 1) nt_coarse):
//  * nested meshes (nt_fine = m nt_coarse): the exact re-expansion. Fine
//    interval f is sub-interval s = f mod m of coarse interval c = f / m;
//    there the coarse coordinate is xi = alpha eta + beta with alpha = 1 / m,
//    beta = (2s + 1) / m - 1, and P_i(alpha eta + beta) = sum_{k <= i}
//    R_ik(s) P_k(eta). Entry [f + nt_fine k, c + nt_coarse i] = R_ik(s), the
//    nearest double to the exact value, stored for every k <= i (zeros
//    included: the pattern depends on the sizes only);
//  * otherwise: the L2 projection onto the fine mesh (legendre_projection_matrix).
//
// Restriction, shape ((degree + 1) nt_coarse, (degree + 1) nt_fine): the
// adjoint M_c^-1 P^T M_f of the prolongation in the L2 inner products, with the
// diagonal Legendre mass matrices of span 1 (w = 1.0 / double(n) for a mesh
// of n intervals, diagonal w / double(2i + 1)): entry
// [c + nt_coarse i, f + nt_fine k] = P[f + nt_fine k, c + nt_coarse i] *
// (mf_k / mc_i) with mf_k = w_f / double(2k + 1), mc_i = w_c / double(2i + 1),
// the ratio rounded first. Same pattern as P^T. It is the L2 projection of
// the fine expansions onto the coarse mesh, for any pair of meshes. On nested
// meshes restriction after prolongation is the identity (to rounding); on
// others it is the composition of two L2 projections, coarse to fine and
// back: self-adjoint, of norm at most 1 in L2, the identity on what both
// spaces share (global polynomials, for example), but in general not
// idempotent, hence not a projection.
//
// Arguments: nt_coarse and nt_fine must be at least 1 (any degree, 0
// included). Interval counts above 2^53, and non-nested pairs whose product
// exceeds 2^62, fail with "capacity overflow": the mesh positions would not
// be exact.
#pragma once

#include <cstddef>

#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

CsrMatrix legendre_prolongation_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);

// The L2 projection of the coarse piecewise polynomials onto the fine mesh,
// for any pair of meshes: entry [f + nt_fine k, c + nt_coarse i] =
// (2k + 1) / w_f * integral over the overlap of fine interval f and coarse
// interval c of P_i(xi_c(t)) P_k(eta_f(t)) dt, stored for every overlapping
// pair (f, c) and all i, k. The overlaps are found exactly in integers and
// each is integrated by the (degree + 1)-point Gauss-Legendre rule (exact for
// the integrand up to rounding). On nested meshes it equals the re-expansion
// up to rounding, with a different (denser) pattern.
CsrMatrix legendre_projection_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);

CsrMatrix legendre_restriction_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);

// Both transfers also as their bare CSR arrays, written once in the index
// type the caller picks (std::int32_t, std::int64_t or std::size_t), and
// their shapes and entry counts, known before they are built (the shape
// functions check the arguments as the matrix functions do). Nested
// prolongations store nt_fine (degree + 1)(degree + 2) / 2 entries, the
// others (degree + 1)^2 per piece of the common refinement, of which there
// are nt_coarse + nt_fine - gcd(nt_coarse, nt_fine). Arrays whose shape
// does not fit Index fail with "capacity overflow". The CsrMatrix functions
// are the std::size_t arrays, validated.
CsrShape legendre_prolongation_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);
template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);
CsrShape legendre_restriction_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);
template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine);

// The same between two meshes of the same interval. Two uniform meshes are
// the counts above (the result does not depend on the span).
CsrShape legendre_prolongation_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);
template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);
CsrShape legendre_restriction_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);
template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine);

// R_ik(s) of the re-expansion on sub-interval s of m (k <= i, s < m,
// 1 <= m <= 2^53), computed in exact integer arithmetic and rounded once to
// the nearest double (+0.0 when it is zero): the value that
// legendre_prolongation_matrix stores, which computes most entries faster.
double legendre_reexpansion_coefficient(std::size_t i, std::size_t k, std::size_t s, std::size_t m);

}  // namespace pwpoly
