// Matching a call's arguments to an entry's parameters, and converting each
// argument to its internal value.
//
// Every parameter of every entry may be passed by position or by keyword;
// there are no positional-only, keyword-only or variadic parameters. The
// messages of the TypeErrors raised here are part of the module's interface.
#pragma once

#include "lib/python_compat.hpp"

#include <cstddef>
#include <vector>

namespace pwpoly::py {

inline constexpr std::size_t kMaxParams = 4;

// The static description of one entry. `interned` holds the parameter names
// as interned str objects (filled by `intern_signature` at import) so that
// keyword names can be matched by identity before comparing text.
struct Signature {
    const char* function_name;  // "set_dofs"; constructors use "__new__"
    const char* class_name;     // null for module functions
    const char* params[kMaxParams];
    std::size_t n_params;
    std::size_t n_required;
    PyObject* interned[kMaxParams] = {};
};

// Creates the interned parameter names of `sig` (once; later calls keep them).
void intern_signature(Signature& sig);

// Fast-call-with-keywords convention: positional args[0..nargs), keyword
// values follow at args[nargs + i] named by the tuple `kwnames`. Fills
// `slots[0..n_params)` with borrowed references (null = not passed).
void match_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** slots);

inline void match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject** slots) {
    // The common call: every parameter by position, no keywords.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.n_params) [[likely]] {
        for (std::size_t i = 0; i < sig.n_params; ++i)
            slots[i] = args[i];
        return;
    }
    match_arguments_slow(sig, args, nargs, kwnames, slots);
}

// The tuple/dict convention of `tp_new`.
void match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Conversions. `name` is the parameter name used to prefix a TypeError as
// "argument '<name>': ..."; other exception types pass unchanged.
std::size_t to_unsigned(PyObject* obj, const char* name);
double to_float(PyObject* obj, const char* name);
bool to_bool(PyObject* obj, const char* name);
std::vector<double> to_float_list(PyObject* obj, const char* name);

// Exact `float` objects are read without calling into the interpreter.
inline double to_float_fast(PyObject* obj, const char* name) {
    if (PyFloat_CheckExact(obj)) [[likely]]
        return PyFloat_AS_DOUBLE(obj);
    return to_float(obj, name);
}

// Rewrites a pending exact TypeError as "argument '<name>': <message>",
// keeping its __cause__; leaves any other exception alone. Then throws
// PythonError.
[[noreturn]] void throw_argument_error(const char* name);

}  // namespace pwpoly::py
