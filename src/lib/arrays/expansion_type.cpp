// `_native.Expansion(coefficients, degree, mesh, m, /)`: the native half of
// pwpoly_arrays.Expansion. It owns a private copy of the coefficients of m
// components, C-order of shape (degree + 1, n_t, m) (for m = 1 exactly
// pwpoly's layout j + n_t * i), shares the mesh, and never changes after
// construction, so any
// number of threads may evaluate it at once without a lock or a borrow
// count. The coefficients are exported read-only through the buffer
// protocol; the Python class shows them to users through that export,
// without a second copy.
#include <atomic>
#include <utility>
#include <vector>

#include "lib/arrays/native.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/buffers.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/pyref.hpp"
#include "lib/toolkit/results.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"
#include "piecewise_polynomials/calculus/expansion_calculus.hpp"
#include "piecewise_polynomials/evaluation/parallel_evaluation.hpp"
#include "piecewise_polynomials/evaluation/vector_evaluation.hpp"

namespace pwpoly::py::arrays {

namespace {

struct Payload {
    LegendreBasis basis;
    std::size_t m;  // components
    std::vector<double> coefficients;
    Py_ssize_t shape;  // for the buffer export
    Py_ssize_t itemsize = sizeof(double);

    Payload(LegendreBasis b, std::size_t components, std::vector<double>&& c)
        : basis(b), m(components), coefficients(std::move(c)), shape(static_cast<Py_ssize_t>(coefficients.size())) {}

    // The matrix of the scalar case (m = 1).
    ColMatrixView matrix() const { return {coefficients.data(), basis.n_t(), basis.degree() + 1}; }
};

constexpr const char* kClassName = "Expansion";
std::atomic<PyObject*> g_type{nullptr};

auto g_new_sig = positional_only("__new__", kClassName, Params{"coefficients", "degree", "mesh", "m"},
                                 "Native storage, evaluation and calculus of pwpoly_arrays.Expansion: m components, "
                                 "coefficients of shape (degree + 1, n_t, m) in C order.");
auto g_evaluate_sig = positional_only("evaluate", kClassName, Params{"t", "derivative"},
                                      "The value (or derivative) at one time, as a float (one component only).");
auto g_evaluate_into_sig =
    positional_only("evaluate_into", kClassName, Params{"t", "out", "derivative"},
                    "Fills out (t.size * m items) with the values (derivatives) at the times t, both in C "
                    "order; out may be t itself for one component, but may not overlap it otherwise.");
auto g_endpoints_sig =
    positional_only("endpoint_values", kClassName, Params{},
                    "(at_start, at_end): n_t * m values each, the limits at the start and end of every interval.");
auto g_integral_sig =
    positional_only("integral", kClassName, Params{}, "The integrals over the whole mesh of the m components.");
auto g_antiderivative_sig =
    positional_only("antiderivative", kClassName, Params{},
                    "The coefficients, shape (degree + 2, n_t, m), of the antiderivative that is 0 at the start.");

const Payload& self_of(PyObject* self) { return receiver<Payload>(self, g_type, kClassName); }

PyObject* expansion_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        const auto [coefficients_arg, degree_arg, mesh_arg, m_arg] = match_arguments(g_new_sig, args, kwargs);
        const std::size_t degree = to_unsigned(degree_arg, "degree");
        const TimeMesh& mesh = mesh_argument(mesh_arg, "mesh");
        const std::size_t m = to_unsigned(m_arg, "m");
        const std::size_t n_t = mesh.n_t();
        std::vector<double> coefficients;
        {
            Float64Input given(coefficients_arg, "coefficients");
            const std::size_t expected = checked_mul(checked_mul(checked_add(degree, 1), n_t), m);
            if (given.size() != expected)
                raise_format(PyExc_ValueError,
                             "coefficients: expected (degree + 1) * n_t * m = %zu values for degree %zu, n_t %zu and "
                             "m %zu, got %zu",
                             expected, degree, n_t, m, given.size());
            coefficients.assign(given.data(), given.data() + given.size());
        }
        return new_instance<Payload>(type, LegendreBasis(degree, mesh), m, std::move(coefficients));
    });
}

PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [t_arg, derivative_arg] = match_arguments(g_evaluate_sig, args, nargs, kwnames);
        const Payload& p = self_of(self);
        const double t = to_float_fast(t_arg, "t");
        const bool derivative = to_bool(derivative_arg, "derivative");
        if (p.m != 1)
            raise_format(PyExc_ValueError, "evaluate: gives one float, but the expansion has %zu components", p.m);
        if (t != t)  // a NaN time gives NaN
            return make_float(t);
        return make_float(derivative ? p.basis.evaluate_derivative(t, p.matrix()) : p.basis.evaluate(t, p.matrix()));
    });
}

PyObject* evaluate_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [t_arg, out_arg, derivative_arg] = match_arguments(g_evaluate_into_sig, args, nargs, kwnames);
        const Payload& p = self_of(self);
        const bool derivative = to_bool(derivative_arg, "derivative");
        Float64Input times(t_arg, "t");
        Float64Output out(out_arg, "out");
        const std::size_t expected = checked_mul(times.size(), p.m);
        if (out.size() != expected)
            raise_format(PyExc_ValueError, "out: expected %zu items (t.size * m = %zu * %zu), got %zu", expected,
                         times.size(), p.m, out.size());
        // Only the scalar kernels may write over their own times.
        if (may_overlap(times.view(), out.view()) && !(p.m == 1 && same_array(times.view(), out.view())))
            raise_error(PyExc_ValueError, "out: shares memory with t without being t itself (the same array, "
                                          "shape and strides)");
        without_interpreter_lock([&] {
            const std::span<const double> t{times.data(), times.size()};
            // A NaN time gives NaN in every component.
            if (p.m == 1)
                evaluate_many_into(p.basis, p.matrix(), derivative, t, out.data(), {nullptr, nullptr, true});
            else
                evaluate_vector_many_into(p.basis, p.coefficients.data(), p.m, derivative, t, out.data(), nullptr,
                                          true);
        });
        out.commit();
        Py_RETURN_NONE;
    });
}

PyObject* endpoint_values_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        match_arguments(g_endpoints_sig, args, nargs, kwnames);
        const Payload& p = self_of(self);
        const std::size_t count = checked_mul(p.basis.n_t(), p.m);
        auto [start_obj, start] = new_owned_array<double>(count);
        PyRef start_ref = PyRef::steal(start_obj);
        auto [end_obj, end] = new_owned_array<double>(count);
        PyRef end_ref = PyRef::steal(end_obj);
        without_interpreter_lock([&, start = start, end = end] {
            endpoint_values(p.basis.degree(), p.basis.n_t(), p.m, p.coefficients.data(), start, end);
        });
        return make_tuple({start_ref.get(), end_ref.get()});
    });
}

PyObject* integral_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        match_arguments(g_integral_sig, args, nargs, kwnames);
        const Payload& p = self_of(self);
        auto [obj, values] = new_owned_array<double>(p.m);
        PyRef ref = PyRef::steal(obj);
        without_interpreter_lock(
            [&, values = values] { integral(p.basis.degree(), p.basis.mesh(), p.m, p.coefficients.data(), values); });
        return ref.release();
    });
}

PyObject* antiderivative_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        match_arguments(g_antiderivative_sig, args, nargs, kwnames);
        const Payload& p = self_of(self);
        return owned_array(without_interpreter_lock(
            [&] { return antiderivative(p.basis.degree(), p.basis.mesh(), p.m, p.coefficients.data()); }));
    });
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the coefficients of an Expansion are read-only");
        view->obj = nullptr;
        return -1;
    }
    Payload& p = reinterpret_cast<Instance<Payload>*>(self)->payload;
    export_1d(self, view, flags, p.coefficients.data(), &p.shape, &p.itemsize, "d", true);
    return 0;
}

Callable g_methods[] = {
    {&g_evaluate_sig, evaluate},    {&g_evaluate_into_sig, evaluate_into},      {&g_endpoints_sig, endpoint_values_of},
    {&g_integral_sig, integral_of}, {&g_antiderivative_sig, antiderivative_of},
};

const PyType_Slot g_extra_slots[] = {{Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)}, {0, nullptr}};

ClassDefinition g_class{"pwpoly_arrays._native.Expansion",
                        static_cast<int>(sizeof(Instance<Payload>)),
                        Py_TPFLAGS_IMMUTABLETYPE,
                        &g_new_sig,
                        expansion_new,
                        dealloc_instance<Payload>,
                        g_methods,
                        g_extra_slots};

}  // namespace

void add_expansion_type(PyObject* module) {
    if (PyModule_AddObjectRef(module, kClassName, class_type(g_type, g_class)) < 0)
        throw_python_error();
}

}  // namespace pwpoly::py::arrays
