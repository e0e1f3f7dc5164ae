// A move-only owner of one strong reference.
#pragma once

#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/python_compat.hpp"

#include <atomic>
#include <utility>

namespace pwpoly::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Adds a reference to a borrowed one.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    // A thread that the interpreter's exit unwinds holds no lock: it leaves
    // the object alone (interpreter_lock.hpp).
    ~PyRef() {
        if (obj_ != nullptr && !interpreter_lock_lost())
            Py_DECREF(obj_);
    }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Gives the reference away.
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// Stores `created` (a new reference) into the write-once `cell` unless
// another thread filled it first, in which case `created` is dropped.
// Returns the object that the cell holds from now on (borrowed).
inline PyObject* publish_once(std::atomic<PyObject*>& cell, PyObject* created) {
    PyObject* expected = nullptr;
    if (cell.compare_exchange_strong(expected, created, std::memory_order_acq_rel))
        return created;
    Py_DECREF(created);
    return expected;
}

}  // namespace pwpoly::py
