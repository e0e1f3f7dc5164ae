#include "sparse_matrix_tools/triplets.hpp"

#include "common/interruption.hpp"

namespace pwpoly {

namespace {

// One row index per stored entry, expanded from the row offsets.
std::vector<std::size_t> expand_row_offsets(const std::vector<std::size_t>& offsets, std::size_t nnz) {
    std::vector<std::size_t> rows;
    rows.reserve(nnz);
    InterruptionPacer pacer;
    for (std::size_t r = 0; r + 1 < offsets.size(); ++r) {
        pacer.done(2 + 2 * (offsets[r + 1] - offsets[r]));
        for (std::size_t k = offsets[r]; k < offsets[r + 1]; ++k)
            rows.push_back(r);
    }
    return rows;
}

}  // namespace

Triplets csr_to_triplets(const CsrMatrix& csr) {
    return {expand_row_offsets(csr.row_offsets(), csr.nnz()), csr.col_indices(), csr.values()};
}

Triplets csr_to_triplets(CsrMatrix&& csr) {
    CsrParts parts = std::move(csr).into_parts();
    std::vector<std::size_t> rows = expand_row_offsets(parts.row_offsets, parts.col_indices.size());
    return {std::move(rows), std::move(parts.col_indices), std::move(parts.values)};
}

}  // namespace pwpoly
