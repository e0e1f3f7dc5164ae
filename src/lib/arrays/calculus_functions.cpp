// The module functions of the private array module for calculus on the
// mesh: the Gauss-Legendre rule on every interval, the L2 projection of
// sampled values, and the expansion that interpolates nodal Lagrange values.
// Each computes without the interpreter lock and hands its arrays to numpy
// as OwnedArray objects.
#include <utility>

#include "lib/arrays/native.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/buffers.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/pyref.hpp"
#include "lib/toolkit/results.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "piecewise_polynomials/calculus/expansion_calculus.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"

namespace pwpoly::py::arrays {

namespace {

// gauss_legendre(points, mesh, /)
auto g_gauss_sig =
    positional_only("gauss_legendre", Params{"points", "mesh"},
                    "(times, weights), n_t * points each, interval-major: the Gauss-Legendre rule of every "
                    "interval.");

PyObject* gauss_legendre(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [points_arg, mesh_arg] = match_arguments(g_gauss_sig, args, nargs, kwnames);
        const std::size_t points = checked_count(points_arg, "points", 1);
        const TimeMesh& mesh = mesh_argument(mesh_arg, "mesh");
        QuadratureRule rule = without_interpreter_lock([&] { return gauss_legendre_on_mesh(points, mesh); });
        PyRef times = PyRef::steal(owned_array(std::move(rule.nodes)));
        PyRef weights = PyRef::steal(owned_array(std::move(rule.weights)));
        return make_tuple({times.get(), weights.get()});
    });
}

// project(values, degree, n_t, points, m, /)
auto g_project_sig =
    positional_only("project", Params{"values", "degree", "n_t", "points", "m"},
                    "The coefficients, shape (degree + 1, n_t, m), of the L2 projection of values sampled at "
                    "the Gauss-Legendre nodes of every interval (shape (n_t * points, m)).");

PyObject* project(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [values_arg, degree_arg, n_t_arg, points_arg, m_arg] =
            match_arguments(g_project_sig, args, nargs, kwnames);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const std::size_t n_t = checked_count(n_t_arg, "n_t", 1);
        // Fewer points than coefficients per interval would leave the
        // projection underdetermined: the rule would not integrate the
        // products of the basis functions exactly.
        const std::size_t points = to_unsigned(points_arg, "points");
        if (points < checked_add(degree, 1))
            raise_format(PyExc_ValueError, "points must be at least degree + 1 = %zu, got %zu", degree + 1, points);
        const std::size_t m = to_unsigned(m_arg, "m");
        Float64Input values(values_arg, "values");
        const std::size_t expected = checked_mul(checked_mul(n_t, points), m);
        if (values.size() != expected)
            raise_format(PyExc_ValueError, "values: expected n_t * points * m = %zu values, got %zu", expected,
                         values.size());
        const std::size_t count = checked_mul(checked_mul(checked_add(degree, 1), n_t), m);
        auto [obj, out] = new_owned_array<double>(count);
        PyRef result = PyRef::steal(obj);
        without_interpreter_lock([&, out = out] { project_values(degree, n_t, points, m, values.data(), out); });
        return result.release();
    });
}

// interpolate(values, degree, n_t, periodic, m, /)
auto g_interpolate_sig =
    positional_only("interpolate", Params{"values", "degree", "n_t", "periodic", "m"},
                    "The coefficients, shape (degree + 1, n_t, m), of the expansion through the nodal "
                    "values (shape (nodes, m)): the Lagrange-to-Legendre matrix times the values.");

PyObject* interpolate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [values_arg, degree_arg, n_t_arg, periodic_arg, m_arg] =
            match_arguments(g_interpolate_sig, args, nargs, kwnames);
        const std::size_t degree = checked_count(degree_arg, "degree", 1);
        const std::size_t n_t = checked_count(n_t_arg, "n_t", 1);
        const bool periodic = to_bool(periodic_arg, "periodic");
        const std::size_t m = to_unsigned(m_arg, "m");
        check_lagrange_degree(degree);
        Float64Input values(values_arg, "values");
        const std::size_t nodes = periodic ? checked_mul(n_t, degree) : checked_add(checked_mul(n_t, degree), 1);
        if (values.size() != checked_mul(nodes, m))
            raise_format(PyExc_ValueError, "values: expected %zu nodes * m = %zu values, got %zu", nodes, nodes * m,
                         values.size());
        const std::size_t count = checked_mul(checked_mul(checked_add(degree, 1), n_t), m);
        auto [obj, out] = new_owned_array<double>(count);
        PyRef result = PyRef::steal(obj);
        without_interpreter_lock([&, out = out] {
            const CsrMatrix a =
                LagrangeBasis::create(degree, n_t, 1.0, periodic).get_transformation_matrix_to_legendre();
            apply_csr_rows(a, m, values.data(), out);
        });
        return result.release();
    });
}

Callable g_functions[] = {
    {&g_gauss_sig, gauss_legendre},
    {&g_project_sig, project},
    {&g_interpolate_sig, interpolate},
};

}  // namespace

void add_calculus_functions(PyObject* module) { add_functions(module, g_functions); }

}  // namespace pwpoly::py::arrays
