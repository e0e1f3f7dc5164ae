// The module functions of the private array module: the collocation, the
// prolongation and the Lagrange-to-Legendre matrices and the Lagrange
// points. Each is computed without the interpreter lock; the arrays the core
// produces are handed to numpy as OwnedArray objects without a copy (the
// collocation matrix is written straight into arrays allocated here, since
// its size is known in advance). Sparse matrices come back as
// (nrows, ncols, row_offsets, col_indices, values).
#include <cstdint>
#include <utility>

#include "lib/arrays/native.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/buffers.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/pyref.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "piecewise_polynomials/evaluation/collocation.hpp"

namespace pwpoly::py::arrays {

bool fits_int32(std::size_t nrows, std::size_t ncols, std::size_t nnz) {
    return indices_fit<std::int32_t>(CsrShape{nrows, ncols, nnz});
}

namespace {

PyObject* pack_csr(std::size_t nrows, std::size_t ncols, const PyRef& offsets, const PyRef& indices,
                   const PyRef& values) {
    PyObject* result = Py_BuildValue("(nnOOO)", static_cast<Py_ssize_t>(nrows), static_cast<Py_ssize_t>(ncols),
                                     offsets.get(), indices.get(), values.get());
    if (result == nullptr)
        throw_python_error();
    return result;
}

template <class Index>
std::vector<Index> narrowed(const std::vector<std::size_t>& indices) {
    std::vector<Index> out(indices.size());
    for (std::size_t k = 0; k < indices.size(); ++k)
        out[k] = static_cast<Index>(indices[k]);
    return out;
}

template <class Index>
PyObject* csr_tuple_of(CsrParts& parts) {
    PyRef offsets = PyRef::steal(owned_array(narrowed<Index>(parts.row_offsets)));
    PyRef indices = PyRef::steal(owned_array(narrowed<Index>(parts.col_indices)));
    PyRef values = PyRef::steal(owned_array(std::move(parts.values)));
    return pack_csr(parts.nrows, parts.ncols, offsets, indices, values);
}

template <class Index>
PyObject* csr_tuple_of(CsrArrays<Index>& arrays) {
    PyRef offsets = PyRef::steal(owned_array(std::move(arrays.row_offsets)));
    PyRef indices = PyRef::steal(owned_array(std::move(arrays.col_indices)));
    PyRef values = PyRef::steal(owned_array(std::move(arrays.values)));
    return pack_csr(arrays.nrows, arrays.ncols, offsets, indices, values);
}

// Builds the matrix without the interpreter lock, then hands its arrays over.
template <class Build>
PyObject* sparse_result(Build&& build) {
    return csr_tuple(without_interpreter_lock([&] { return build().into_parts(); }));
}

// collocation(degree, mesh, t, derivative, /)
auto g_collocation_sig =
    positional_only("collocation", Params{"degree", "mesh", "t", "derivative"},
                    "(nrows, ncols, row_offsets, col_indices, values) of the collocation matrix at the "
                    "times t (C order).");

template <class Index>
PyObject* collocation_of(const LegendreBasis& basis, bool derivative, const Float64Input& times, std::size_t nnz) {
    const std::size_t n = times.size();
    auto [offsets_obj, offsets] = new_owned_array<Index>(checked_add(n, 1));
    PyRef offsets_ref = PyRef::steal(offsets_obj);
    auto [indices_obj, indices] = new_owned_array<Index>(nnz);
    PyRef indices_ref = PyRef::steal(indices_obj);
    auto [values_obj, values] = new_owned_array<double>(nnz);
    PyRef values_ref = PyRef::steal(values_obj);
    without_interpreter_lock([&, offsets = offsets, indices = indices, values = values] {
        collocation_csr_into<Index>(basis, derivative, {times.data(), n}, {offsets, n + 1}, {indices, nnz},
                                    {values, nnz});
    });
    return pack_csr(n, basis.n_t() * (basis.degree() + 1), offsets_ref, indices_ref, values_ref);
}

PyObject* collocation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, mesh_arg, t_arg, derivative_arg] =
            match_arguments(g_collocation_sig, args, nargs, kwnames);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const TimeMesh& mesh = mesh_argument(mesh_arg, "mesh");
        Float64Input times(t_arg, "t");
        const bool derivative = to_bool(derivative_arg, "derivative");
        const std::size_t per_row = checked_add(degree, 1);
        const std::size_t ncols = checked_array_count(checked_mul(mesh.n_t(), per_row), sizeof(double));
        const std::size_t nnz = checked_array_count(checked_mul(times.size(), per_row), sizeof(double));
        const LegendreBasis basis(degree, mesh);
        return fits_int32(times.size(), ncols, nnz) ? collocation_of<std::int32_t>(basis, derivative, times, nnz)
                                                    : collocation_of<std::int64_t>(basis, derivative, times, nnz);
    });
}

// prolongation(degree, coarse, fine, periodic, /)
auto g_prolongation_sig =
    positional_only("prolongation", Params{"degree", "coarse", "fine", "periodic"},
                    "(nrows, ncols, row_offsets, col_indices, values) of the prolongation matrix.");

PyObject* prolongation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, coarse_arg, fine_arg, periodic_arg] =
            match_arguments(g_prolongation_sig, args, nargs, kwnames);
        const std::size_t degree = checked_count(degree_arg, "degree", 1);
        const TimeMesh& coarse = mesh_argument(coarse_arg, "coarse");
        const TimeMesh& fine = mesh_argument(fine_arg, "fine");
        const bool periodic = to_bool(periodic_arg, "periodic");
        check_lagrange_degree(degree);
        return sparse_result([&] { return lagrange_prolongation_matrix(degree, coarse, fine, periodic); });
    });
}

// lagrange_to_legendre(degree, n_t, periodic, /)
auto g_transformation_sig =
    positional_only("lagrange_to_legendre", Params{"degree", "n_t", "periodic"},
                    "(nrows, ncols, row_offsets, col_indices, values) of the Lagrange-to-Legendre "
                    "matrix.");

PyObject* lagrange_to_legendre(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg, periodic_arg] = match_arguments(g_transformation_sig, args, nargs, kwnames);
        const std::size_t degree = checked_count(degree_arg, "degree", 1);
        const std::size_t n_t = checked_count(n_t_arg, "n_t", 1);
        const bool periodic = to_bool(periodic_arg, "periodic");
        check_lagrange_degree(degree);
        return sparse_result(
            [&] { return LagrangeBasis::create(degree, n_t, 1.0, periodic).get_transformation_matrix_to_legendre(); });
    });
}

// lagrange_points(degree, mesh, periodic, /)
auto g_points_sig = positional_only("lagrange_points", Params{"degree", "mesh", "periodic"},
                                    "The Lagrange nodal points as an OwnedArray.");

PyObject* lagrange_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, mesh_arg, periodic_arg] = match_arguments(g_points_sig, args, nargs, kwnames);
        const std::size_t degree = checked_count(degree_arg, "degree", 1);
        const TimeMesh& mesh = mesh_argument(mesh_arg, "mesh");
        const bool periodic = to_bool(periodic_arg, "periodic");
        std::vector<double> points = without_interpreter_lock(
            [&] { return std::vector<double>(LagrangeBasis::create(degree, mesh, periodic).points()); });
        return owned_array(std::move(points));
    });
}

Callable g_functions[] = {
    {&g_collocation_sig, collocation},
    {&g_prolongation_sig, prolongation},
    {&g_transformation_sig, lagrange_to_legendre},
    {&g_points_sig, lagrange_points},
};

}  // namespace

PyObject* csr_tuple(CsrParts&& parts) {
    return fits_int32(parts.nrows, parts.ncols, parts.values.size()) ? csr_tuple_of<std::int32_t>(parts)
                                                                     : csr_tuple_of<std::int64_t>(parts);
}

PyObject* csr_tuple(CsrArrays<std::int32_t>&& arrays) { return csr_tuple_of(arrays); }
PyObject* csr_tuple(CsrArrays<std::int64_t>&& arrays) { return csr_tuple_of(arrays); }

void add_functions(PyObject* module, std::span<Callable> functions) {
    for (Callable& c : functions) {
        PyRef function = PyRef::steal(module_function(module, c));
        if (PyModule_AddObjectRef(module, c.signature->function_name, function.get()) < 0)
            throw_python_error();
    }
}

void add_matrix_functions(PyObject* module) { add_functions(module, g_functions); }

}  // namespace pwpoly::py::arrays
