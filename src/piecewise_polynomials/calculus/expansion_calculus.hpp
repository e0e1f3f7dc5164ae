// Calculus on vector-valued piecewise Legendre expansions: values at the
// interval ends, the integral over the mesh, the antiderivative, the L2
// projection of sampled values, and building an expansion from nodal values
// with a sparse matrix.
//
// Layout. An expansion with m components on a mesh of n_t intervals
// [b_j, b_(j+1)] (basis/time_mesh.hpp) stores its coefficients C-order as
// an array of shape (degree + 1, n_t, m): c[i, j, k], the coefficient of P_i
// on interval j in component k, is element (i * n_t + j) * m + k (see
// vector_evaluation.hpp). On interval j, t = b_j + (xi + 1) * h_j / 2 with
// h_j the width of the interval as given (time_mesh.hpp: b_(j+1) - b_j
// exactly, or (t1 - t0) / n_t exactly on a uniform mesh). m = 0 is allowed
// and gives empty results.
//
// Floating-point policy. Every result below is defined to the last bit:
// either by the order of its IEEE double operations, given with each
// function (every operation rounded on its own, no fused multiply-add, no
// extended precision, every sum in the order given there for each
// component on its own), or as the nearest double to an exact value (ties
// to even), computed as mesh_integrals.hpp describes. The components are
// computed side by side, which changes no bit.
//
// All loops run on the calling thread and report their work to an
// interruption pacer (common/interruption.hpp). Output arrays never overlap
// the inputs or each other.
#pragma once

#include <cstddef>
#include <vector>

#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

// The expansion at both ends of every interval: at_start[j * m + k] at
// xi = -1 and at_end[j * m + k] at xi = 1, each array n_t * m long. Per
// component, from sum = -0.0 in increasing i:
//   at_start: sum = sum + s_i * c[i, j, k] with s_i = 1.0 for even i, -1.0
//             for odd i;
//   at_end:   sum = sum + 1.0 * c[i, j, k].
// These are the operations of LegendreBasis::evaluate at xi = -1 and 1,
// where the recurrence gives P_i = s_i and P_i = 1 exactly. Fails with
// "capacity overflow" when the counts are not representable.
void endpoint_values(std::size_t degree, std::size_t n_t, std::size_t m, const double* coefficients, double* at_start,
                     double* at_end);

// out[k] = the nearest double to the exact integral of component k over
// [b_0, b_n], sum over j of h_j * c[0, j, k] with the widths as given (the
// integral of P_0 over interval j is h_j); on a uniform mesh that is
// (t1 - t0) * S_k / n_t with S_k the exact sum of the c[0, j, k]. Exactly
// zero gives +0.0; the result overflows only where the exact integral does.
// When some c[0, j, k] is not finite, out[k] is NaN if one of them is NaN
// or both infinities occur, and that infinity otherwise. The higher
// coefficients are not read. Fails with no_intervals_message for a mesh
// without intervals and with "capacity overflow" when the counts are not
// representable.
void integral(std::size_t degree, const TimeMesh& mesh, std::size_t m, const double* coefficients, double* out);

// The antiderivative F of every component, as an expansion of degree + 1:
// an array of shape (degree + 2, n_t, m) in the same layout. On interval j,
// with h = 0.5 * w_j and w_j the nearest double to the width h_j as given
// (mesh_integrals.hpp's rounded_width; T / n_t on a uniform mesh of
// [0, T]), the coefficients of P_1, ..., P_(degree + 1) are
//   F[i] = h * (c_(i-1) / (2i - 1) - c_(i+1) / (2i + 3))   1 <= i <= degree + 1
// (the term with c_(i+1) left out, not subtracted as zero, when
// i + 1 > degree), each quotient rounded, then the difference, then the
// product: from the integral of P_n, (P_(n+1) - P_(n-1)) / (2n + 1) for
// n >= 1, and P_0 + P_1 for P_0. The constant is
//   F[0] = the nearest double to K_(j+1) - (F[1] + F[2] + ... + F[degree + 1])
// computed exactly, where K_(j+1) is the nearest double to the exact
// integral of the component over [b_0, b_(j+1)] (so K_n is `integral`'s
// result). If K_(j+1) or some F[i] is not finite, F[0] is instead
// ((K_(j+1) - F[1]) - F[2]) - ... in IEEE arithmetic.
//
// What holds, for the exact values of the polynomials with these
// coefficients (u = 2^-53; ulp(x) is the gap between |x| and the next
// larger double; barring underflow):
//   * at b_(j+1) from the left, F = sum over i of F[i, j], within
//     ulp(F[0, j]) / 2 of K_(j+1); at b_n that is within ulp(F[0, n-1]) / 2
//     of integral(), and no double F[0, n-1] comes closer;
//   * at b_0, |F| <= u (|F[0, 0]| + |K_1|) + 2^-50 h_0 sum over even i of
//     |c[i, 0]|; at an interior b_j the jump of F is at most
//     u (|F[0, j-1]| + |F[0, j]| + |K_j| + |K_(j+1)|) + 2^-50 h_j sum over
//     even i of |c[i, j]|;
//   * F' has the coefficients c to rounding (each F[i], i >= 1, within
//     4.01 u h (|c_(i-1)| / (2i - 1) + |c_(i+1)| / (2i + 3)) of its exact
//     value).
// Fails like `integral`.
std::vector<double> antiderivative(std::size_t degree, const TimeMesh& mesh, std::size_t m, const double* coefficients);

// The L2 projection onto the expansions of `degree` of functions sampled at
// the Gauss-Legendre nodes of every interval: values[(j * points + q) * m +
// k] is component k at node q of interval j (the nodes of
// gauss_legendre_on_mesh(points, mesh) for a mesh of n_t intervals,
// interval-major; the result does not depend on the mesh, whatever its
// kind). With the reference rule (x_q, omega_q) =
// gauss_legendre_rule(points), the weights
//   t_iq = ((0.5 * (2i + 1)) * omega_q) * P_i(x_q)
// (P_i from the recurrence of legendre_basis.hpp; 0.5 * (2i + 1) is exact)
// are computed once, and then
//   out[(i * n_t + j) * m + k] = sum over q of t_iq * values[(j * points + q) * m + k]
// summed from +0.0 in increasing q, each product rounded before its
// addition. Exact (to rounding) for sampled polynomials of degree <= degree
// when points >= degree + 1. Refuses points as check_gauss_points does
// (ArgumentError), and fails with "capacity overflow" when the counts are
// not representable.
void project_values(std::size_t degree, std::size_t n_t, std::size_t points, std::size_t m, const double* values,
                    double* out);

// y = a @ x for x of shape (a.ncols(), m) and y of shape (a.nrows(), m),
// both C-order, in the order of scipy's compressed-row times dense product:
// y starts at +0.0; then for each row r, for each stored entry of r in
// stored order, with column c and value v, for every k:
//   y[r * m + k] = y[r * m + k] + v * x[c * m + k]
// (the product rounded, then the sum). x and y do not overlap. With
// a = LagrangeBasis::get_transformation_matrix_to_legendre() and x the
// nodal values of m functions, y is their expansion in the
// (degree + 1, n_t, m) layout. Fails with "capacity overflow" when the
// counts are not representable.
void apply_csr_rows(const CsrMatrix& a, std::size_t m, const double* x, double* y);

}  // namespace pwpoly
