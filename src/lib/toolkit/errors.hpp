// How failures cross the boundary, for both modules.
//
// Inside an entry point these C++ exceptions are in flight:
//  * `PythonError`: a Python exception is already set on the interpreter (a
//    conversion failed, a borrow conflicted, a value check failed, a signal
//    handler raised KeyboardInterrupt);
//  * `pwpoly::InternalFailure` from the core: a violated invariant with a
//    message;
//  * allocation failures (std::bad_alloc, std::length_error).
// `guarded` runs an entry's body and hands any of them to one out-of-line
// translator, which sets the matching Python exception and returns the
// entry's error value. Each module chooses what an internal failure becomes:
// pwpoly raises `PanicException` (a BaseException), the array companion an
// ordinary RuntimeError (MemoryError for "capacity overflow").
//
// Entry points are not noexcept, and `guarded` lets a forced unwind
// (abi::__forced_unwind, a thread ended by pthread_exit) pass: see
// interpreter_lock.hpp. The forced unwind is recognised by the flag that the
// one place it can start from sets (retake_interpreter_lock), not by a catch
// clause of its type: it has no exception object, and binding a reference
// to it is undefined behaviour (UBSan reports it).
#pragma once

#include <string_view>
#include <type_traits>

#include "common/internal_failure.hpp"
#include "lib/toolkit/python_compat.hpp"

namespace pwpoly::py {

// Whether this thread is being ended by the interpreter's exit while it
// waited for the lock (interpreter_lock.hpp).
bool interpreter_lock_lost() noexcept;

// Thrown after a Python exception has been set.
struct PythonError {};

[[noreturn]] void throw_python_error();  // asserts that an exception is set

// Sets `type(message)` (e.g. PyExc_ValueError) and throws PythonError.
[[noreturn]] void raise_error(PyObject* type, const char* message);

// Sets `type(PyUnicode_FromFormat(format, ...))` and throws PythonError.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// The exception type `pyo3_runtime.PanicException` (base BaseException),
// created on first use; null only if creating it failed.
PyObject* panic_exception_type();

// What an internal failure of the core becomes in Python.
enum class FailureStyle {
    Panic,     // PanicException(message), also reported on stderr
    Ordinary,  // RuntimeError(message); MemoryError for "capacity overflow"
};

// Translates the exception being handled (call only from a catch block)
// into a Python exception; returns nothing, the caller returns its error
// value.
[[gnu::cold, gnu::noinline]] void translate_current_exception(FailureStyle style) noexcept;

// Runs `body` and returns its result; on any C++ exception, the matching
// Python exception is set and the error value of the result type is
// returned (null for pointers, -1 for int).
template <FailureStyle Style = FailureStyle::Panic, class F>
inline auto guarded(F&& body) -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (...) {
        if (interpreter_lock_lost())
            throw;  // the forced unwind of a thread the exiting interpreter ends
        translate_current_exception(Style);
    }
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return R{-1};
}

}  // namespace pwpoly::py
