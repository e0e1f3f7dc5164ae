// The Legendre transfers between uniform meshes as validated CsrMatrix
// values, for the tests: the std::size_t arrays of legendre_transfer.hpp.
#pragma once

#include <cstddef>

#include "piecewise_polynomials/operators/legendre_transfer.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly {

inline CsrMatrix legendre_prolongation_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return csr_from_valid_arrays("legendre_prolongation_matrix",
                                 legendre_prolongation_arrays<std::size_t>(degree, nt_coarse, nt_fine));
}

inline CsrMatrix legendre_projection_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return csr_from_valid_arrays("legendre_projection_matrix",
                                 legendre_projection_arrays<std::size_t>(degree, nt_coarse, nt_fine));
}

inline CsrMatrix legendre_restriction_matrix(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return csr_from_valid_arrays("legendre_restriction_matrix",
                                 legendre_restriction_arrays<std::size_t>(degree, nt_coarse, nt_fine));
}

}  // namespace pwpoly
