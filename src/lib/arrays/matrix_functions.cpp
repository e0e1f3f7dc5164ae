// The module functions of the private array module: the collocation matrix
// (written into arrays the caller allocated, since its size is known in
// advance), the prolongation and Lagrange-to-Legendre matrices and the
// Lagrange points (built by the core, whose arrays are then handed over as
// OwnedArray objects). Sparse matrices come back as
// (nrows, ncols, row_offsets, col_indices, values), indices as int32 when
// every index, offset and dimension fits it (the type scipy would pick, so it
// takes the arrays without converting them), else int64.
#include "lib/arrays/native.hpp"

#include "lib/pyref.hpp"
#include "piecewise_polynomials/collocation.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

namespace pwpoly::py::arrays {

namespace {

PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// collocation_into(degree, n_t, T, times, derivative, row_offsets, col_indices, values) -> None
PyObject* collocation_into(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        expect_arguments("collocation_into", nargs, kwnames, 8);
        const std::size_t degree = size_argument(args[0]);
        const std::size_t n_t = size_argument(args[1]);
        const double T = float_argument(args[2]);
        const bool derivative = bool_argument(args[4]);
        if (n_t == 0)
            raise(PyExc_ValueError, "n_t must be at least 1");
        BufferView times(args[3], false);
        BufferView offsets(args[5], true);
        BufferView indices(args[6], true);
        BufferView values(args[7], true);
        expect_float64(times, "t");
        expect_float64(values, "values");
        if (offsets.kind() == ItemKind::Float64 || offsets.kind() != indices.kind())
            raise(PyExc_TypeError, "row offsets and column indices must both be int32 or both int64");
        const std::size_t n = times.count();
        const std::size_t nnz = checked_mul(n, checked_add(degree, 1));
        if (offsets.count() != checked_add(n, 1) || indices.count() != nnz || values.count() != nnz)
            raise(PyExc_ValueError, "the output arrays must have t.size + 1 and t.size * (degree + 1) items");
        const BufferView* all[] = {&times, &offsets, &indices, &values};
        for (std::size_t a = 0; a < 4; ++a)
            for (std::size_t b = a + 1; b < 4; ++b)
                if (all[a]->overlaps(*all[b]))
                    raise(PyExc_ValueError, "the output arrays must not share memory with each other or with t");
        const LegendreBasis basis(degree, n_t, T);
        const std::span<const double> span{times.data<double>(), n};
        {
            WithoutInterpreterLock unlocked;
            if (offsets.kind() == ItemKind::Int32)
                collocation_csr_into(basis, derivative, span, offsets.data<std::int32_t>(),
                                     indices.data<std::int32_t>(), values.data<double>());
            else
                collocation_csr_into(basis, derivative, span, offsets.data<std::int64_t>(),
                                     indices.data<std::int64_t>(), values.data<double>());
        }
        Py_RETURN_NONE;
    });
}

template <class Index>
std::vector<Index> narrowed(const std::vector<std::size_t>& indices) {
    std::vector<Index> out(indices.size());
    for (std::size_t k = 0; k < indices.size(); ++k)
        out[k] = static_cast<Index>(indices[k]);
    return out;
}

template <class Index>
PyObject* csr_tuple(CsrParts& parts) {
    PyRef offsets = PyRef::steal(owned_array(narrowed<Index>(parts.row_offsets)));
    PyRef indices = PyRef::steal(owned_array(narrowed<Index>(parts.col_indices)));
    PyRef values = PyRef::steal(owned_array(std::move(parts.values)));
    PyObject* result = Py_BuildValue("(nnOOO)", static_cast<Py_ssize_t>(parts.nrows),
                                     static_cast<Py_ssize_t>(parts.ncols), offsets.get(), indices.get(), values.get());
    if (result == nullptr)
        throw PythonError{};
    return result;
}

// Every index, offset and dimension of the matrix fits into int32?
bool fits_int32(const CsrParts& parts) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return parts.nrows <= limit && parts.ncols <= limit && parts.values.size() <= limit;
}

// Builds the matrix without the interpreter lock, then hands its arrays over.
template <class Build>
PyObject* sparse_result(Build&& build) {
    std::optional<CsrParts> parts;
    {
        WithoutInterpreterLock unlocked;
        parts.emplace(build().into_parts());
    }
    return fits_int32(*parts) ? csr_tuple<std::int32_t>(*parts) : csr_tuple<std::int64_t>(*parts);
}

void check_lagrange_sizes(std::size_t degree, std::size_t n_t) {
    if (degree == 0)
        raise(PyExc_ValueError, "degree must be at least 1");
    if (n_t == 0)
        raise(PyExc_ValueError, "n_t must be at least 1");
}

// prolongation(degree, nt_coarse, nt_fine, periodic) -> sparse tuple
PyObject* prolongation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        expect_arguments("prolongation", nargs, kwnames, 4);
        const std::size_t degree = size_argument(args[0]);
        const std::size_t nt_coarse = size_argument(args[1]);
        const std::size_t nt_fine = size_argument(args[2]);
        const bool periodic = bool_argument(args[3]);
        check_lagrange_sizes(degree, nt_coarse);
        check_lagrange_sizes(degree, nt_fine);
        return sparse_result([&] {
            return LagrangeBasis::create(degree, nt_coarse, 1.0, periodic).get_prolongation_matrix_to(nt_fine);
        });
    });
}

// lagrange_to_legendre(degree, n_t, periodic) -> sparse tuple
PyObject* lagrange_to_legendre(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        expect_arguments("lagrange_to_legendre", nargs, kwnames, 3);
        const std::size_t degree = size_argument(args[0]);
        const std::size_t n_t = size_argument(args[1]);
        const bool periodic = bool_argument(args[2]);
        check_lagrange_sizes(degree, n_t);
        return sparse_result(
            [&] { return LagrangeBasis::create(degree, n_t, 1.0, periodic).get_transformation_matrix_to_legendre(); });
    });
}

// lagrange_points(degree, n_t, T, periodic) -> OwnedArray of float64
PyObject* lagrange_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        expect_arguments("lagrange_points", nargs, kwnames, 4);
        const std::size_t degree = size_argument(args[0]);
        const std::size_t n_t = size_argument(args[1]);
        const double T = float_argument(args[2]);
        const bool periodic = bool_argument(args[3]);
        check_lagrange_sizes(degree, n_t);
        std::vector<double> points;
        {
            WithoutInterpreterLock unlocked;
            points = LagrangeBasis::create(degree, n_t, T, periodic).points();
        }
        return owned_array(std::move(points));
    });
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"collocation_into", as_method(collocation_into), kFastCall,
     "collocation_into(degree, n_t, T, t, derivative, row_offsets, col_indices, values, /)\n--\n\n"
     "Fills the CSR arrays of the collocation matrix."},
    {"prolongation", as_method(prolongation), kFastCall,
     "prolongation(degree, nt_coarse, nt_fine, periodic, /)\n--\n\n"
     "(nrows, ncols, row_offsets, col_indices, values) of the prolongation matrix."},
    {"lagrange_to_legendre", as_method(lagrange_to_legendre), kFastCall,
     "lagrange_to_legendre(degree, n_t, periodic, /)\n--\n\n"
     "(nrows, ncols, row_offsets, col_indices, values) of the Lagrange-to-Legendre matrix."},
    {"lagrange_points", as_method(lagrange_points), kFastCall,
     "lagrange_points(degree, n_t, T, periodic, /)\n--\n\nThe Lagrange nodal points as an OwnedArray."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_matrix_functions(PyObject* module) { return PyModule_AddFunctions(module, g_functions) == 0; }

}  // namespace pwpoly::py::arrays
