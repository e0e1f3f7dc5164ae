// The module's registered names, each in a file of its own. Every
// `register_*` adds its name to the module (and to `__all__`), and throws
// `PythonError` on failure.
#pragma once

#include "lib/toolkit/python_compat.hpp"

namespace pwpoly::py {

void register_sum_as_string(PyObject* module);
void register_lagrange_to_legendre_basis_transformation(PyObject* module);
void register_lagrange_prolongation_matrix(PyObject* module);
void register_get_lagrange_points(PyObject* module);
void register_legendre_basis(PyObject* module);
void register_legendre_basis_evaluator(PyObject* module);

}  // namespace pwpoly::py
