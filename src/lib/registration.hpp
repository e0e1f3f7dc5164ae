// Adding functions and classes to the module, and keeping `__all__` in
// registration order. Like everything else in this folder, these throw
// `PythonError` (with the exception set) on failure.
#pragma once

#include "lib/arguments.hpp"
#include "lib/python_compat.hpp"

#include <atomic>
#include <initializer_list>

namespace pwpoly::py {

// Every function and method of the module takes the fast-call-with-keywords
// convention.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// A cast function pointer for PyMethodDef, from a fast-call-with-keywords
// function.
inline PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a built-in function bound to `module` (its `__self__` is the
// module, its `__module__` the module's name), appends its `__name__` to
// `__all__` and sets the module attribute. Also interns the signature's
// parameter names.
void add_function(PyObject* module, PyMethodDef* def, Signature& sig);

// Interns the parameter names of the class's `signatures`, creates its type
// object from `spec` the first time and keeps it in `cell` for the rest of
// the process (a failed import does not rebuild it), appends `name` to
// `__all__` and sets the module attribute to the type.
void add_class(PyObject* module, const char* name, std::atomic<PyObject*>& cell, PyType_Spec& spec,
               std::initializer_list<Signature*> signatures);

}  // namespace pwpoly::py
