// The reference matrices of the equidistant Lagrange polynomials L_0, ...,
// L_degree on [-1, 1], from which the continuous Lagrange mass and
// derivative matrices are assembled (time_operators.hpp).
#pragma once

#include <cstddef>
#include <vector>

namespace pwpoly {

// Row-major, (degree + 1)^2 entries, [jj][kk] at jj * (degree + 1) + kk:
// R[jj][kk] = integral of L_jj L_kk dxi and D[jj][kk] = integral of
// L_jj L_kk' dxi. Computed in exact rational arithmetic and rounded once to
// the nearest double, so entries that are zero are exactly zero and the
// symmetries (R = R^T, D + D^T = diag(-1, 0, ..., 0, 1)) hold exactly. Need
// degree >= 1.
std::vector<double> lagrange_reference_mass(std::size_t degree);
std::vector<double> lagrange_reference_derivative(std::size_t degree);

}  // namespace pwpoly
