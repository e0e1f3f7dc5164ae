// Many-time evaluation of a vector-valued piecewise Legendre expansion.
//
// A vector-valued expansion with m components on the uniform mesh of n_t
// intervals of [0, T] stores its coefficients C-order as an array of shape
// (degree + 1, n_t, m): the coefficient of P_i on interval j in component k
// is coefficients[(i * n_t + j) * m + k]. Component k alone is the scalar
// expansion whose column-major matrix C_k (LegendreBasis's layout, element
// (j, i) at j + n_t * i) holds the slice [:, :, k].
//
// Floating-point policy. Result (r, k) is bit for bit what
// basis.evaluate(times[r], C_k) (evaluate_derivative) gives: the time is
// located by basis.locate, the factors are the P_i of
// for_each_legendre_from_2 (the D_i of for_each_derivative_factor_from_2),
// and every component is summed on its own in the scalar order:
//   sum = -0.0
//   sum = sum + f_0 * c_0        f_0 = 1.0 (values), 0.0 (derivatives)
//   sum = sum + f_1 * c_1        f_1 = xi (values), 1.0 (derivatives)
//   sum = sum + f_i * c_i        i = 2, ..., degree, increasing
// and a derivative is (sum + sum) / h with h the width of the time's
// interval (LegendreBasis::width). Each product is rounded, then the
// sum; no fused multiply-add. The factors are computed once per time and
// shared by all m components; the components are summed side by side in
// vector registers, one lane per component, each lane in the order above.
#pragma once

#include <cstddef>
#include <span>

#include "parallel/worker_pool.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly {

// out[r * m + k] = the value (derivative when `derivative`) of component k
// of the expansion `coefficients` (layout above, degree and mesh of `basis`)
// at times[r], for r < times.size() and k < m. `out` has times.size() * m
// slots and does not overlap `times` or `coefficients`.
//
// Fails with no_intervals_message when the mesh has no intervals, and with
// "capacity overflow" when the coefficient or output counts are not
// representable; then nothing is written. Times are spread over `pool` by
// the policy of parallel_ranges.hpp (null: the process-wide pool); which
// thread computes a result, and in which order, never changes its bits.
//
// With `nan_gives_nan`, every component at a NaN time is NaN (pwpoly's rule,
// without it, evaluates a NaN time in interval 0 with xi = NaN, which leaves
// degree-0 values and derivatives of degree <= 1 finite).
void evaluate_vector_many_into(const LegendreBasis& basis, const double* coefficients, std::size_t m, bool derivative,
                               std::span<const double> times, double* out, WorkerPool* pool = nullptr,
                               bool nan_gives_nan = false);

}  // namespace pwpoly
