// Adding functions and classes to the module, and keeping `__all__` in
// registration order.
#pragma once

#include "lib/arguments.hpp"
#include "lib/python_compat.hpp"

#include <atomic>

namespace pwpoly::py {

// A cast function pointer for PyMethodDef, from a fast-call-with-keywords
// function.
inline PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a built-in function bound to `module` (its `__self__` is the
// module, its `__module__` the module's name), appends its `__name__` to
// `__all__` and sets the module attribute. Also interns the signature's
// parameter names. False with an exception set on failure.
bool add_function(PyObject* module, PyMethodDef* def, Signature& sig);

// A class's type object, created from `spec` the first time and kept in
// `cell` for the rest of the process (a failed import does not rebuild it).
PyObject* get_or_create_type(std::atomic<PyObject*>& cell, PyType_Spec& spec);

// Appends `name` to `__all__` and sets the module attribute to the type.
bool add_type(PyObject* module, const char* name, PyObject* type);

}  // namespace pwpoly::py
