// The Python class LegendreBasisEvaluator: one piecewise Legendre expansion
// whose coefficients are converted once (set_dofs) and then evaluated at
// single times or, with the interpreter lock released, at many times.
//
// The coefficient array is written only under the exclusive borrow and read
// only under shared borrows, so it needs no lock of its own: while
// evaluate_many runs without the interpreter lock, a concurrent set_dofs
// fails with "Already borrowed" instead of replacing the array under the
// workers.
#include "lib/arguments.hpp"
#include "lib/entries.hpp"
#include "lib/float_buffer.hpp"
#include "lib/instance.hpp"
#include "lib/interpreter_lock.hpp"
#include "lib/registration.hpp"
#include "lib/results.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"

#include <vector>

namespace pwpoly::py {

namespace {

struct EvaluatorValue {
    LegendreBasis basis;
    std::size_t degree;
    std::size_t n_t;
    std::vector<double> coefficients;  // n_t x (degree + 1), column-major

    ColMatrixView matrix() const { return {coefficients.data(), n_t, degree + 1}; }
};
using Object = Instance<EvaluatorValue>;

constexpr const char* kClassName = "LegendreBasisEvaluator";
std::atomic<PyObject*> g_type{nullptr};

Signature g_new_sig{"__new__", kClassName, {"degree", "n_t", "T"}, 3, 3};
Signature g_set_dofs_sig{"set_dofs", kClassName, {"legendre_vals"}, 1, 1};
Signature g_evaluate_at_sig{"evaluate_at", kClassName, {"t"}, 1, 1};
Signature g_evaluate_derivative_at_sig{"evaluate_derivative_at", kClassName, {"t"}, 1, 1};
Signature g_evaluate_many_sig{"evaluate_many", kClassName, {"t_values"}, 1, 1};
Signature g_evaluate_derivative_many_sig{"evaluate_derivative_many", kClassName, {"t_values"}, 1, 1};

Object& self_of(PyObject* self) {
    return receiver<EvaluatorValue>(self, g_type.load(std::memory_order_relaxed), kClassName);
}

PyObject* evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        match_arguments(g_new_sig, args, kwargs, slots);
        const std::size_t degree = to_unsigned(slots[0], "degree");
        const std::size_t n_t = to_unsigned(slots[1], "n_t");
        const double T = to_float_fast(slots[2], "T");
        const std::size_t count = checked_array_count(checked_mul(n_t, checked_add(degree, 1)), sizeof(double));
        return new_instance(type, EvaluatorValue{LegendreBasis(degree, n_t, T), degree, n_t,
                                                 std::vector<double>(count, 0.0)});
    });
}

PyObject* set_dofs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        match_arguments(g_set_dofs_sig, args, nargs, kwnames, slots);
        Object& obj = self_of(self);
        ExclusiveBorrow borrow(obj.borrow);
        std::vector<double> values = to_float_list(slots[0], "legendre_vals");
        EvaluatorValue& value = obj.payload;
        assert_equal(values.size(), value.coefficients.size(),
                     "LegendreBasisEvaluator: set_dofs: input vector has wrong length");
        value.coefficients.swap(values);
        Py_RETURN_NONE;
    });
}

template <double (LegendreBasis::*Evaluate)(double, ColMatrixView) const>
PyObject* evaluate_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const Signature& sig) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        match_arguments(sig, args, nargs, kwnames, slots);
        Object& obj = self_of(self);
        SharedBorrow borrow(obj.borrow);
        const double t = to_float_fast(slots[0], "t");
        const EvaluatorValue& value = obj.payload;
        check_has_intervals(value.basis);
        return make_float((value.basis.*Evaluate)(t, value.matrix()));
    });
}

PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return evaluate_one<&LegendreBasis::evaluate>(self, args, nargs, kwnames, g_evaluate_at_sig);
}

PyObject* evaluate_derivative_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return evaluate_one<&LegendreBasis::evaluate_derivative>(self, args, nargs, kwnames, g_evaluate_derivative_at_sig);
}

template <void (LegendreBasis::*EvaluateInPlace)(std::span<double>, ColMatrixView) const>
PyObject* evaluate_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const Signature& sig) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        match_arguments(sig, args, nargs, kwnames, slots);
        Object& obj = self_of(self);
        SharedBorrow borrow(obj.borrow);
        // The times are copied out of the exporter; the computation only
        // sees the private copy, which it overwrites with the results.
        FloatBuffer times(slots[0], "t_values");
        const EvaluatorValue& value = obj.payload;
        check_has_intervals(value.basis);
        {
            WithoutInterpreterLock unlocked;
            (value.basis.*EvaluateInPlace)(times.values(), value.matrix());
        }
        return make_float_list(times.values());
    });
}

PyObject* evaluate_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return evaluate_batch<&LegendreBasis::evaluate_many_in_place>(self, args, nargs, kwnames, g_evaluate_many_sig);
}

PyObject* evaluate_derivative_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return evaluate_batch<&LegendreBasis::evaluate_derivative_many_in_place>(self, args, nargs, kwnames,
                                                                             g_evaluate_derivative_many_sig);
}

void evaluator_dealloc(PyObject* self) { dealloc_instance<EvaluatorValue>(self); }

PyMethodDef g_methods[] = {
    {"set_dofs", as_method(set_dofs), kFastCall, "set_dofs($self, legendre_vals)\n--\n\n"},
    {"evaluate_at", as_method(evaluate_at), kFastCall, "evaluate_at($self, t)\n--\n\n"},
    {"evaluate_derivative_at", as_method(evaluate_derivative_at), kFastCall,
     "evaluate_derivative_at($self, t)\n--\n\n"},
    {"evaluate_many", as_method(evaluate_many), kFastCall, "evaluate_many($self, t_values)\n--\n\n"},
    {"evaluate_derivative_many", as_method(evaluate_derivative_many), kFastCall,
     "evaluate_derivative_many($self, t_values)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(evaluator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("LegendreBasisEvaluator(degree, n_t, T)\n--\n\n"
                                  "Class to evaluate legendre basis more often without copying the dofs from "
                                  "python each time")},
    {0, nullptr},
};

PyType_Spec g_spec = make_type_spec<EvaluatorValue>("builtins.LegendreBasisEvaluator", g_slots);

}  // namespace

void register_legendre_basis_evaluator(PyObject* module) {
    add_class(module, kClassName, g_type, g_spec,
              {&g_new_sig, &g_set_dofs_sig, &g_evaluate_at_sig, &g_evaluate_derivative_at_sig, &g_evaluate_many_sig,
               &g_evaluate_derivative_many_sig});
}

}  // namespace pwpoly::py
