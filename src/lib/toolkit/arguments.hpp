// Matching a call's arguments to an entry's parameters, and converting each
// argument to its internal value.
//
// pwpoly's parameters may all be passed by position or by keyword; the array
// companion's private functions take theirs by position only. There are no
// keyword-only or variadic parameters. The messages of the TypeErrors raised
// here are part of the module's interface.
#pragma once

#include "lib/toolkit/python_compat.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace pwpoly {
class LegendreBasis;
}

namespace pwpoly::py {

inline constexpr std::size_t kMaxParams = 8;

// The one description of an entry: the argument matcher reads it, and the
// signature line of its docstring is made from it. `interned` holds the
// parameter names as interned str objects (filled by `prepare_signature` at
// import) so that keyword names can be matched by identity before comparing
// text.
struct Signature {
    const char* function_name;  // "set_dofs"; constructors use "__new__"
    const char* class_name;     // null for module functions
    const char* params[kMaxParams];
    std::size_t n_params;
    std::size_t n_required;
    // The default of each optional parameter, as the signature line shows it.
    const char* defaults[kMaxParams] = {};
    bool positional_only = false;
    const char* doc = "";  // the docstring below the signature line
    PyObject* interned[kMaxParams] = {};
    std::string docstring{};  // made by prepare_signature
};

// Interns the parameter names of `sig` and makes its docstring: the
// signature line ("name(a, b=False)\n--\n\n", "$self" first for methods,
// the class name for constructors, "/" last when positional-only) followed
// by `doc`. Later calls keep what the first made.
void prepare_signature(Signature& sig);

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

// The parameter names of an entry, as one list: Params{"degree", "mesh"}.
// Their count is the list's length, known when the code is compiled.
template <std::size_t N>
struct Params {
    static_assert(N <= kMaxParams, "more parameters than a Signature holds");
    std::array<const char*, N> names;
};
template <class... Names>
Params(Names...) -> Params<sizeof...(Names)>;

// An entry's signature whose parameter count comes from its declaration:
// `Declared g_sig{"name", "Class", Params{"a", "b"}, 2, ...}` is a
// Declared<2>, and matching its arguments gives exactly two slots, which
// the entry names with a structured binding (`auto [a, b] = ...`): a
// binding of another count does not compile. `required` is how many
// parameters come first without a default.
template <std::size_t N>
struct Declared : Signature {
    Declared(const char* function, const char* cls, Params<N> names, std::size_t required,
             std::array<const char*, kMaxParams> defaults = {}, bool positional = false, const char* doc = "")
        : Signature{function, cls, {}, N, required, {}, positional, doc} {
        for (std::size_t i = 0; i < N; ++i)
            params[i] = names.names[i];
        for (std::size_t i = 0; i < kMaxParams; ++i)
            this->defaults[i] = defaults[i];
    }
};

// The companion's entries: every parameter required and passed by position,
// of a function (cls = nullptr) or of a method of class `cls`.
template <std::size_t N>
Declared<N> positional_only(const char* function, const char* cls, Params<N> names, const char* doc) {
    return Declared<N>{function, cls, names, N, {}, true, doc};
}
template <std::size_t N>
Declared<N> positional_only(const char* function, Params<N> names, const char* doc) {
    return positional_only(function, nullptr, names, doc);
}

// The arguments of a call of `sig`'s entry, one slot per parameter
// (borrowed; null = not passed), for a structured binding.
template <std::size_t N>
std::array<PyObject*, N> match_arguments(const Declared<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    match_arguments(sig, args, nargs, kwnames, slots.data());
    return slots;
}
template <std::size_t N>
std::array<PyObject*, N> match_arguments(const Declared<N>& sig, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> slots{};
    match_arguments(sig, args, kwargs, slots.data());
    return slots;
}

// An optional flag: false when not passed.
inline bool optional_bool(PyObject* slot, const char* name);

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

inline bool optional_bool(PyObject* slot, const char* name) { return slot != nullptr && to_bool(slot, name); }

// The core's rule for a mesh without intervals (LegendreBasis::has_intervals)
// as the caller's error: ValueError with the core's message.
void check_has_intervals(const LegendreBasis& basis);

// Rewrites a pending exact TypeError as "argument '<name>': <message>",
// keeping its __cause__; leaves any other exception alone. Then throws
// PythonError.
[[noreturn]] void throw_argument_error(const char* name);

}  // namespace pwpoly::py
