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
#include "lib/arrays/native.hpp"
#include "lib/pyref.hpp"

#include <atomic>
#include <cstdint>

namespace pwpoly::py::arrays {

bool add_type(PyObject* module, std::atomic<PyObject*>& cell, PyType_Spec& spec, const char* name) {
    PyObject* type = cell.load(std::memory_order_acquire);
    if (type == nullptr) {
        PyObject* created = PyType_FromSpec(&spec);
        if (created == nullptr)
            return false;
        type = publish_once(cell, created);
    }
    return PyModule_AddObjectRef(module, name, type) == 0;
}

namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};

int exec_module(PyObject* module) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return -1;
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "pwpoly_arrays does not support sub-interpreters: it can only be imported into the "
                        "interpreter that imported it first");
        return -1;
    }
    if (!add_expansion_type(module) || !add_owned_array_type(module) || !add_matrix_functions(module))
        return -1;
    return 0;
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
