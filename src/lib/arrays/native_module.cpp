// `pwpoly_arrays._native`: the private native module of the numpy companion.
//
// Why it lives in pwpoly's own extension file. The core keeps process-wide
// state, above all the worker pool (W threads, started on first use). Two
// extension files that each link the static core would start two pools and
// keep two copies of everything else. So this module is compiled into the
// pwpoly extension as a second module init function, PyInit__native, next to
// PyInit_pwpoly; pwpoly_arrays loads it with
// importlib.machinery.ExtensionFileLoader("pwpoly_arrays._native",
// <pwpoly's file>). The dynamic loader returns the handle it already has for
// that file, so both modules run the same copy of the core and share its one
// pool. (The alternative, the core as a shared library that two extension
// files link, needs an rpath'ed third file in every wheel for no gain.)
// pwpoly_arrays finds the file without importing pwpoly, so pwpoly's own
// module init (and its need for the interpreter lock) stays out of it.
//
// Multi-phase initialisation. The module has no mutable state: its types are
// created once per process (like pwpoly's) and immutable; its objects never
// change after construction. So it declares that it does not need the
// interpreter lock. It refuses sub-interpreters other than the first one
// that imported it, since the types are shared process-wide.
//
// The Lagrange degree limit. The prolongation and Lagrange-to-Legendre
// matrices are built from the equidistant Lagrange basis, whose conditioning
// grows exponentially with the degree. Measured against the same matrices
// computed with 400 digits (benchmarks/lagrange_degree_accuracy.py), the
// largest entry error relative to the largest entry is, for the
// Lagrange-to-Legendre matrix and the prolongation from one interval to
// three: 1e-13 and 2e-13 at degree 20, 7e-8 and 2e-7 at 40, 9e-3 and 4e-2 at
// 60, 0.6 and 1.2 at 65, and 100 % from 70 on: past 60 nothing is left.
// kMaxLagrangeDegree refuses those degrees (without a limit, degree 2^29
// would also allocate gigabytes and then loop for years).
#include <atomic>
#include <cstdint>

#include "lib/arrays/native.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/pyref.hpp"

namespace pwpoly::py::arrays {

std::size_t checked_count(PyObject* obj, const char* name, std::size_t minimum) {
    const std::size_t value = to_unsigned(obj, name);
    if (value < minimum)
        raise_format(PyExc_ValueError, "%s must be at least %zu, got %zu", name, minimum, value);
    return value;
}

void check_lagrange_degree(std::size_t degree) {
    if (degree > kMaxLagrangeDegree)
        raise_format(PyExc_ValueError,
                     "degree must be at most %zu for the equidistant Lagrange basis (beyond it the matrices have "
                     "no correct digit), got %zu",
                     kMaxLagrangeDegree, degree);
}

namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};

int exec_module(PyObject* module) {
    return entry([&]() -> int {
        claim_interpreter(g_owner_interpreter, "pwpoly_arrays");
        add_mesh_type(module);
        add_expansion_type(module);
        add_owned_array_type(module);
        add_matrix_functions(module);
        add_calculus_functions(module);
        add_operator_functions(module);
        if (PyModule_AddIntConstant(module, "MAX_LAGRANGE_DEGREE", static_cast<long>(kMaxLagrangeDegree)) < 0)
            throw_python_error();
        return 0;
    });
}

// The slot macros expand to "{...}," or to nothing (python_compat.hpp).
// clang-format off
PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    PWPOLY_SLOT_SINGLE_INTERPRETER
    PWPOLY_SLOT_GIL_NOT_USED
    {0, nullptr},
};
// clang-format on

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "pwpoly_arrays._native",
    "Private native part of pwpoly_arrays; use the pwpoly_arrays package.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace pwpoly::py::arrays

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&pwpoly::py::arrays::g_module_def); }
