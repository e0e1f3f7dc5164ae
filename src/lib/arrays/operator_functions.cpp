// The time operators of the private array module: mass, derivative,
// endpoint and upwind matrices in the Legendre and Lagrange bases, and the
// Legendre transfer matrices between meshes. Each is built without the
// interpreter lock and handed over as (nrows, ncols, row_offsets,
// col_indices, values) like the other sparse results. Their shapes are
// known beforehand, so the core writes the arrays directly in the index type
// the result takes (fits_int32), and numpy wraps them as they are.
#include <cstdint>
#include <type_traits>
#include <utility>

#include "lib/arrays/native.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/pyref.hpp"
#include "lib/toolkit/results.hpp"
#include "piecewise_polynomials/operators/legendre_transfer.hpp"
#include "piecewise_polynomials/operators/time_operators.hpp"

namespace pwpoly::py::arrays {

namespace {

// Builds the arrays of a matrix of this shape without the interpreter lock,
// with int32 indices when they fit, else int64: `build` is called with
// std::type_identity<Index>.
template <class Build>
PyObject* built(const CsrShape& shape, Build&& build) {
    if (fits_int32(shape.nrows, shape.ncols, shape.nnz))
        return csr_tuple(without_interpreter_lock([&] { return build(std::type_identity<std::int32_t>{}); }));
    return csr_tuple(without_interpreter_lock([&] { return build(std::type_identity<std::int64_t>{}); }));
}

// The arrays of a time operator, as `built` makes them.
PyObject* built(const TimeOperator& op) {
    return built(time_operator_shape(op),
                 [&]<class Index>(std::type_identity<Index>) { return time_operator_arrays<Index>(op); });
}

// The matrices that depend on the interval count only take it on a uniform
// mesh of that many intervals (the span does not matter to them).
TimeMesh counted_mesh(std::size_t n_t) { return TimeMesh::unchecked_uniform(n_t, 1.0); }

// The Lagrange variants share the equidistant basis's degree limit.
std::size_t lagrange_degree(PyObject* obj) {
    const std::size_t degree = checked_count(obj, "degree", 1);
    check_lagrange_degree(degree);
    return degree;
}

// mass(degree, mesh, lagrange, periodic, /)
auto g_mass_sig = positional_only("mass", Params{"degree", "mesh", "lagrange", "periodic"},
                                  "The mass matrix of the Legendre (lagrange false) or continuous Lagrange basis.");

PyObject* mass(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, mesh_arg, lagrange_arg, periodic_arg] =
            match_arguments(g_mass_sig, args, nargs, kwnames);
        const bool lagrange = to_bool(lagrange_arg, "lagrange");
        const std::size_t degree = lagrange ? lagrange_degree(degree_arg) : to_unsigned(degree_arg, "degree");
        const TimeMesh& mesh = mesh_argument(mesh_arg, "mesh");
        const bool periodic = to_bool(periodic_arg, "periodic");
        if (!lagrange && periodic)
            raise_error(PyExc_ValueError,
                        "periodic: the Legendre basis has no shared nodes, so it has no periodic form");
        return built(
            TimeOperator{lagrange ? TimeMatrix::lagrange_mass : TimeMatrix::legendre_mass, degree, mesh, periodic});
    });
}

// derivative(degree, n_t, lagrange, periodic, /)
auto g_derivative_sig =
    positional_only("derivative", Params{"degree", "n_t", "lagrange", "periodic"},
                    "The matrix of the integrals of phi_a phi_b' of the Legendre or continuous Lagrange "
                    "basis (independent of the widths of the mesh).");

PyObject* derivative(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg, lagrange_arg, periodic_arg] =
            match_arguments(g_derivative_sig, args, nargs, kwnames);
        const bool lagrange = to_bool(lagrange_arg, "lagrange");
        const std::size_t degree = lagrange ? lagrange_degree(degree_arg) : to_unsigned(degree_arg, "degree");
        const std::size_t n_t = checked_count(n_t_arg, "n_t", 1);
        const bool periodic = to_bool(periodic_arg, "periodic");
        if (!lagrange && periodic)
            raise_error(PyExc_ValueError,
                        "periodic: the Legendre basis has no shared nodes, so it has no periodic form");
        return built(TimeOperator{lagrange ? TimeMatrix::lagrange_derivative : TimeMatrix::legendre_derivative, degree,
                                  counted_mesh(n_t), periodic});
    });
}

// endpoints(degree, n_t, /)
auto g_endpoints_sig =
    positional_only("endpoints", Params{"degree", "n_t"},
                    "(at_start, at_end): the matrices of the limits at the start and end of every interval.");

PyObject* endpoints(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg] = match_arguments(g_endpoints_sig, args, nargs, kwnames);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const std::size_t n_t = checked_count(n_t_arg, "n_t", 1);
        const TimeMesh mesh = counted_mesh(n_t);
        PyRef at_start = PyRef::steal(built(TimeOperator{TimeMatrix::endpoint_start, degree, mesh}));
        PyRef at_end = PyRef::steal(built(TimeOperator{TimeMatrix::endpoint_end, degree, mesh}));
        return make_tuple({at_start.get(), at_end.get()});
    });
}

// upwind(degree, n_t, periodic, /)
auto g_upwind_sig = positional_only("upwind", Params{"degree", "n_t", "periodic"},
                                    "at_start^T (at_start - S at_end), S the shift by one interval.");

PyObject* upwind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg, periodic_arg] = match_arguments(g_upwind_sig, args, nargs, kwnames);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const std::size_t n_t = checked_count(n_t_arg, "n_t", 1);
        const bool periodic = to_bool(periodic_arg, "periodic");
        return built(TimeOperator{TimeMatrix::upwind, degree, counted_mesh(n_t), periodic});
    });
}

// legendre_transfer(degree, coarse, fine, restriction, /)
auto g_transfer_sig =
    positional_only("legendre_transfer", Params{"degree", "coarse", "fine", "restriction"},
                    "The Legendre prolongation from nt_coarse to nt_fine intervals, or (restriction true) "
                    "the restriction back.");

PyObject* legendre_transfer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [degree_arg, coarse_arg, fine_arg, restriction_arg] =
            match_arguments(g_transfer_sig, args, nargs, kwnames);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const TimeMesh& coarse = mesh_argument(coarse_arg, "coarse");
        const TimeMesh& fine = mesh_argument(fine_arg, "fine");
        const bool restriction = to_bool(restriction_arg, "restriction");
        const CsrShape shape = restriction ? legendre_restriction_shape(degree, coarse, fine)
                                           : legendre_prolongation_shape(degree, coarse, fine);
        return built(shape, [&]<class Index>(std::type_identity<Index>) {
            return restriction ? legendre_restriction_arrays<Index>(degree, coarse, fine)
                               : legendre_prolongation_arrays<Index>(degree, coarse, fine);
        });
    });
}

Callable g_functions[] = {
    {&g_mass_sig, mass},     {&g_derivative_sig, derivative},      {&g_endpoints_sig, endpoints},
    {&g_upwind_sig, upwind}, {&g_transfer_sig, legendre_transfer},
};

}  // namespace

void add_operator_functions(PyObject* module) { add_functions(module, g_functions); }

}  // namespace pwpoly::py::arrays
