#include "piecewise_polynomials/evaluation/collocation.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "common/argument_error.hpp"
#include "common/internal_failure.hpp"
#include "parallel/parallel_ranges.hpp"

namespace pwpoly {

namespace {

// The degree + 1 nonzero entries of one row, in the order and with the
// operations of evaluate_all_basis_functions (_derivatives): keep the two in
// step.
void local_values(double xi, std::size_t degree, double* out) {
    out[0] = 1.0;
    if (degree == 0)
        return;
    out[1] = xi;
    for_each_legendre_from_2(xi, degree, [&](std::size_t i, double p_i, double) { out[i] = p_i; });
}

void local_derivatives(double xi, std::size_t degree, double w, double* out) {
    out[0] = (0.0 + 0.0) / w;
    if (degree == 0)
        return;
    out[1] = (1.0 + 1.0) / w;
    for_each_derivative_factor_from_2(xi, degree, [&](std::size_t i, double d_i) { out[i] = (d_i + d_i) / w; });
}

template <class Index>
struct RowFiller {
    const LegendreBasis& basis;
    bool derivative;
    const double* times;
    Index* row_offsets;
    Index* col_indices;
    double* values;

    void run(std::size_t lo, std::size_t hi) const {
        const std::size_t degree = basis.degree();
        const std::size_t n_t = basis.n_t();
        const std::size_t per_row = degree + 1;
        for (std::size_t r = lo; r < hi; ++r) {
            const Location loc = basis.locate(times[r]);
            const std::size_t first = r * per_row;
            row_offsets[r] = static_cast<Index>(first);
            Index* cols = col_indices + first;
            for (std::size_t i = 0; i <= degree; ++i)
                cols[i] = static_cast<Index>(loc.interval + n_t * i);
            if (derivative)
                local_derivatives(loc.xi, degree, basis.width(loc.interval), values + first);
            else
                local_values(loc.xi, degree, values + first);
        }
    }
};

}  // namespace

template <class Index>
void collocation_csr_into(const LegendreBasis& basis, bool derivative, std::span<const double> times,
                          std::span<Index> row_offsets, std::span<Index> col_indices, std::span<double> values,
                          WorkerPool* pool) {
    const std::size_t n = times.size();
    const std::size_t n_t = basis.n_t();
    if (!basis.has_intervals())
        fail(no_intervals_message);
    // The largest offset is n * (degree + 1), the largest column index
    // n_t * (degree + 1) - 1: both must be representable as Index.
    const std::size_t per_row = checked_add(basis.degree(), 1);
    const std::size_t nnz = checked_mul(n, per_row);
    const std::size_t ncols = checked_mul(n_t, per_row);
    constexpr auto index_max = static_cast<std::size_t>(std::numeric_limits<Index>::max());
    if (nnz > index_max || ncols - 1 > index_max)
        fail_capacity_overflow();
    // Row r fills positions [r * per_row, (r + 1) * per_row): all within
    // storage of exactly these sizes.
    if (row_offsets.size() != n + 1 || col_indices.size() != nnz || values.size() != nnz) [[unlikely]]
        fail("collocation_csr_into: the storage does not have the sizes of the matrix");
    // A NaN time has no interval: its row would be made up.
    for (std::size_t r = 0; r < n; ++r)
        if (times[r] != times[r]) [[unlikely]]
            refuse("t must not contain NaN (a NaN time lies in no interval), got nan at position " + std::to_string(r));

    const RowFiller<Index> filler{basis,        derivative, times.data(), row_offsets.data(), col_indices.data(),
                                  values.data()};
    row_offsets[n] = static_cast<Index>(nnz);
    for_each_range(
        n, row_min_half, [&filler](std::size_t lo, std::size_t hi) { filler.run(lo, hi); }, pool, 4 * per_row);
}

template void collocation_csr_into<std::int32_t>(const LegendreBasis&, bool, std::span<const double>,
                                                 std::span<std::int32_t>, std::span<std::int32_t>, std::span<double>,
                                                 WorkerPool*);
template void collocation_csr_into<std::int64_t>(const LegendreBasis&, bool, std::span<const double>,
                                                 std::span<std::int64_t>, std::span<std::int64_t>, std::span<double>,
                                                 WorkerPool*);

}  // namespace pwpoly
