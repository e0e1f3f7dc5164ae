// Gauss-Legendre quadrature: the n-point rule on [-1, 1] and its copy on
// every interval of a uniform mesh of [0, T].
//
// Accuracy. The nodes are the roots of P_n, found by Newton's method on the
// three-term recurrence carried out in double-double arithmetic (about 106
// significant bits, built from exactly rounded double operations, so the
// same on every IEEE platform); the weights 2 / ((1 - x^2) P_n'(x)^2) are
// computed in the same arithmetic. Each is then rounded once to double, so
// nodes and weights are within one ulp of the true values (to the last bit
// in nearly all cases). The rule is exactly symmetric: node n - 1 - q is the
// negative of node q, with the same weight, and the middle node of an odd
// rule is 0.
#pragma once

#include <cstddef>
#include <vector>

#include "piecewise_polynomials/basis/time_mesh.hpp"

namespace pwpoly {

struct QuadratureRule {
    std::vector<double> nodes;    // ascending
    std::vector<double> weights;  // positive, summing to the length of the interval
};

// The n-point rule on [-1, 1] (n >= 1); exact for polynomials of degree
// 2n - 1. Fails with "capacity overflow" for an n no array can hold.
QuadratureRule gauss_legendre_rule(std::size_t n);

// The n-point rule copied onto each of the n_t intervals [a_j, b_j] of the
// uniform mesh of [0, T], interval-major (entry j * n + q is node q of
// interval j). With w = T / n_t, a_j = j * w and h = 0.5 * w, node q of
// interval j is (a_j + h) + h * x_q and its weight h * omega_q, each
// operation rounded on its own in that order. Needs n >= 1 and n_t >= 1.
QuadratureRule gauss_legendre_on_mesh(std::size_t n, const TimeMesh& mesh);

}  // namespace pwpoly
