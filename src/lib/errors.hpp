// How failures cross the boundary.
//
// Inside an entry point two C++ exception types are in flight:
//  * `PythonError`: a Python exception is already set on the interpreter
//    (a conversion failed, a borrow conflicted, a value check failed);
//  * `pwpoly::InternalFailure` from the core: a violated invariant with a
//    message, reported to Python as `PanicException`.
// `guarded` is the one place where both (and allocation failures) are
// turned into "exception set, return null"; every function, method and
// constructor body runs inside it, so no C++ exception ever reaches the
// interpreter.
#pragma once

#include "common/internal_failure.hpp"
#include "lib/python_compat.hpp"

#include <new>
#include <stdexcept>
#include <string_view>

namespace pwpoly::py {

// Thrown after a Python exception has been set.
struct PythonError {};

[[noreturn]] void throw_python_error();  // asserts that an exception is set

// Sets `type(message)` (e.g. PyExc_ValueError) and throws PythonError.
[[noreturn]] void raise_error(PyObject* type, const char* message);

// The exception type `pyo3_runtime.PanicException` (base BaseException),
// created on first use; null only if creating it failed.
PyObject* panic_exception_type();

// Reports an internal failure on stderr and sets PanicException(message).
// Returns null for the caller to return.
PyObject* raise_panic(std::string_view message) noexcept;

// Error conversion for a Python exception caught as `PythonError`: an
// ordinary exception stays as it is; a PanicException raised by Python code
// the layer called continues as an internal failure with the same message.
PyObject* finish_python_error() noexcept;

template <class F>
inline PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return finish_python_error();
    } catch (const InternalFailure& failure) {
        return raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return raise_panic("capacity overflow");
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown internal failure");
    }
}

}  // namespace pwpoly::py
