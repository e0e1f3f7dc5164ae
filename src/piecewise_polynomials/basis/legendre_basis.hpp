// Piecewise Legendre basis on a time mesh (time_mesh.hpp): pwpoly's uniform
// mesh of [0, T], or any mesh of the companion.
//
// Floating-point policy. Every result of this file is defined to the last
// bit, so the order of operations below is part of the contract:
//  * all arithmetic is IEEE double with round-to-nearest; the build uses
//    -ffp-contract=off (no fused multiply-add) and, on 32-bit x86, SSE2
//    arithmetic (no x87 extended precision);
//  * each P_i is defined as the result of i - 1 steps of the three-term
//    recurrence started from P_0 = 1 and P_1 = xi. The recurrence is a
//    deterministic function of (P_(k-1), P_k, k, xi), so carrying it forward
//    from P_(i-1) to P_i produces exactly the same doubles as restarting it
//    from P_0 and P_1 for every i. The code carries it: O(degree) per time
//    instead of O(degree^2), bit for bit the same results;
//  * the derivative factors D_i = dP_i/dxi follow the classical identity
//    P_i' = P_(i-2)' + (2i - 1) P_(i-1): D_0 = 0, D_1 = 1 and, for i >= 2,
//    D_i = D_(i-2) + c_i * P_(i-1) with c_i = 2i - 1 (an exact double), the
//    product rounded first, then the sum. No division, so no cancellation
//    near the interval ends: at xi = 1 every D_i is the exact integer
//    i(i+1)/2, at xi = -1 it is (-1)^(i+1) i(i+1)/2, and elsewhere it is the
//    true derivative to a few ulps. D_i needs P_(i-1) only, so a derivative
//    of degree n stops the recurrence at P_(n-1).
//
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "piecewise_polynomials/basis/time_mesh.hpp"

namespace pwpoly {

// A read-only dense matrix in column-major order: element (r, c) is
// data[r + rows * c]. Rows are intervals, columns Legendre degrees.
struct ColMatrixView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;

    double operator()(std::size_t r, std::size_t c) const { return data[r + rows * c]; }
};

// One step of the three-term recurrence: from P_(k-1), P_k and k (a double
// that counts 1.0, 2.0, ...) to P_(k+1).
inline double legendre_step(double p_km1, double p_k, double k, double xi) {
    return ((((k + k) + 1.0) * xi) * p_k - p_km1 * k) / (k + 1.0);
}

// A mesh without intervals (n_t = 0) can be built, but it has no interval to
// locate a time in: LegendreBasis::has_intervals() is the rule, and every
// operation that needs an interval refuses such a mesh with this message.
inline constexpr const char* no_intervals_message = "cannot evaluate: the mesh has no intervals (n_t = 0)";

class LegendreBasis {
public:
    // pwpoly's mesh: [0, T] in n_t equal intervals, any T and n_t (see
    // TimeMesh::unchecked_uniform). The interval width is derived once;
    // T / n_t is deterministic, so this is the same double that every
    // operation would recompute.
    LegendreBasis(std::size_t degree, std::size_t n_t, double T)
        : LegendreBasis(degree, TimeMesh::unchecked_uniform(n_t, T)) {}
    LegendreBasis(std::size_t degree, TimeMesh mesh) : degree_(degree), mesh_(std::move(mesh)) {}

    std::size_t degree() const { return degree_; }
    std::size_t n_t() const { return mesh_.n_t(); }
    double T() const { return mesh_.end(); }
    const TimeMesh& mesh() const { return mesh_; }
    // The width of interval j that the chain rule divides by (w on a
    // uniform mesh, fl(b_(j+1) - b_j) otherwise).
    double width(std::size_t j) const { return mesh_.width(j); }

    bool has_intervals() const { return mesh_.has_intervals(); }

    Location locate(double t) const { return mesh_.locate(t); }

    // The expansion with coefficient matrix `c` (n_t x (degree + 1) or
    // larger) and its time derivative at t. Fail with "Matrix slicing out of
    // bounds." when c has too few rows for the located interval, then with
    // "Matrix index out of bounds." when it has fewer than degree + 1
    // columns. Allocate nothing.
    double evaluate(double t, ColMatrixView c) const;
    double evaluate_derivative(double t, ColMatrixView c) const;

    // Values (derivatives with respect to t) of all n_t * (degree + 1) basis
    // functions at t, in global numbering j + n_t * i. Fail with "capacity
    // overflow" when that count is not representable, and with
    // no_intervals_message when n_t = 0.
    std::vector<double> evaluate_all_basis_functions(double t) const;
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;

    // Many-point evaluation: result i is evaluate(times[i], c) (resp.
    // evaluate_derivative) bit for bit, in the order of the times. From
    // 2048 times on the work is spread over the process-wide worker pool.
    // The in-place forms overwrite each time with its result. Defined in
    // legendre_basis.cpp on top of evaluate_many_into
    // (parallel_evaluation.hpp), which holds the kernels and the pool.
    std::vector<double> evaluate_many(std::span<const double> times, ColMatrixView c) const;
    std::vector<double> evaluate_derivative_many(std::span<const double> times, ColMatrixView c) const;
    void evaluate_many_in_place(std::span<double> times_then_values, ColMatrixView c) const;
    void evaluate_derivative_many_in_place(std::span<double> times_then_values, ColMatrixView c) const;

    // The two size tests of evaluate/evaluate_derivative, for a matrix used
    // at the located interval j.
    void check_matrix(std::size_t j, ColMatrixView c) const;

private:
    std::size_t degree_;
    TimeMesh mesh_;
};

// Carries the recurrence from P_0 = 1, P_1 = xi and calls
// step(i, P_i, P_(i-1)) for i = 2, ..., degree, in increasing order.
template <class Step>
inline void for_each_legendre_from_2(double xi, std::size_t degree, Step&& step) {
    double p_km1 = 1.0, p_k = xi, k = 1.0;
    for (std::size_t i = 2; i <= degree; ++i) {
        const double p_next = legendre_step(p_km1, p_k, k, xi);
        p_km1 = p_k;
        p_k = p_next;
        k = k + 1.0;
        step(i, p_k, p_km1);
    }
}

// The single-point kernels on an already located time, shared by the scalar
// operations and the many-point loops. `row` points at C(j, 0); `stride` is
// the matrix's row count.
inline double legendre_sum(double xi, const double* row, std::size_t stride, std::size_t degree) {
    double sum = -0.0;
    sum = sum + 1.0 * row[0];
    if (degree == 0)
        return sum;
    sum = sum + xi * row[stride];
    for_each_legendre_from_2(xi, degree, [&](std::size_t i, double p_i, double) { sum = sum + p_i * row[stride * i]; });
    return sum;
}

// Carries the values and the derivative factors from D_0 = 0, D_1 = 1 and
// calls step(i, D_i) for i = 2, ..., degree, in increasing order. The
// recurrence's constant (k + k) + 1 at k = i - 1 is c_i = 2i - 1.
template <class Step>
inline void for_each_derivative_factor_from_2(double xi, std::size_t degree, Step&& step) {
    double p_km1 = 1.0, p_k = xi, k = 1.0;  // P_(i-2), P_(i-1), i - 1
    double d_im2 = 0.0, d_im1 = 1.0;
    for (std::size_t i = 2; i <= degree; ++i) {
        const double c = (k + k) + 1.0;
        const double d_i = d_im2 + c * p_k;
        d_im2 = d_im1;
        d_im1 = d_i;
        step(i, d_i);
        if (i < degree) {
            const double p_next = legendre_step(p_km1, p_k, k, xi);
            p_km1 = p_k;
            p_k = p_next;
        }
        k = k + 1.0;
    }
}

// Sum of D_i * C(j, i) before the chain-rule factor 2 / w.
inline double legendre_derivative_sum(double xi, const double* row, std::size_t stride, std::size_t degree) {
    double sum = -0.0;
    sum = sum + 0.0 * row[0];
    if (degree == 0)
        return sum;
    sum = sum + 1.0 * row[stride];
    for_each_derivative_factor_from_2(xi, degree,
                                      [&](std::size_t i, double d_i) { sum = sum + d_i * row[stride * i]; });
    return sum;
}

}  // namespace pwpoly
