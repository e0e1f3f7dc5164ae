#include "lib/pwpoly/registration.hpp"

#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/pyref.hpp"

namespace pwpoly::py {

namespace {

PyRef checked(PyObject* new_reference) {
    if (new_reference == nullptr)
        throw_python_error();
    return PyRef::steal(new_reference);
}

// `__all__` is read from the module on every registration; a missing one is
// created as an empty list, anything that is not a list fails.
void append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw PythonError{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0)
            throw PythonError{};
    }
    if (!PyList_Check(all.get())) {
        PyRef qualname = checked(PyType_GetQualName(Py_TYPE(all.get())));
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'list'", qualname.get());
        throw PythonError{};
    }
    if (PyList_Append(all.get(), name) < 0)
        throw PythonError{};
}

void add_named(PyObject* module, PyObject* name, PyObject* value) {
    append_to_all(module, name);
    if (PyObject_SetAttr(module, name, value) < 0)
        throw PythonError{};
}

}  // namespace

void add_function(PyObject* module, Callable& c) {
    PyRef function = checked(module_function(module, c));
    PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    add_named(module, name.get(), function.get());
}

void add_class(PyObject* module, const char* name, std::atomic<PyObject*>& cell, ClassDefinition& definition) {
    PyObject* type = class_type(cell, definition);
    add_named(module, checked(PyUnicode_FromString(name)).get(), type);
}

}  // namespace pwpoly::py
