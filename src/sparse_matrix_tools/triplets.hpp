// Export of a sparse matrix as three equally long arrays (row index, column
// index, value per stored entry): rows non-decreasing, columns strictly
// increasing within a row, every stored entry (zeros included) exactly once.
#pragma once

#include <cstddef>
#include <vector>

#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

struct Triplets {
    std::vector<std::size_t> rows;
    std::vector<std::size_t> cols;
    std::vector<double> values;
};

// Copies the column indices and values of `csr`.
Triplets csr_to_triplets(const CsrMatrix& csr);

// Same triplets; the column-index and value arrays are moved out of `csr`.
Triplets csr_to_triplets(CsrMatrix&& csr);

}  // namespace pwpoly
