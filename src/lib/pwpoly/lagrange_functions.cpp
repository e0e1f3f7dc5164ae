// The module functions on the Lagrange basis: nodal points, the prolongation
// matrix and the Lagrange-to-Legendre matrix. Each converts all of its
// arguments first, then checks the periodic preconditions (ValueError, with
// the core's texts), then builds its own basis and matrix and releases them
// before returning. The work keeps the interpreter lock and is interruptible
// (Ctrl-C) while it runs.
#include "lib/pwpoly/entries.hpp"
#include "lib/pwpoly/registration.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/results.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "sparse_matrix_tools/triplets.hpp"

namespace pwpoly::py {

namespace {

// A periodic precondition that fails is a ValueError here, before the core
// would report it as an internal failure.
void refuse_if(const char* violation) {
    if (violation != nullptr) [[unlikely]]
        raise_error(PyExc_ValueError, violation);
}

// get_lagrange_points(degree, n_t, T, periodic=False)
Declared g_points_sig{
    "get_lagrange_points", nullptr, Params{"degree", "n_t", "T", "periodic"}, 3, {"", "", "", "False"}};

PyObject* get_lagrange_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg, T_arg, periodic_arg] = match_arguments(g_points_sig, args, nargs, kwnames);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const std::size_t n_t = to_unsigned(n_t_arg, "n_t");
        const double T = to_float_fast(T_arg, "T");
        const bool periodic = optional_bool(periodic_arg, "periodic");
        if (periodic)
            refuse_if(periodic_basis_violation(degree, n_t));
        InterruptibleWithLock interruptible;
        const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, T, periodic);
        return make_float_list(basis.points());
    });
}

Callable g_points{&g_points_sig, get_lagrange_points};

// lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=False)
Declared g_prolongation_sig{"lagrange_prolongation_matrix",
                            nullptr,
                            Params{"nt_coarse", "nt_fine", "degree", "periodic"},
                            3,
                            {"", "", "", "False"}};

PyObject* lagrange_prolongation_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [nt_coarse_arg, nt_fine_arg, degree_arg, periodic_arg] =
            match_arguments(g_prolongation_sig, args, nargs, kwnames);
        const std::size_t nt_coarse = to_unsigned(nt_coarse_arg, "nt_coarse");
        const std::size_t nt_fine = to_unsigned(nt_fine_arg, "nt_fine");
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const bool periodic = optional_bool(periodic_arg, "periodic");
        if (periodic)
            refuse_if(periodic_prolongation_violation(degree, nt_coarse, nt_fine));
        InterruptibleWithLock interruptible;
        const LagrangeBasis coarse = LagrangeBasis::create(degree, nt_coarse, 1.0, periodic);
        return make_triplet_tuple(csr_to_triplets(coarse.get_prolongation_matrix_to(nt_fine)));
    });
}

Callable g_prolongation{&g_prolongation_sig, lagrange_prolongation_matrix};

// lagrange_to_legendre_basis_transformation(degree, n_t, periodic=False)
Declared g_transformation_sig{
    "lagrange_to_legendre_basis_transformation", nullptr, Params{"degree", "n_t", "periodic"}, 2, {"", "", "False"}};

PyObject* lagrange_to_legendre_basis_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg, periodic_arg] = match_arguments(g_transformation_sig, args, nargs, kwnames);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const std::size_t n_t = to_unsigned(n_t_arg, "n_t");
        const bool periodic = optional_bool(periodic_arg, "periodic");
        if (periodic)
            refuse_if(periodic_basis_violation(degree, n_t));
        InterruptibleWithLock interruptible;
        const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, 1.0, periodic);
        return make_triplet_tuple(csr_to_triplets(basis.get_transformation_matrix_to_legendre()));
    });
}

Callable g_transformation{&g_transformation_sig, lagrange_to_legendre_basis_transformation};

}  // namespace

void register_get_lagrange_points(PyObject* module) { add_function(module, g_points); }

void register_lagrange_prolongation_matrix(PyObject* module) { add_function(module, g_prolongation); }

void register_lagrange_to_legendre_basis_transformation(PyObject* module) { add_function(module, g_transformation); }

}  // namespace pwpoly::py
