// The Python class LegendreBasis: a piecewise Legendre basis that takes the
// coefficients anew with every evaluation. Immutable; every method takes a
// shared borrow and keeps the interpreter lock.
#include "lib/arguments.hpp"
#include "lib/entries.hpp"
#include "lib/instance.hpp"
#include "lib/registration.hpp"
#include "lib/results.hpp"
#include "piecewise_polynomials/coefficient_matrix.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"

#include <vector>

namespace pwpoly::py {

namespace {

struct BasisValue {
    LegendreBasis basis;
    std::size_t degree;
    std::size_t n_t;
};
using Object = Instance<BasisValue>;

constexpr const char* kClassName = "LegendreBasis";
std::atomic<PyObject*> g_type{nullptr};

Signature g_new_sig{"__new__", kClassName, {"degree", "n_t", "T"}, 3, 3};
Signature g_evaluate_at_sig{"evaluate_at", kClassName, {"t", "legendre_vals"}, 2, 2};
Signature g_all_values_sig{"evaluate_all_basis_functions", kClassName, {"t"}, 1, 1};
Signature g_all_derivatives_sig{"evaluate_all_basis_function_derivatives", kClassName, {"t"}, 1, 1};

PyObject* basis_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        match_arguments(g_new_sig, args, kwargs, slots);
        const std::size_t degree = to_unsigned(slots[0], "degree");
        const std::size_t n_t = to_unsigned(slots[1], "n_t");
        const double T = to_float_fast(slots[2], "T");
        return new_instance(type, BasisValue{LegendreBasis(degree, n_t, T), degree, n_t});
    });
}

PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        match_arguments(g_evaluate_at_sig, args, nargs, kwnames, slots);
        Object& obj = receiver<BasisValue>(self, g_type.load(std::memory_order_relaxed), kClassName);
        SharedBorrow borrow(obj.borrow);
        const double t = to_float_fast(slots[0], "t");
        const std::vector<double> coefficients = to_float_list(slots[1], "legendre_vals");
        const BasisValue& value = obj.payload;
        check_has_intervals(value.basis);
        return make_float(value.basis.evaluate(t, column_major_view(coefficients, value.n_t, value.degree)));
    });
}

template <std::vector<double> (LegendreBasis::*AllBasis)(double) const>
PyObject* evaluate_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const Signature& sig) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        match_arguments(sig, args, nargs, kwnames, slots);
        Object& obj = receiver<BasisValue>(self, g_type.load(std::memory_order_relaxed), kClassName);
        SharedBorrow borrow(obj.borrow);
        const double t = to_float_fast(slots[0], "t");
        check_has_intervals(obj.payload.basis);
        const std::vector<double> values = (obj.payload.basis.*AllBasis)(t);
        return make_float_list(values);
    });
}

PyObject* evaluate_all_basis_functions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return evaluate_all<&LegendreBasis::evaluate_all_basis_functions>(self, args, nargs, kwnames, g_all_values_sig);
}

PyObject* evaluate_all_basis_function_derivatives(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) noexcept {
    return evaluate_all<&LegendreBasis::evaluate_all_basis_function_derivatives>(self, args, nargs, kwnames,
                                                                                 g_all_derivatives_sig);
}

void basis_dealloc(PyObject* self) { dealloc_instance<BasisValue>(self); }

PyMethodDef g_methods[] = {
    {"evaluate_at", as_method(evaluate_at), kFastCall, "evaluate_at($self, t, legendre_vals)\n--\n\n"},
    {"evaluate_all_basis_functions", as_method(evaluate_all_basis_functions), kFastCall,
     "evaluate_all_basis_functions($self, t)\n--\n\n"},
    {"evaluate_all_basis_function_derivatives", as_method(evaluate_all_basis_function_derivatives), kFastCall,
     "evaluate_all_basis_function_derivatives($self, t)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(basis_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(basis_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("LegendreBasis(degree, n_t, T)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = make_type_spec<BasisValue>("builtins.LegendreBasis", g_slots);

}  // namespace

void register_legendre_basis(PyObject* module) {
    add_class(module, kClassName, g_type, g_spec,
              {&g_new_sig, &g_evaluate_at_sig, &g_all_values_sig, &g_all_derivatives_sig});
}

}  // namespace pwpoly::py
