// The time operators as CsrMatrix, for the tests: the int64 arrays of
// time_operator_arrays widened and validated, under the names the
// refusals use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "piecewise_polynomials/operators/time_operators.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

#include "core_test_support.hpp"

namespace pwpoly::testing_support {

inline CsrMatrix time_operator_matrix(const TimeOperator& op) {
    const CsrArrays<std::int64_t> arrays = time_operator_arrays<std::int64_t>(op);
    const std::vector<std::size_t> offsets(arrays.row_offsets.begin(), arrays.row_offsets.end());
    const std::vector<std::size_t> columns(arrays.col_indices.begin(), arrays.col_indices.end());
    return csr_from_valid_data("time_operator_matrix", arrays.nrows, arrays.ncols, offsets, columns,
                               std::vector<double>(arrays.values.begin(), arrays.values.end()));
}

// The operators of the uniform mesh of [0, T] with n_t intervals.
inline TimeOperator uniform_operator(TimeMatrix matrix, std::size_t degree, std::size_t n_t, double T = 1.0,
                                     bool periodic = false) {
    return {matrix, degree, TimeMesh::unchecked_uniform(n_t, T), periodic};
}

inline CsrMatrix legendre_mass_matrix(std::size_t degree, std::size_t n_t, double T) {
    return time_operator_matrix(uniform_operator(TimeMatrix::legendre_mass, degree, n_t, T));
}

inline CsrMatrix lagrange_mass_matrix(std::size_t degree, std::size_t n_t, double T, bool periodic) {
    return time_operator_matrix(uniform_operator(TimeMatrix::lagrange_mass, degree, n_t, T, periodic));
}

inline CsrMatrix legendre_derivative_matrix(std::size_t degree, std::size_t n_t) {
    return time_operator_matrix(uniform_operator(TimeMatrix::legendre_derivative, degree, n_t));
}

inline CsrMatrix lagrange_derivative_matrix(std::size_t degree, std::size_t n_t, bool periodic) {
    return time_operator_matrix(uniform_operator(TimeMatrix::lagrange_derivative, degree, n_t, 1.0, periodic));
}

inline std::pair<CsrMatrix, CsrMatrix> endpoint_matrices(std::size_t degree, std::size_t n_t) {
    CsrMatrix at_start = time_operator_matrix(uniform_operator(TimeMatrix::endpoint_start, degree, n_t));
    return {std::move(at_start), time_operator_matrix(uniform_operator(TimeMatrix::endpoint_end, degree, n_t))};
}

inline CsrMatrix upwind_matrix(std::size_t degree, std::size_t n_t, bool periodic) {
    return time_operator_matrix(uniform_operator(TimeMatrix::upwind, degree, n_t, 1.0, periodic));
}

// The int32 arrays hold what the int64 ones do, at the announced shape.
inline void expect_operator_arrays(const TimeOperator& op) {
    const CsrMatrix reference = time_operator_matrix(op);
    const CsrShape shape = time_operator_shape(op);
    EXPECT_EQ(shape.nrows, reference.nrows());
    EXPECT_EQ(shape.ncols, reference.ncols());
    EXPECT_EQ(shape.nnz, reference.nnz());
    EXPECT_TRUE(widened(time_operator_arrays<std::int32_t>(op)) == widened(reference));
}

}  // namespace pwpoly::testing_support
