#include "sparse_matrix_tools/block_assembly.hpp"

#include "common/interruption.hpp"

#include <string>
#include <utility>
#include <vector>

namespace pwpoly {

namespace {

[[noreturn]] void fail_height(std::size_t i, std::size_t left, std::size_t right) {
    fail_equality("inconsistent block-row height at row " + std::to_string(i), left, right);
}

[[noreturn]] void fail_width(std::size_t j, std::size_t left, std::size_t right) {
    fail_equality("inconsistent block-col width at col " + std::to_string(j), left, right);
}

// 0, s_0, s_0 + s_1, ...: the running sums of `sizes`, checked for overflow.
std::vector<std::size_t> running_offsets(const std::vector<std::size_t>& sizes) {
    std::vector<std::size_t> offsets;
    offsets.reserve(sizes.size() + 1);
    offsets.push_back(0);
    for (const std::size_t s : sizes)
        offsets.push_back(checked_add(offsets.back(), s));
    return offsets;
}

}  // namespace

CsrMatrix csr_from_block_grid(const BlockGrid& grid) {
    const std::size_t R = grid.block_rows;
    const std::size_t C = grid.block_cols;
    if (R == 0 || C == 0)
        fail("empty block grid");

    std::vector<std::size_t> heights(R);
    for (std::size_t i = 0; i < R; ++i) {
        heights[i] = grid.at(i, 0).nrows();
        for (std::size_t j = 1; j < C; ++j)
            if (grid.at(i, j).nrows() != heights[i]) [[unlikely]]
                fail_height(i, grid.at(i, j).nrows(), heights[i]);
    }
    std::vector<std::size_t> widths(C);
    for (std::size_t j = 0; j < C; ++j) {
        widths[j] = grid.at(0, j).ncols();
        for (std::size_t i = 1; i < R; ++i)
            if (grid.at(i, j).ncols() != widths[j]) [[unlikely]]
                fail_width(j, grid.at(i, j).ncols(), widths[j]);
    }
    const std::vector<std::size_t> row_offsets = running_offsets(heights);
    const std::vector<std::size_t> col_offsets = running_offsets(widths);
    const std::size_t nrows = row_offsets.back();
    const std::size_t ncols = col_offsets.back();

    std::size_t nnz = 0;
    for (std::size_t i = 0; i < R; ++i)
        for (std::size_t j = 0; j < C; ++j)
            nnz = checked_add(nnz, grid.at(i, j).nnz());

    // The blocks are valid CSR matrices covering disjoint regions, and block
    // columns are visited in ascending order, so concatenating each result
    // row from the blocks' rows yields sorted rows without repeated columns:
    // the rows are built in place, with no coordinate list to sort.
    std::vector<std::size_t> offsets;
    offsets.reserve(checked_array_count(checked_add(nrows, 1), sizeof(std::size_t)));
    std::vector<std::size_t> cols;
    std::vector<double> vals;
    cols.reserve(checked_array_count(nnz, sizeof(double)));
    vals.reserve(nnz);
    offsets.push_back(0);
    InterruptionPacer pacer;
    for (std::size_t i = 0; i < R; ++i) {
        for (std::size_t r = 0; r < heights[i]; ++r) {
            const std::size_t before = cols.size();
            for (std::size_t j = 0; j < C; ++j) {
                const CsrRow row = grid.at(i, j).row(r);
                const std::size_t shift = col_offsets[j];
                for (const std::size_t c : row.col_indices)
                    cols.push_back(c + shift);
                vals.insert(vals.end(), row.values.begin(), row.values.end());
            }
            offsets.push_back(cols.size());
            pacer.done(C + 2 * (cols.size() - before));
        }
    }

    return csr_from_valid_data("block assembly", nrows, ncols, std::move(offsets), std::move(cols), std::move(vals));
}

}  // namespace pwpoly
