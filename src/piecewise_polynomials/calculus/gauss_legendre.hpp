// Gauss-Legendre quadrature: the n-point rule on [-1, 1] and its copy on
// every interval of a time mesh.
//
// Accuracy. The nodes are the roots of P_n, found by Newton's method: in
// double arithmetic from a first guess, then in double-double arithmetic
// (about 106 significant bits from exactly rounded double operations, so
// the same on every IEEE platform) until a step no longer changes the
// double-double value; the weights 2 / ((1 - x^2) P_n'(x)^2) are computed in
// the same arithmetic. Both stay in double-double (relative error a few
// units of 2^-100) until a result is rounded once to double, so every node
// and weight of the reference rule, and every node and weight mapped onto a
// mesh, is within one ulp of its exact value (correctly rounded unless the
// exact value lies within about 2^-45 ulp of a midpoint between two
// doubles). The rule is exactly symmetric: node n - 1 - q is the negative of
// node q, with the same weight, and the middle node of an odd rule is 0.
//
// Cost. Each node takes a few passes of the three-term recurrence, so the
// rule costs O(n^2) operations (about 0.3 s for n = 2000 on one core of
// this project's machines). The mesh functions accept at most
// max_gauss_points points; every loop looks for an interruption
// (common/interruption.hpp) after each node and each interval.
#pragma once

#include <cstddef>
#include <vector>

#include "arithmetic/double_double.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"

namespace pwpoly {

struct QuadratureRule {
    std::vector<double> nodes;    // ascending
    std::vector<double> weights;  // positive, summing to the length of the interval
};

// The reference rule before rounding: nodes x_q, 1 + x_q (without the
// cancellation of forming it from a rounded x_q) and weights omega_q.
struct ReferenceRule {
    std::vector<dd::DD> nodes, one_plus_nodes, weights;
};

// The largest point count gauss_legendre_on_mesh and project_values accept.
inline constexpr std::size_t max_gauss_points = 10000;

// Refuses (ArgumentError naming `points`) a count of 0 or above
// max_gauss_points.
void check_gauss_points(std::size_t points);

// The n-point rule on [-1, 1] (n >= 1) in double-double. Fails with
// "capacity overflow" for an n no array can hold.
ReferenceRule gauss_legendre_reference(std::size_t n);

// The n-point rule on [-1, 1] (n >= 1), each node and weight of the
// reference rule rounded once; exact for polynomials of degree 2n - 1.
QuadratureRule gauss_legendre_rule(std::size_t n);

// The n-point rule copied onto each of the intervals of `mesh`,
// interval-major (entry j * n + q is node q of interval j): node q of
// interval j is the nearest double to b_j + (h_j / 2) (1 + x_q) and its
// weight the nearest double to (h_j / 2) omega_q, computed in double-double
// from the start b_j and width h_j as given and the reference rule, and
// rounded once. On a breakpoint mesh b_j and h_j are exact; on a uniform
// mesh the node is t0 + W (j + (1 + x_q) / 2) with W = (t1 - t0) / n_t in
// double-double (mesh_integrals.hpp), or, when the mesh contains 0,
// t0 + (t1 - t0) (j + (1 + x_q) / 2) / n_t with t1 - t0 exact. Each node and
// weight is within one ulp of its exact value, except a node closer to 0
// than about 2^-40 (|b_j| + h_j) (possible only in an interval that contains
// 0; its error is below 2^-100 (|b_j| + h_j)); the middle node of an
// interval centred on 0 is 0. A mesh reaching beyond 2^900 is mapped at
// 2^-128 of its size, so that no product overflows. Needs a mesh with
// intervals; refuses n as check_gauss_points does.
QuadratureRule gauss_legendre_on_mesh(std::size_t n, const TimeMesh& mesh);

}  // namespace pwpoly
