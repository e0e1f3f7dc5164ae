// `_native.Expansion(coefficients, degree, n_t, T)`: the native half of
// pwpoly_arrays.Expansion. It owns a private copy of the coefficients in
// pwpoly's layout (j + n_t * i, the C order of a (degree + 1, n_t) array)
// and never changes after construction, so any number of threads may
// evaluate it at once without a lock or a borrow count. The coefficients are
// exported read-only through the buffer protocol; the Python class shows
// them to users through that export, without a second copy.
#include "lib/arrays/native.hpp"

#include "lib/pyref.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/parallel_evaluation.hpp"

#include <atomic>
#include <new>
#include <utility>

namespace pwpoly::py::arrays {

namespace {

struct Payload {
    LegendreBasis basis;
    std::vector<double> coefficients;

    ColMatrixView matrix() const { return {coefficients.data(), basis.n_t(), basis.degree() + 1}; }
};

struct ExpansionObject {
    PyObject_HEAD
    Payload payload;
    Py_ssize_t shape;  // for the buffer export
    Py_ssize_t itemsize;
};

std::atomic<PyObject*> g_type{nullptr};

const Payload& payload_of(PyObject* self) {
    PyObject* type = g_type.load(std::memory_order_relaxed);
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type)))
        raise(PyExc_TypeError, "expected a pwpoly_arrays._native.Expansion");
    return reinterpret_cast<ExpansionObject*>(self)->payload;
}

PyObject* expansion_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) || PyTuple_GET_SIZE(args) != 4)
            raise(PyExc_TypeError, "Expansion() takes exactly 4 positional arguments");
        const std::size_t degree = size_argument(PyTuple_GET_ITEM(args, 1));
        const std::size_t n_t = size_argument(PyTuple_GET_ITEM(args, 2));
        const double T = float_argument(PyTuple_GET_ITEM(args, 3));
        if (n_t == 0)
            raise(PyExc_ValueError, "n_t must be at least 1");
        std::vector<double> coefficients;
        {
            BufferView view(PyTuple_GET_ITEM(args, 0), false);
            expect_float64(view, "coefficients");
            if (degree == SIZE_MAX || view.count() / (degree + 1) != n_t || view.count() % (degree + 1) != 0)
                raise(PyExc_ValueError, "coefficients must hold (degree + 1) * n_t values");
            const double* first = view.data<double>();
            coefficients.assign(first, first + view.count());
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr)
            throw PythonError{};
        auto* obj = reinterpret_cast<ExpansionObject*>(self);
        new (&obj->payload) Payload{LegendreBasis(degree, n_t, T), std::move(coefficients)};
        obj->shape = static_cast<Py_ssize_t>(obj->payload.coefficients.size());
        obj->itemsize = static_cast<Py_ssize_t>(sizeof(double));
        return self;
    });
}

// evaluate(t, derivative) -> float
PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        expect_arguments("evaluate", nargs, kwnames, 2);
        const Payload& p = payload_of(self);
        const double t = float_argument(args[0]);
        const bool derivative = bool_argument(args[1]);
        const double value = derivative ? p.basis.evaluate_derivative(t, p.matrix()) : p.basis.evaluate(t, p.matrix());
        PyObject* result = PyFloat_FromDouble(value);
        if (result == nullptr)
            throw PythonError{};
        return result;
    });
}

// evaluate_into(times, out, derivative) -> None: out[k] is the value (the
// derivative) at times[k]; both C-contiguous float64 buffers of one length
// that share no memory. The lock is released while the pool works.
PyObject* evaluate_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        expect_arguments("evaluate_into", nargs, kwnames, 3);
        const Payload& p = payload_of(self);
        const bool derivative = bool_argument(args[2]);
        BufferView times(args[0], false);
        BufferView out(args[1], true);
        expect_float64(times, "t");
        expect_float64(out, "out");
        if (times.count() != out.count())
            raise(PyExc_ValueError, "out must have as many items as t");
        if (times.overlaps(out))
            raise(PyExc_ValueError, "out must not share memory with t");
        {
            WithoutInterpreterLock unlocked;
            evaluate_many_into(p.basis, p.matrix(), derivative, {times.data<double>(), times.count()},
                               out.data<double>());
        }
        Py_RETURN_NONE;
    });
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the coefficients of an Expansion are read-only");
        view->obj = nullptr;
        return -1;
    }
    auto* obj = reinterpret_cast<ExpansionObject*>(self);
    return export_1d(self, view, flags, obj->payload.coefficients.data(), &obj->shape, &obj->itemsize, "d", true);
}

void dealloc(PyObject* self) {
    reinterpret_cast<ExpansionObject*>(self)->payload.~Payload();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_methods[] = {
    {"evaluate", as_method(evaluate), METH_FASTCALL | METH_KEYWORDS,
     "evaluate($self, t, derivative, /)\n--\n\nThe value (or derivative) at one time, as a float."},
    {"evaluate_into", as_method(evaluate_into), METH_FASTCALL | METH_KEYWORDS,
     "evaluate_into($self, t, out, derivative, /)\n--\n\nFills out with the values (derivatives) at the times t."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(expansion_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, g_methods},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_doc, const_cast<char*>("Expansion(coefficients, degree, n_t, T, /)\n--\n\n"
                                  "Native storage and evaluation of pwpoly_arrays.Expansion.")},
    {0, nullptr},
};

PyType_Spec g_spec = {"pwpoly_arrays._native.Expansion", static_cast<int>(sizeof(ExpansionObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

}  // namespace

bool add_expansion_type(PyObject* module) { return add_type(module, g_type, g_spec, "Expansion"); }

}  // namespace pwpoly::py::arrays
