// The private native module of pwpoly_arrays (`pwpoly_arrays._native`).
//
// It is built on pwpoly's boundary toolkit (src/lib: argument matching and
// conversion, held buffers, types, error translation, the interpreter lock).
// Every entry takes its arguments by position only. The Python package
// normalises them first and raises its own numpy-style errors, but the
// native checks are complete on their own: called directly with anything,
// an entry raises an exception (TypeError, ValueError, MemoryError,
// RuntimeError), never crashes, never leaks. An internal failure of the core
// is a RuntimeError here ("capacity overflow" a MemoryError), not pwpoly's
// PanicException.
//
// Arrays cross the boundary through the buffer protocol only, so no numpy
// headers are needed and the module does not depend on numpy's ABI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/python_compat.hpp"
#include "lib/toolkit/types.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "sparse_matrix_tools/sparse_containers.hpp"

namespace pwpoly::py::arrays {

// Runs an entry's body with the companion's failure style.
template <class F>
inline auto entry(F&& body) -> decltype(body()) {
    return guarded<FailureStyle::Ordinary>(std::forward<F>(body));
}

// The largest degree of the equidistant Lagrange matrices (prolongation,
// Lagrange to Legendre): beyond it their entries carry no correct digit
// (see native_module.cpp for the measurement).
inline constexpr std::size_t kMaxLagrangeDegree = 60;

// Checks shared by the entries; each raises ValueError naming the argument
// and the value it held.
std::size_t checked_count(PyObject* obj, const char* name, std::size_t minimum);
void check_lagrange_degree(std::size_t degree);

// The core mesh of a `_native.TimeMesh` argument (TypeError for anything
// else). Meshes check themselves when they are made (TimeMesh's checked
// constructors), so an entry that takes one has nothing left to check.
const TimeMesh& mesh_argument(PyObject* obj, const char* name);

// A one-dimensional array object that owns its items (a vector moved in,
// plain or one whose items were default-initialised, or storage of `count`
// items allocated here, uninitialised) and exports them through the buffer
// protocol ("d", "i" or the platform's int64 format), for numpy to wrap
// without a copy.
PyObject* owned_array(std::vector<double>&& values);
PyObject* owned_array(std::vector<std::int32_t>&& values);
PyObject* owned_array(std::vector<std::int64_t>&& values);
PyObject* owned_array(UninitVector<double>&& values);
PyObject* owned_array(UninitVector<std::int32_t>&& values);
PyObject* owned_array(UninitVector<std::int64_t>&& values);
template <class T>
std::pair<PyObject*, T*> new_owned_array(std::size_t count);

// (nrows, ncols, row_offsets, col_indices, values) of a CSR matrix, indices
// as int32 when every index, offset and dimension fits, else int64 (the type
// scipy would pick, so it keeps the arrays as they are).
PyObject* csr_tuple(CsrParts&& parts);
// The same for arrays a builder wrote in the index type fits_int32 picked
// for their shape: handed over as they are.
PyObject* csr_tuple(CsrArrays<std::int32_t>&& arrays);
PyObject* csr_tuple(CsrArrays<std::int64_t>&& arrays);
// Whether a matrix of this shape and entry count takes int32 indices.
bool fits_int32(std::size_t nrows, std::size_t ncols, std::size_t nnz);

// Adds the module functions of `functions` to `module`.
void add_functions(PyObject* module, std::span<Callable> functions);

// The registrations of the module's parts.
void add_mesh_type(PyObject* module);
void add_expansion_type(PyObject* module);
void add_owned_array_type(PyObject* module);
void add_matrix_functions(PyObject* module);
void add_calculus_functions(PyObject* module);
void add_operator_functions(PyObject* module);

}  // namespace pwpoly::py::arrays
