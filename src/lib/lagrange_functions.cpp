// The module functions on the Lagrange basis: nodal points, the prolongation
// matrix and the Lagrange-to-Legendre matrix. Each converts all of its
// arguments first, then checks the periodic preconditions (ValueError), then
// builds its own basis and matrix and releases them before returning.
#include "lib/arguments.hpp"
#include "lib/entries.hpp"
#include "lib/errors.hpp"
#include "lib/registration.hpp"
#include "lib/results.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "sparse_matrix_tools/triplets.hpp"

namespace pwpoly::py {

namespace {

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

bool optional_bool(PyObject* slot, const char* name) { return slot != nullptr && to_bool(slot, name); }

void check_periodic_basis(std::size_t degree, std::size_t n_t) {
    if (degree == 0)
        raise_value_error("Periodic Lagrange bases require polynomial degree at least 1");
    if (n_t == 0)
        raise_value_error("Periodic Lagrange bases require at least one interval");
}

// get_lagrange_points(degree, n_t, T, periodic=False)
Signature g_points_sig{"get_lagrange_points", nullptr, {"degree", "n_t", "T", "periodic"}, 4, 3};

PyObject* get_lagrange_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        match_arguments(g_points_sig, args, nargs, kwnames, slots);
        const std::size_t degree = to_unsigned(slots[0], "degree");
        const std::size_t n_t = to_unsigned(slots[1], "n_t");
        const double T = to_float_fast(slots[2], "T");
        const bool periodic = optional_bool(slots[3], "periodic");
        if (periodic)
            check_periodic_basis(degree, n_t);
        const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, T, periodic);
        return make_float_list(basis.points());
    });
}

PyMethodDef g_points_def = {"get_lagrange_points", as_method(get_lagrange_points), kFastCall,
                            "get_lagrange_points(degree, n_t, T, periodic=False)\n--\n\n"};

// lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=False)
Signature g_prolongation_sig{
    "lagrange_prolongation_matrix", nullptr, {"nt_coarse", "nt_fine", "degree", "periodic"}, 4, 3};

PyObject* lagrange_prolongation_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        match_arguments(g_prolongation_sig, args, nargs, kwnames, slots);
        const std::size_t nt_coarse = to_unsigned(slots[0], "nt_coarse");
        const std::size_t nt_fine = to_unsigned(slots[1], "nt_fine");
        const std::size_t degree = to_unsigned(slots[2], "degree");
        const bool periodic = optional_bool(slots[3], "periodic");
        if (periodic) {
            if (degree == 0)
                raise_value_error("Periodic Lagrange bases require polynomial degree at least 1");
            if (nt_coarse == 0 || nt_fine == 0)
                raise_value_error("Periodic Lagrange prolongation requires positive interval counts");
        }
        const LagrangeBasis coarse = LagrangeBasis::create(degree, nt_coarse, 1.0, periodic);
        return make_triplet_tuple(csr_to_triplets(coarse.get_prolongation_matrix_to(nt_fine)));
    });
}

PyMethodDef g_prolongation_def = {"lagrange_prolongation_matrix", as_method(lagrange_prolongation_matrix),
                                  kFastCall,
                                  "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=False)\n--\n\n"};

// lagrange_to_legendre_basis_transformation(degree, n_t, periodic=False)
Signature g_transformation_sig{
    "lagrange_to_legendre_basis_transformation", nullptr, {"degree", "n_t", "periodic"}, 3, 2};

PyObject* lagrange_to_legendre_basis_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        match_arguments(g_transformation_sig, args, nargs, kwnames, slots);
        const std::size_t degree = to_unsigned(slots[0], "degree");
        const std::size_t n_t = to_unsigned(slots[1], "n_t");
        const bool periodic = optional_bool(slots[2], "periodic");
        if (periodic)
            check_periodic_basis(degree, n_t);
        const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, 1.0, periodic);
        return make_triplet_tuple(csr_to_triplets(basis.get_transormation_matrix_to_legendre()));
    });
}

PyMethodDef g_transformation_def = {
    "lagrange_to_legendre_basis_transformation", as_method(lagrange_to_legendre_basis_transformation), kFastCall,
    "lagrange_to_legendre_basis_transformation(degree, n_t, periodic=False)\n--\n\n"};

}  // namespace

bool register_get_lagrange_points(PyObject* module) { return add_function(module, &g_points_def, g_points_sig); }

bool register_lagrange_prolongation_matrix(PyObject* module) {
    return add_function(module, &g_prolongation_def, g_prolongation_sig);
}

bool register_lagrange_to_legendre_basis_transformation(PyObject* module) {
    return add_function(module, &g_transformation_def, g_transformation_sig);
}

}  // namespace pwpoly::py
