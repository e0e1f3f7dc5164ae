// Assembly of one CSR matrix from a dense grid of CSR blocks.
#pragma once

#include <cstddef>

#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

// A read-only grid of `block_rows` x `block_cols` blocks owned by the caller.
// Cell (i, j) is *cells[i * row_stride + j * col_stride]; every cell must
// point at a matrix.
struct BlockGrid {
    const CsrMatrix* const* cells;
    std::size_t block_rows, block_cols, row_stride, col_stride;

    const CsrMatrix& at(std::size_t i, std::size_t j) const { return *cells[i * row_stride + j * col_stride]; }
};

// Block (i, j) lands at rows h_0 + ... + h_(i-1) and columns
// w_0 + ... + w_(j-1) of the result, where h_i is the row count of block
// (i, 0) and w_j the column count of block (0, j). Fails with "empty block
// grid" for a grid without cells, then checks every block row's heights (rows
// ascending, then columns) before any block column's widths; a mismatch fails
// as an equality assertion with the offending block's size on the left.
// Stored entries are copied unchanged, zeros included.
CsrMatrix csr_from_block_grid(const BlockGrid& grid);

}  // namespace pwpoly
