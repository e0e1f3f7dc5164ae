// The instance layout shared by the module's two classes, and the generic
// pieces of their type objects: allocation, deallocation and the receiver
// check of methods.
//
// An instance is the object header, the borrow counter and the class's own
// C++ value. The types are heap types without GC support (instances hold no
// Python references), without `__dict__` and weak references, and cannot be
// subclassed.
#pragma once

#include "lib/borrow.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "lib/python_compat.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"

#include <new>
#include <utility>

namespace pwpoly::py {

template <class Payload>
struct Instance {
    PyObject_HEAD
    BorrowCounter borrow;
    Payload payload;
};

// Allocates an instance of `type` and moves `payload` into it. If the
// interpreter cannot allocate it, its exception is raised and the payload
// is released by the caller's scope.
template <class Payload>
PyObject* new_instance(PyTypeObject* type, Payload&& payload) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        throw_python_error();
    auto* inst = reinterpret_cast<Instance<Payload>*>(self);
    new (&inst->borrow) BorrowCounter();
    new (&inst->payload) Payload(std::move(payload));
    return self;
}

template <class Payload>
void dealloc_instance(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<Payload>*>(self);
    inst->payload.~Payload();
    inst->borrow.~BorrowCounter();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

[[noreturn]] void wrong_receiver(PyObject* self, const char* class_name);

template <class Payload>
Instance<Payload>& receiver(PyObject* self, PyObject* type, const char* class_name) {
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) [[unlikely]]
        wrong_receiver(self, class_name);
    return *reinterpret_cast<Instance<Payload>*>(self);
}

template <class Payload>
inline constexpr PyType_Spec make_type_spec(const char* qualified_name, PyType_Slot* slots) {
    return PyType_Spec{qualified_name, static_cast<int>(sizeof(Instance<Payload>)), 0, Py_TPFLAGS_DEFAULT, slots};
}

// The core's rule for a mesh without intervals (LegendreBasis::has_intervals)
// as the caller's error: ValueError with the core's message. The
// constructors accept n_t = 0; every evaluation on such a mesh is refused.
void check_has_intervals(const LegendreBasis& basis);
}  // namespace pwpoly::py
