// The Python class LegendreBasis: a piecewise Legendre basis that takes the
// coefficients anew with every evaluation. Immutable; every method takes a
// shared borrow and keeps the interpreter lock.
#include <vector>

#include "lib/pwpoly/borrow.hpp"
#include "lib/pwpoly/entries.hpp"
#include "lib/pwpoly/registration.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/results.hpp"
#include "lib/toolkit/types.hpp"
#include "piecewise_polynomials/basis/coefficient_matrix.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly::py {

namespace {

struct BasisValue {
    BorrowCounter borrow;
    LegendreBasis basis;
    std::size_t degree;
    std::size_t n_t;

    BasisValue(std::size_t d, std::size_t n, double T) : basis(d, n, T), degree(d), n_t(n) {}
};

constexpr const char* kClassName = "LegendreBasis";
std::atomic<PyObject*> g_type{nullptr};

Declared g_new_sig{"__new__", kClassName, Params{"degree", "n_t", "T"}, 3};
Declared g_evaluate_at_sig{"evaluate_at", kClassName, Params{"t", "legendre_vals"}, 2};
Declared g_all_values_sig{"evaluate_all_basis_functions", kClassName, Params{"t"}, 1};
Declared g_all_derivatives_sig{"evaluate_all_basis_function_derivatives", kClassName, Params{"t"}, 1};

BasisValue& self_of(PyObject* self) { return receiver<BasisValue>(self, g_type, kClassName); }

PyObject* basis_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg, T_arg] = match_arguments(g_new_sig, args, kwargs);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const std::size_t n_t = to_unsigned(n_t_arg, "n_t");
        const double T = to_float_fast(T_arg, "T");
        return new_instance<BasisValue>(type, degree, n_t, T);
    });
}

PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [t_arg, legendre_vals_arg] = match_arguments(g_evaluate_at_sig, args, nargs, kwnames);
        BasisValue& value = self_of(self);
        SharedBorrow borrow(value.borrow);
        const double t = to_float_fast(t_arg, "t");
        const std::vector<double> coefficients = to_float_list(legendre_vals_arg, "legendre_vals");
        check_has_intervals(value.basis);
        return make_float(value.basis.evaluate(t, column_major_view(coefficients, value.n_t, value.degree)));
    });
}

template <std::vector<double> (LegendreBasis::*AllBasis)(double) const>
PyObject* evaluate_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const Declared<1>& sig) {
    return guarded([&]() -> PyObject* {
        const auto [t_arg] = match_arguments(sig, args, nargs, kwnames);
        BasisValue& value = self_of(self);
        SharedBorrow borrow(value.borrow);
        const double t = to_float_fast(t_arg, "t");
        check_has_intervals(value.basis);
        const std::vector<double> values = (value.basis.*AllBasis)(t);
        return make_float_list(values);
    });
}

PyObject* evaluate_all_basis_functions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_all<&LegendreBasis::evaluate_all_basis_functions>(self, args, nargs, kwnames, g_all_values_sig);
}

PyObject* evaluate_all_basis_function_derivatives(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    return evaluate_all<&LegendreBasis::evaluate_all_basis_function_derivatives>(self, args, nargs, kwnames,
                                                                                 g_all_derivatives_sig);
}

Callable g_methods[] = {
    {&g_evaluate_at_sig, evaluate_at},
    {&g_all_values_sig, evaluate_all_basis_functions},
    {&g_all_derivatives_sig, evaluate_all_basis_function_derivatives},
};

ClassDefinition g_class{"builtins.LegendreBasis",
                        static_cast<int>(sizeof(Instance<BasisValue>)),
                        0,
                        &g_new_sig,
                        basis_new,
                        dealloc_instance<BasisValue>,
                        g_methods,
                        {}};

}  // namespace

void register_legendre_basis(PyObject* module) { add_class(module, kClassName, g_type, g_class); }

}  // namespace pwpoly::py
