#include "lib/errors.hpp"

#include "lib/pyref.hpp"

#include <atomic>
#include <cstdio>

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

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

constexpr const char* kPanicDoc = "An internal invariant of pwpoly was violated; the call was abandoned.\n\n"
                                  "Derives from BaseException, so `except Exception` does not catch it.";

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

PyObject* raise_panic(std::string_view message) noexcept {
    std::fprintf(stderr, "pwpoly: internal failure: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    // If anything below fails (memory exhausted), the exception of that
    // failure is what the caller sees; the process is not ended for it.
    PyObject* type = panic_exception_type();
    if (type == nullptr)
        return nullptr;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text)
        return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* finish_python_error() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    PyObject* panic = g_panic_type.load(std::memory_order_acquire);
    if (panic == nullptr || !PyErr_ExceptionMatches(panic))
        return nullptr;
    PyRef exc = PyRef::steal(take_raised_exception());
    PyRef text = PyRef::steal(PyObject_Str(exc.get()));
    if (!text)
        return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr)
        return nullptr;
    return raise_panic(std::string_view(utf8, static_cast<size_t>(size)));
}

}  // namespace pwpoly::py
