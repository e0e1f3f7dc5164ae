// Adding pwpoly's functions and classes to its module, keeping `__all__` in
// registration order. Like everything else in this folder, these throw
// `PythonError` (with the exception set) on failure.
#pragma once

#include <atomic>

#include "lib/toolkit/python_compat.hpp"
#include "lib/toolkit/types.hpp"

namespace pwpoly::py {

// Creates the built-in function of `c` bound to `module`, appends its name
// to `__all__` and sets the module attribute.
void add_function(PyObject* module, Callable& c);

// Creates the class of `definition` once per process (kept in `cell`),
// appends `name` to `__all__` and sets the module attribute to the type.
void add_class(PyObject* module, const char* name, std::atomic<PyObject*>& cell, ClassDefinition& definition);

}  // namespace pwpoly::py
