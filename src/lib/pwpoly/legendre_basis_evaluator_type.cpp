// The Python class LegendreBasisEvaluator: one piecewise Legendre expansion
// whose coefficients are converted once (set_dofs) and then evaluated at
// single times or, with the interpreter lock released, at many times.
//
// The coefficient array is written only under the exclusive borrow and read
// only under shared borrows, so it needs no lock of its own: while
// evaluate_many runs without the interpreter lock, a concurrent set_dofs
// fails with "Already borrowed" instead of replacing the array under the
// workers.
#include <vector>

#include "lib/pwpoly/borrow.hpp"
#include "lib/pwpoly/entries.hpp"
#include "lib/pwpoly/registration.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/buffers.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/results.hpp"
#include "lib/toolkit/types.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"

namespace pwpoly::py {

namespace {

struct EvaluatorValue {
    BorrowCounter borrow;
    LegendreBasis basis;
    std::size_t degree;
    std::size_t n_t;
    std::vector<double> coefficients;  // n_t x (degree + 1), column-major

    EvaluatorValue(std::size_t d, std::size_t n, double T, std::size_t count)
        : basis(d, n, T), degree(d), n_t(n), coefficients(count, 0.0) {}

    ColMatrixView matrix() const { return {coefficients.data(), n_t, degree + 1}; }
};

constexpr const char* kClassName = "LegendreBasisEvaluator";
std::atomic<PyObject*> g_type{nullptr};

Declared g_new_sig{"__new__",
                   kClassName,
                   Params{"degree", "n_t", "T"},
                   3,
                   {},
                   false,
                   "Class to evaluate legendre basis more often without copying the dofs from python each time"};
Declared g_set_dofs_sig{"set_dofs", kClassName, Params{"legendre_vals"}, 1};
Declared g_evaluate_at_sig{"evaluate_at", kClassName, Params{"t"}, 1};
Declared g_evaluate_derivative_at_sig{"evaluate_derivative_at", kClassName, Params{"t"}, 1};
Declared g_evaluate_many_sig{"evaluate_many", kClassName, Params{"t_values"}, 1};
Declared g_evaluate_derivative_many_sig{"evaluate_derivative_many", kClassName, Params{"t_values"}, 1};

EvaluatorValue& self_of(PyObject* self) { return receiver<EvaluatorValue>(self, g_type, kClassName); }

PyObject* evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const auto [degree_arg, n_t_arg, T_arg] = match_arguments(g_new_sig, args, kwargs);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const std::size_t n_t = to_unsigned(n_t_arg, "n_t");
        const double T = to_float_fast(T_arg, "T");
        const std::size_t count = checked_array_count(checked_mul(n_t, checked_add(degree, 1)), sizeof(double));
        return new_instance<EvaluatorValue>(type, degree, n_t, T, count);
    });
}

PyObject* set_dofs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [legendre_vals_arg] = match_arguments(g_set_dofs_sig, args, nargs, kwnames);
        EvaluatorValue& value = self_of(self);
        ExclusiveBorrow borrow(value.borrow);
        std::vector<double> values = to_float_list(legendre_vals_arg, "legendre_vals");
        assert_equal(values.size(), value.coefficients.size(),
                     "LegendreBasisEvaluator: set_dofs: input vector has wrong length");
        value.coefficients.swap(values);
        Py_RETURN_NONE;
    });
}

// A method of one argument on an evaluator whose coefficients stay put
// during the call (a set_dofs from another thread waits for it).
template <class Body>
PyObject* with_one_argument(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            const Declared<1>& sig, Body body) {
    return guarded([&]() -> PyObject* {
        const auto [arg] = match_arguments(sig, args, nargs, kwnames);
        EvaluatorValue& value = self_of(self);
        SharedBorrow borrow(value.borrow);
        return body(value, arg);
    });
}

template <double (LegendreBasis::*Evaluate)(double, ColMatrixView) const>
PyObject* evaluate_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const Declared<1>& sig) {
    return with_one_argument(self, args, nargs, kwnames, sig, [](EvaluatorValue& value, PyObject* t_arg) {
        const double t = to_float_fast(t_arg, "t");
        check_has_intervals(value.basis);
        return make_float((value.basis.*Evaluate)(t, value.matrix()));
    });
}

PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_one<&LegendreBasis::evaluate>(self, args, nargs, kwnames, g_evaluate_at_sig);
}

PyObject* evaluate_derivative_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_one<&LegendreBasis::evaluate_derivative>(self, args, nargs, kwnames, g_evaluate_derivative_at_sig);
}

template <void (LegendreBasis::*EvaluateInPlace)(std::span<double>, ColMatrixView) const>
PyObject* evaluate_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const Declared<1>& sig) {
    return with_one_argument(self, args, nargs, kwnames, sig, [](EvaluatorValue& value, PyObject* t_values) {
        // The times are copied out of the exporter; the computation only
        // sees the private copy, which it overwrites with the results.
        FloatBuffer times(t_values, "t_values");
        check_has_intervals(value.basis);
        without_interpreter_lock([&] { (value.basis.*EvaluateInPlace)(times.values(), value.matrix()); });
        return make_float_list(times.values());
    });
}

PyObject* evaluate_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_batch<&LegendreBasis::evaluate_many_in_place>(self, args, nargs, kwnames, g_evaluate_many_sig);
}

PyObject* evaluate_derivative_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_batch<&LegendreBasis::evaluate_derivative_many_in_place>(self, args, nargs, kwnames,
                                                                             g_evaluate_derivative_many_sig);
}

Callable g_methods[] = {
    {&g_set_dofs_sig, set_dofs},
    {&g_evaluate_at_sig, evaluate_at},
    {&g_evaluate_derivative_at_sig, evaluate_derivative_at},
    {&g_evaluate_many_sig, evaluate_many},
    {&g_evaluate_derivative_many_sig, evaluate_derivative_many},
};

ClassDefinition g_class{"builtins.LegendreBasisEvaluator",
                        static_cast<int>(sizeof(Instance<EvaluatorValue>)),
                        0,
                        &g_new_sig,
                        evaluator_new,
                        dealloc_instance<EvaluatorValue>,
                        g_methods,
                        {}};

}  // namespace

void register_legendre_basis_evaluator(PyObject* module) { add_class(module, kClassName, g_type, g_class); }

}  // namespace pwpoly::py
