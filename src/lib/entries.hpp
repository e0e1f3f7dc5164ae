// The module's registered names, each in a file of its own. Every
// `register_*` adds its name to the module (and to `__all__`) and returns
// false with an exception set on failure.
#pragma once

#include "lib/python_compat.hpp"

namespace pwpoly::py {

bool register_sum_as_string(PyObject* module);
bool register_lagrange_to_legendre_basis_transformation(PyObject* module);
bool register_lagrange_prolongation_matrix(PyObject* module);
bool register_get_lagrange_points(PyObject* module);
bool register_legendre_basis(PyObject* module);
bool register_legendre_basis_evaluator(PyObject* module);

}  // namespace pwpoly::py
