// The fills behind time_operator_arrays (time_operators.hpp): each writes
// the rows of one matrix, in order, into a CsrRowWriter that
// time_operator_arrays made at the matrix's shape, so that the arguments
// have been checked and every size is known to be representable. The
// Legendre fills are in legendre_operators.cpp, the Lagrange ones in
// lagrange_operators.cpp; both are instantiated for std::int32_t and
// std::int64_t.
#pragma once

#include <cstddef>

#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly::time_operator_fills {

template <class Index>
void legendre_mass(CsrRowWriter<Index>& out, std::size_t degree, const TimeMesh& mesh);
template <class Index>
void legendre_derivative(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t);
template <class Index>
void endpoint(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t, bool at_end);
template <class Index>
void upwind(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t, bool periodic);

template <class Index>
void lagrange_mass(CsrRowWriter<Index>& out, std::size_t degree, const TimeMesh& mesh, bool periodic);
template <class Index>
void lagrange_derivative(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t, bool periodic);

}  // namespace pwpoly::time_operator_fills
