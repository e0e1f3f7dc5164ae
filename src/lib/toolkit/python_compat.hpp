// The one place that knows about interpreter versions and build variants.
//
// Everything else in src/lib includes this header instead of Python.h and
// uses the names below; no other file tests PY_VERSION_HEX or
// Py_GIL_DISABLED.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pwpoly::py {

// The exception currently set, as one object (and the indicator cleared).
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Sets `exc` (a normalized exception instance) as the current exception;
// steals the reference.
inline void restore_raised_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Whether the interpreter has begun to finalize (readable without the lock).
inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Declares that the module relies on the global interpreter lock; a no-op
// on builds that always have it.
inline int declare_gil_used([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#else
    return 0;
#endif
}

// With the global interpreter lock every change of a borrow counter happens
// while the lock is held (evaluate_many re-takes the lock before it releases
// its borrow), so plain loads and stores suffice; a free-threaded build runs
// calls in parallel and needs read-modify-write atomics.
#ifdef Py_GIL_DISABLED
inline constexpr bool kLockSerializesCalls = false;
#else
inline constexpr bool kLockSerializesCalls = true;
#endif

// A new reference to item i of a list, or null (no exception set) when i is
// no longer inside the list. On free-threaded builds another thread may
// change the list at any time, so items are always taken with a reference.
#ifdef Py_GIL_DISABLED
inline constexpr bool kListItemsNeedStrongRef = true;
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) {
    PyObject* item = PyList_GetItemRef(list, i);
    if (item == nullptr)
        PyErr_Clear();
    return item;
}
#else
inline constexpr bool kListItemsNeedStrongRef = false;
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list))
        return nullptr;
    PyObject* item = PyList_GET_ITEM(list, i);
    Py_INCREF(item);
    return item;
}
#endif

}  // namespace pwpoly::py

// Module slots of the array companion's multi-phase module (see
// src/lib/arrays/native_module.cpp), for the interpreters that know them:
// one interpreter per process (3.12+), and no need for the interpreter lock
// (3.13+). Each expands to a slot followed by a comma, or to nothing.
#if PY_VERSION_HEX >= 0x030C0000
#define PWPOLY_SLOT_SINGLE_INTERPRETER {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define PWPOLY_SLOT_SINGLE_INTERPRETER
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define PWPOLY_SLOT_GIL_NOT_USED {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define PWPOLY_SLOT_GIL_NOT_USED
#endif
