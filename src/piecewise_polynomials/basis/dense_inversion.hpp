// Inversion of a small dense square matrix, stored column-major: entry
// (r, c) is m[r + c * n].
//
// Two methods that round differently, so the switch point is fixed: the
// closed-form adjugate for n = 4, LU factorisation with partial row pivoting
// for every other size. "Not invertible" means an exactly zero determinant
// (n = 4) or an exactly zero pivot; NaN and infinities never fail, they
// propagate into the result.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace pwpoly {

// The inverse of the n x n matrix `m` (which must hold n * n values), or
// nullopt when it is not invertible.
std::optional<std::vector<double>> invert(std::span<const double> m, std::size_t n);

// In-place LU factorisation of the column-major n x n matrix `a`: on success
// `a` holds U on and above the diagonal and the multipliers of the unit
// lower factor below it, and swaps[j] is the row exchanged with row j at
// step j (j itself when none). The pivot of column j is the first row, from
// j downwards, with the strictly largest absolute value. Returns false at the
// first exactly zero pivot.
bool lu_factorize(std::span<double> a, std::size_t n, std::span<std::size_t> swaps);

}  // namespace pwpoly
