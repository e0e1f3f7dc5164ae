// Native objects, their types and their methods, for both modules.
//
// An instance is the object header followed by one C++ payload, constructed
// in place when the object is made and destroyed with it. The types are
// heap types without GC support (payloads hold no Python references),
// without `__dict__` and weak references, and cannot be subclassed. Each
// type is created once per process from its `ClassDefinition` and kept in a
// write-once cell; a failed import does not rebuild it.
//
// Every function and method takes the fast-call-with-keywords convention.
// Its signature line (`__text_signature__`) and docstring come from the
// same `Signature` table that matches its arguments (arguments.hpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/python_compat.hpp"

namespace pwpoly::py {

template <class Payload>
struct Instance {
    PyObject_HEAD
    Payload payload;
};

// Allocates an instance of `type` with its payload constructed from `args`.
// If the interpreter cannot allocate it, its exception is raised; if the
// payload's constructor throws, the object is freed and the exception
// passes on.
template <class Payload, class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        throw_python_error();
    try {
        new (&reinterpret_cast<Instance<Payload>*>(self)->payload) Payload(std::forward<Args>(args)...);
    } catch (...) {
        type->tp_free(self);
        Py_DECREF(type);  // instances of heap types own a reference to their type
        throw;
    }
    return self;
}

template <class Payload>
void dealloc_instance(PyObject* self) {
    reinterpret_cast<Instance<Payload>*>(self)->payload.~Payload();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

[[noreturn]] void wrong_receiver(PyObject* self, const char* class_name);

// The payload of `self` after checking that it is an instance of the type in
// `cell` (TypeError "'<type>' object cannot be cast as '<class_name>'").
template <class Payload>
Payload& receiver(PyObject* self, const std::atomic<PyObject*>& cell, const char* class_name) {
    auto* type = reinterpret_cast<PyTypeObject*>(cell.load(std::memory_order_relaxed));
    if (type == nullptr || !PyObject_TypeCheck(self, type)) [[unlikely]]
        wrong_receiver(self, class_name);
    return reinterpret_cast<Instance<Payload>*>(self)->payload;
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

inline PyCFunction as_method(FastCall f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

// A module function or a method: its signature and its implementation.
struct Callable {
    Signature* signature;
    FastCall function;
    PyMethodDef def{};  // filled when registered
};

// A class: its name, constructor signature (which gives the class's
// signature line), methods, and the slots beyond new, dealloc, methods and
// doc (e.g. a buffer export), closed by {0, nullptr}.
struct ClassDefinition {
    const char* qualified_name;  // "builtins.LegendreBasis"
    int basicsize;
    unsigned flags;  // beyond Py_TPFLAGS_DEFAULT
    Signature* constructor;
    newfunc new_function;
    destructor dealloc;
    std::span<Callable> methods;
    std::span<const PyType_Slot> extra_slots;
    // Filled when the type is created.
    std::vector<PyMethodDef> method_defs{};
    std::vector<PyType_Slot> slots{};
};

// The PyMethodDef of `c`, its docstring made from its signature.
PyMethodDef& method_def(Callable& c);

// The type of `definition`, created on the first call and kept in `cell`
// for the rest of the process. Returns a borrowed reference.
PyObject* class_type(std::atomic<PyObject*>& cell, ClassDefinition& definition);

// A built-in function for `c` bound to `module` (its `__self__` is the
// module, its `__module__` the module's name). New reference.
PyObject* module_function(PyObject* module, Callable& c);

// The first interpreter that imports a module owns it for the life of the
// process (its types are shared process-wide): ImportError for any other.
void claim_interpreter(std::atomic<std::int64_t>& owner, const char* module_name);

}  // namespace pwpoly::py
