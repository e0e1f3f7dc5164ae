// `_native.Expansion(coefficients, degree, n_t, T, /)`: the native half of
// pwpoly_arrays.Expansion. It owns a private copy of the coefficients in
// pwpoly's layout (j + n_t * i, the C order of a (degree + 1, n_t) array)
// and never changes after construction, so any number of threads may
// evaluate it at once without a lock or a borrow count. The coefficients are
// exported read-only through the buffer protocol; the Python class shows
// them to users through that export, without a second copy.
#include <atomic>
#include <utility>
#include <vector>

#include "lib/arguments.hpp"
#include "lib/arrays/native.hpp"
#include "lib/buffers.hpp"
#include "lib/interpreter_lock.hpp"
#include "lib/results.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/parallel_evaluation.hpp"

namespace pwpoly::py::arrays {

namespace {

struct Payload {
    LegendreBasis basis;
    std::vector<double> coefficients;
    Py_ssize_t shape;  // for the buffer export
    Py_ssize_t itemsize = sizeof(double);

    Payload(LegendreBasis b, std::vector<double>&& c)
        : basis(b), coefficients(std::move(c)), shape(static_cast<Py_ssize_t>(coefficients.size())) {}

    ColMatrixView matrix() const { return {coefficients.data(), basis.n_t(), basis.degree() + 1}; }
};

constexpr const char* kClassName = "Expansion";
std::atomic<PyObject*> g_type{nullptr};

Signature g_new_sig{"__new__",
                    kClassName,
                    {"coefficients", "degree", "n_t", "T"},
                    4,
                    4,
                    {},
                    true,
                    "Native storage and evaluation of pwpoly_arrays.Expansion."};
Signature g_evaluate_sig{
    "evaluate", kClassName, {"t", "derivative"}, 2, 2, {}, true, "The value (or derivative) at one time, as a float."};
Signature g_evaluate_into_sig{"evaluate_into",
                              kClassName,
                              {"t", "out", "derivative"},
                              3,
                              3,
                              {},
                              true,
                              "Fills out with the values (derivatives) at the times t (C order); out may be t "
                              "itself, but may not overlap it otherwise."};

const Payload& self_of(PyObject* self) { return receiver<Payload>(self, g_type, kClassName); }

PyObject* expansion_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        PyObject* slots[4];
        match_arguments(g_new_sig, args, kwargs, slots);
        const std::size_t degree = to_unsigned(slots[1], "degree");
        const std::size_t n_t = checked_count(slots[2], "n_t", 1);
        const double T = checked_period(slots[3], n_t);
        std::vector<double> coefficients;
        {
            Float64Input given(slots[0], "coefficients");
            const std::size_t expected = checked_mul(checked_add(degree, 1), n_t);
            if (given.size() != expected)
                raise_format(PyExc_ValueError,
                             "coefficients: expected (degree + 1) * n_t = %zu values for degree %zu and n_t %zu, "
                             "got %zu",
                             expected, degree, n_t, given.size());
            coefficients.assign(given.data(), given.data() + given.size());
        }
        return new_instance<Payload>(type, LegendreBasis(degree, n_t, T), std::move(coefficients));
    });
}

PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        PyObject* slots[2];
        match_arguments(g_evaluate_sig, args, nargs, kwnames, slots);
        const Payload& p = self_of(self);
        const double t = to_float_fast(slots[0], "t");
        const bool derivative = to_bool(slots[1], "derivative");
        return make_float(derivative ? p.basis.evaluate_derivative(t, p.matrix()) : p.basis.evaluate(t, p.matrix()));
    });
}

PyObject* evaluate_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        PyObject* slots[3];
        match_arguments(g_evaluate_into_sig, args, nargs, kwnames, slots);
        const Payload& p = self_of(self);
        const bool derivative = to_bool(slots[2], "derivative");
        Float64Input times(slots[0], "t");
        Float64Output out(slots[1], "out");
        if (times.size() != out.size())
            raise_format(PyExc_ValueError, "out: expected %zu items (as many as t), got %zu", times.size(), out.size());
        if (may_overlap(times.view(), out.view()) && !same_array(times.view(), out.view()))
            raise_error(PyExc_ValueError, "out: shares memory with t without being t itself (the same array, "
                                          "shape and strides)");
        without_interpreter_lock([&] {
            evaluate_many_into(p.basis, p.matrix(), derivative, {times.data(), times.size()}, out.data());
        });
        out.commit();
        Py_RETURN_NONE;
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
    {&g_evaluate_sig, evaluate},
    {&g_evaluate_into_sig, evaluate_into},
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
