// The coefficient matrix of a piecewise Legendre expansion, read from a flat
// array of values.
#pragma once

#include <cstddef>
#include <span>

#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly {

// The first n_t * (degree + 1) of `values` as the column-major
// n_t x (degree + 1) matrix; any surplus is ignored. Fails with "capacity
// overflow" when that count is not representable, then with "Matrix view:
// input data buffer too small." when `values` holds fewer. The evaluations'
// own checks of the matrix against the mesh follow when it is used.
ColMatrixView column_major_view(std::span<const double> values, std::size_t n_t, std::size_t degree);

}  // namespace pwpoly
