// Calculus on vector-valued piecewise Legendre expansions: values at the
// interval ends, the integral over [0, T], the antiderivative, the L2
// projection of sampled values, and building an expansion from nodal values
// with a sparse matrix.
//
// Layout. An expansion with m components on the uniform mesh of n_t
// intervals of [0, T] (width w = T / n_t) stores its coefficients C-order
// as an array of shape (degree + 1, n_t, m): c[i, j, k], the coefficient of
// P_i on interval j in component k, is element (i * n_t + j) * m + k (see
// vector_evaluation.hpp). On interval j, t = a_j + (xi + 1) * w / 2 with
// a_j = j * w. m = 0 is allowed and gives empty results.
//
// Floating-point policy. Every result below is defined by the order of its
// IEEE double operations, given with each function: every operation is
// rounded on its own (no fused multiply-add, no extended precision), and
// every sum runs in the order given there for each component on its own. The
// components are computed side by side, which changes no bit.
//
// All loops run on the calling thread and report their work to an
// interruption pacer (common/interruption.hpp). Output arrays never overlap
// the inputs or each other.
#pragma once

#include <cstddef>
#include <vector>

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

// out[k] = the integral of component k over [0, T], computed as
// w * S_k with w = T / n_t and S_k the sum over j of c[0, j, k] (the
// integral of P_0 over an interval is w). S_k is summed in increasing j by
// Sum2 of Ogita, Rump and Oishi: from s = 0.0, e = 0.0, for each term x
//   t = s + x; z = t - s; e = e + ((s - (t - z)) + (x - z)); s = t
// (the error of every addition, computed exactly by TwoSum, is accumulated
// in e), and S_k = s + e. That is as accurate as summing in twice the
// precision and rounding once: |S_k - sum| <= u |sum| + (n_t u)^2
// sum |c[0, j, k]| with u = 2^-53. When s is not finite (an infinite or
// NaN term, or a sum beyond the double range), S_k = s, the plain sum.
// Fails with no_intervals_message when n_t = 0 and with "capacity
// overflow" when the counts are not representable.
void integral(std::size_t degree, std::size_t n_t, double T, std::size_t m, const double* coefficients, double* out);

// The antiderivative F of every component with F(0) = 0, as an expansion of
// degree + 1: an array of shape (degree + 2, n_t, m) in the same layout.
// On interval j, with h = 0.5 * w,
//   F = K_j + h * sum over i of c_i * (integral from -1 to xi of P_i),
// using integral of P_0 = P_0 + P_1 and, for n >= 1, integral of
// P_n = (P_(n+1) - P_(n-1)) / (2n + 1). Collecting the coefficient of P_i
// (terms with c_n for n > degree are left out, not added as zeros):
//   F[0] = h * (c_0 - c_1 / 3.0) + K_j
//   F[i] = h * (c_(i-1) / (2i - 1) - c_(i+1) / (2i + 3))   1 <= i <= degree + 1
// each quotient rounded, then the difference, then the product, then (for
// F[0]) the sum. K_j, the integral of the component over [0, a_j], is
// w * S, where S is the Sum2 of c[0, 0, k], ..., c[0, j - 1, k] as in
// `integral` (so K_0 = w * 0.0, and the constant of a next interval after
// the last would be exactly `integral`'s result). F' is the expansion
// again, F is continuous at every node and F(0) = 0, all to rounding.
// Fails like `integral`.
std::vector<double> antiderivative(std::size_t degree, std::size_t n_t, double T, std::size_t m,
                                   const double* coefficients);

// The L2 projection onto the expansions of `degree` of functions sampled at
// the Gauss-Legendre nodes of every interval: values[(j * points + q) * m +
// k] is component k at node q of interval j (the nodes of
// gauss_legendre_on_mesh(points, n_t, T), interval-major; the result does
// not depend on T). With the reference rule (x_q, omega_q) =
// gauss_legendre_rule(points), the weights
//   t_iq = ((0.5 * (2i + 1)) * omega_q) * P_i(x_q)
// (P_i from the recurrence of legendre_basis.hpp; 0.5 * (2i + 1) is exact)
// are computed once, and then
//   out[(i * n_t + j) * m + k] = sum over q of t_iq * values[(j * points + q) * m + k]
// summed from +0.0 in increasing q, each product rounded before its
// addition. Exact (to rounding) for sampled polynomials of degree <= degree
// when points >= degree + 1. Fails like gauss_legendre_rule for points = 0,
// and with "capacity overflow" when the counts are not representable.
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
