#include "piecewise_polynomials/basis/coefficient_matrix.hpp"

#include "common/internal_failure.hpp"

namespace pwpoly {

ColMatrixView column_major_view(std::span<const double> values, std::size_t n_t, std::size_t degree) {
    const std::size_t cols = checked_add(degree, 1);
    if (values.size() < checked_mul(n_t, cols))
        fail("Matrix view: input data buffer too small.");
    return {values.data(), n_t, cols};
}

}  // namespace pwpoly
