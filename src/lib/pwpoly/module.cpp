// The module's entry point.
//
// Single-phase initialisation with no per-module state: the interpreter
// calls PyInit_pwpoly again after `del sys.modules["pwpoly"]`, and gets the
// module object created the first time. The first interpreter that imports
// the module owns it for the life of the process; other (sub-)interpreters
// are refused.
#include "lib/pwpoly/entries.hpp"
#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/pyref.hpp"
#include "lib/toolkit/python_compat.hpp"
#include "lib/toolkit/types.hpp"

#include <atomic>
#include <cstdint>

namespace pwpoly::py {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "pwpoly",
    "Piecewise polynomials in time: bit-exact piecewise Legendre evaluation, Lagrange nodal points, "
    "and the sparse prolongation and Lagrange-to-Legendre matrices.",
    0,        // no per-module state
    nullptr,  // functions are added by registration
    nullptr,  // single-phase initialisation: no slots
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> g_owner_interpreter{-1};
std::atomic<PyObject*> g_module{nullptr};

using Registration = void (*)(PyObject*);

// Registration order is the order of `__all__`.
constexpr Registration kRegistrations[] = {
    register_sum_as_string,
    register_lagrange_to_legendre_basis_transformation,
    register_lagrange_prolongation_matrix,
    register_get_lagrange_points,
    register_legendre_basis,
    register_legendre_basis_evaluator,
};

PyObject* init_module() {
    claim_interpreter(g_owner_interpreter, "pwpoly");

    if (PyObject* existing = g_module.load(std::memory_order_acquire)) {
        Py_INCREF(existing);
        return existing;
    }

    PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
    if (!module || declare_gil_used(module.get()) < 0)
        throw_python_error();
    for (Registration registration : kRegistrations)
        registration(module.get());

    // The cell keeps one reference for the rest of the process.
    Py_INCREF(module.get());
    PyObject* stored = publish_once(g_module, module.get());
    if (stored != module.get()) {
        Py_INCREF(stored);
        return stored;
    }
    return module.release();
}

}  // namespace

}  // namespace pwpoly::py

PyMODINIT_FUNC PyInit_pwpoly() {
    return pwpoly::py::guarded([] { return pwpoly::py::init_module(); });
}
