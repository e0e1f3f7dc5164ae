#include "lib/toolkit/errors.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "common/argument_error.hpp"
#include "lib/toolkit/pyref.hpp"

namespace pwpoly::py {

void throw_python_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PythonError{};
}

void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyObject* text = PyUnicode_FromFormatV(format, args);
    va_end(args);
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PythonError{};
}

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

constexpr const char* kPanicDoc = "An internal invariant of pwpoly was violated; the call was abandoned.\n\n"
                                  "Derives from BaseException, so `except Exception` does not catch it.";

constexpr std::string_view kCapacityOverflow = "capacity overflow";

// Sets `type(message)`; if making the text fails (memory exhausted), that
// failure is what the caller sees.
void set_with_text(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text)
        PyErr_SetObject(type, text.get());
}

// An internal failure in the module's chosen style.
void raise_internal_failure(FailureStyle style, std::string_view message) {
    if (style == FailureStyle::Ordinary) {
        if (message == kCapacityOverflow)
            set_with_text(PyExc_MemoryError, message);
        else
            set_with_text(PyExc_RuntimeError, message);
        return;
    }
    std::fprintf(stderr, "pwpoly: internal failure: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    if (PyObject* type = panic_exception_type())
        set_with_text(type, message);
}

// A Python exception caught as PythonError stays as it is, except a
// PanicException raised by Python code that pwpoly called: it continues as
// an internal failure of this call, with the same message.
void finish_python_error(FailureStyle style) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return;
    }
    PyObject* panic = g_panic_type.load(std::memory_order_acquire);
    if (style != FailureStyle::Panic || panic == nullptr || !PyErr_ExceptionMatches(panic))
        return;
    PyRef exc = PyRef::steal(take_raised_exception());
    PyRef text = PyRef::steal(PyObject_Str(exc.get()));
    if (!text)
        return;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 != nullptr)
        raise_internal_failure(style, std::string_view(utf8, static_cast<size_t>(size)));
}

}  // namespace

PyObject* panic_exception_type() {
    PyObject* type = g_panic_type.load(std::memory_order_acquire);
    if (type != nullptr)
        return type;
    PyObject* created =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr)
        return nullptr;
    return publish_once(g_panic_type, created);
}

void translate_current_exception(FailureStyle style) noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        finish_python_error(style);
    } catch (const InternalFailure& failure) {
        raise_internal_failure(style, failure.message());
    } catch (const ArgumentError& refusal) {
        set_with_text(PyExc_ValueError, refusal.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        raise_internal_failure(style, kCapacityOverflow);
    } catch (const std::exception& e) {
        raise_internal_failure(style, e.what());
    } catch (...) {
        raise_internal_failure(style, "unknown internal failure");
    }
}

}  // namespace pwpoly::py
