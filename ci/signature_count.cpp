// Compiled twice by ci/lint.sh: an entry that names as many arguments as its
// declaration has parameters compiles (BINDINGS=2), one that names another
// count must not (BINDINGS=3). It keeps the guarantee of
// lib/toolkit/arguments.hpp's Declared signatures honest.
#include "lib/toolkit/arguments.hpp"

namespace {

pwpoly::py::Declared g_sig{"f", nullptr, pwpoly::py::Params{"a", "b"}, 2};

}  // namespace

PyObject* entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
#if BINDINGS == 2
    const auto [a, b] = pwpoly::py::match_arguments(g_sig, args, nargs, kwnames);
    return b != nullptr ? b : a;
#else
    const auto [a, b, c] = pwpoly::py::match_arguments(g_sig, args, nargs, kwnames);
    return c;
#endif
}
