// Result objects. Lists are created at their final length and filled in
// place: no per-item append, no intermediate objects. A failure to create
// an object (memory exhausted) leaves the interpreter's exception set and
// throws PythonError.
#pragma once

#include "lib/toolkit/python_compat.hpp"

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

namespace pwpoly {
struct Triplets;
}

namespace pwpoly::py {

PyObject* make_float(double value);
PyObject* make_float_list(std::span<const double> values);
PyObject* make_int_list(std::span<const std::size_t> values);
PyObject* make_triplet_tuple(const Triplets& triplets);
PyObject* make_str(std::string_view text);
// A tuple of the given objects (new references to them).
PyObject* make_tuple(std::initializer_list<PyObject*> items);

}  // namespace pwpoly::py
