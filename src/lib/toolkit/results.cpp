#include "lib/toolkit/results.hpp"

#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/pyref.hpp"
#include "sparse_matrix_tools/triplets.hpp"

namespace pwpoly::py {

PyObject* make_float(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr)
        throw_python_error();
    return result;
}

namespace {

// A list of `values.size()` items, each made by `make` from one value.
// Slots not yet filled are null, which list deallocation tolerates. Long
// lists take a while to make: the loop reports to an interruption pacer
// (an item costs some tens of nanoseconds), so Ctrl-C is noticed.
template <class T, class Make>
PyObject* make_list(std::span<const T> values, Make make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list)
        throw_python_error();
    InterruptibleWithLock interruptible;
    InterruptionPacer pacer;
    for (std::size_t i = 0; i < values.size(); ++i) {
        pacer.done(32);
        PyObject* item = make(values[i]);
        if (item == nullptr)
            throw_python_error();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

PyObject* make_float_list(std::span<const double> values) { return make_list(values, PyFloat_FromDouble); }

PyObject* make_int_list(std::span<const std::size_t> values) { return make_list(values, PyLong_FromSize_t); }

PyObject* make_tuple(std::initializer_list<PyObject*> items) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr)
        throw_python_error();
    Py_ssize_t i = 0;
    for (PyObject* item : items)
        PyTuple_SET_ITEM(tuple, i++, Py_NewRef(item));
    return tuple;
}

PyObject* make_triplet_tuple(const Triplets& triplets) {
    PyRef rows = PyRef::steal(make_int_list(triplets.rows));
    PyRef cols = PyRef::steal(make_int_list(triplets.cols));
    PyRef values = PyRef::steal(make_float_list(triplets.values));
    return make_tuple({rows.get(), cols.get(), values.get()});
}

PyObject* make_str(std::string_view text) {
    PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (result == nullptr)
        throw_python_error();
    return result;
}

}  // namespace pwpoly::py
