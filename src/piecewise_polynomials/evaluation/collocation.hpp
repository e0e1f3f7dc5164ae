// The collocation matrix of a piecewise Legendre basis: one row per time,
// holding the values (or time derivatives) of all n_t * (degree + 1) basis
// functions at that time in the global numbering j + n_t * i. Only the
// degree + 1 functions of the located interval can be nonzero, so a row
// stores exactly those, in increasing column order (i = 0, ..., degree),
// whatever their values: the pattern depends on the located interval only,
// and a value that happens to be zero (P_1 at the midpoint) stays stored.
//
// Each stored value is bit for bit the entry that
// LegendreBasis::evaluate_all_basis_functions (or ..._derivatives) gives at
// that time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "parallel/worker_pool.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly {

// A NaN time is refused (ArgumentError naming its position) before anything
// is written: it lies in no interval, so its row could only be made up.
//
// Writes the compressed-row arrays of the times.size() x n_t * (degree + 1)
// matrix into caller-provided storage: row_offsets must have times.size() + 1
// slots, col_indices and values times.size() * (degree + 1) each. Index is
// std::int32_t or std::int64_t. Storage of other sizes, or an offset or
// column index that does not fit Index ("capacity overflow"), fail before
// anything is written. Needs n_t >= 1. `pool` null: the process-wide pool.
// Rows are spread over the pool by the policy of parallel_ranges.hpp.
template <class Index>
void collocation_csr_into(const LegendreBasis& basis, bool derivative, std::span<const double> times,
                          std::span<Index> row_offsets, std::span<Index> col_indices, std::span<double> values,
                          WorkerPool* pool = nullptr);

extern template void collocation_csr_into<std::int32_t>(const LegendreBasis&, bool, std::span<const double>,
                                                        std::span<std::int32_t>, std::span<std::int32_t>,
                                                        std::span<double>, WorkerPool*);
extern template void collocation_csr_into<std::int64_t>(const LegendreBasis&, bool, std::span<const double>,
                                                        std::span<std::int64_t>, std::span<std::int64_t>,
                                                        std::span<double>, WorkerPool*);

}  // namespace pwpoly
