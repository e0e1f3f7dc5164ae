#include "lib/toolkit/arguments.hpp"

#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/pyref.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"

#include <cstdint>
#include <cstring>
#include <string>

namespace pwpoly::py {

void prepare_signature(Signature& sig) {
    for (std::size_t i = 0; i < sig.n_params; ++i) {
        if (sig.interned[i] != nullptr)
            continue;
        sig.interned[i] = PyUnicode_InternFromString(sig.params[i]);
        if (sig.interned[i] == nullptr)
            throw_python_error();
    }
    if (!sig.docstring.empty())
        return;
    const bool constructor = std::strcmp(sig.function_name, "__new__") == 0;
    std::string line = constructor ? sig.class_name : sig.function_name;
    line += '(';
    if (sig.class_name != nullptr && !constructor)
        line += sig.n_params > 0 ? "$self, " : "$self";
    for (std::size_t i = 0; i < sig.n_params; ++i) {
        if (i > 0)
            line += ", ";
        line += sig.params[i];
        if (i >= sig.n_required && sig.defaults[i] != nullptr) {
            line += '=';
            line += sig.defaults[i];
        }
    }
    if (sig.positional_only)
        line += sig.n_params > 0 ? ", /" : "/";
    line += ")\n--\n\n";
    line += sig.doc;
    sig.docstring = std::move(line);
}

// ---------------------------------------------------------------------------
// Argument matching

namespace {

std::string full_name(const Signature& sig) {
    std::string name;
    if (sig.class_name != nullptr) {
        name += sig.class_name;
        name += '.';
    }
    name += sig.function_name;
    name += "()";
    return name;
}

[[noreturn]] [[gnu::noinline]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.n_required == sig.n_params)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", full_name(sig).c_str(),
                     sig.n_params, given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     full_name(sig).c_str(), sig.n_required, sig.n_params, given, verb);
    throw PythonError{};
}

[[noreturn]] [[gnu::noinline]] void unexpected_keyword(const Signature& sig, PyObject* key) {
    if (PyUnicode_Check(key))
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name(sig).c_str(), key);
    else
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(sig).c_str(), key);
    throw PythonError{};
}

[[noreturn]] [[gnu::noinline]] void multiple_values(const Signature& sig, std::size_t param) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(sig).c_str(),
                 sig.params[param]);
    throw PythonError{};
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
[[noreturn]] [[gnu::noinline]] void missing_required(const Signature& sig, PyObject* const* slots) {
    std::size_t missing[kMaxParams];
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.n_required; ++i)
        if (slots[i] == nullptr)
            missing[count++] = i;
    std::string names;
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) {
            if (count == 2)
                names += " and ";
            else if (k + 1 == count)
                names += ", and ";
            else
                names += ", ";
        }
        names += '\'';
        names += sig.params[missing[k]];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", full_name(sig).c_str(), count,
                 count == 1 ? "argument" : "arguments", names.c_str());
    throw PythonError{};
}

// Index of the parameter called `key`, or n_params. Interned identity first;
// otherwise the UTF-8 text is compared byte for byte. A name that cannot be
// read as text matches nothing.
std::size_t find_param(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.n_params; ++i)
        if (sig.interned[i] == key)
            return i;
    if (!PyUnicode_Check(key))
        return sig.n_params;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return sig.n_params;
    }
    for (std::size_t i = 0; i < sig.n_params; ++i)
        if (std::strlen(sig.params[i]) == static_cast<std::size_t>(size) &&
            std::memcmp(sig.params[i], text, static_cast<std::size_t>(size)) == 0)
            return i;
    return sig.n_params;
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    const std::size_t i = find_param(sig, key);
    if (i == sig.n_params)
        unexpected_keyword(sig, key);
    if (slots[i] != nullptr)
        multiple_values(sig, i);
    slots[i] = value;
}

void fill_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
    if (static_cast<std::size_t>(nargs) > sig.n_params)
        too_many_positional(sig, nargs);
    for (std::size_t i = 0; i < sig.n_params; ++i)
        slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
}

void check_required(const Signature& sig, PyObject* const* slots) {
    for (std::size_t i = 0; i < sig.n_required; ++i)
        if (slots[i] == nullptr)
            missing_required(sig, slots);
}

[[noreturn]] [[gnu::noinline]] void no_keywords(const Signature& sig) {
    PyErr_Format(PyExc_TypeError, "%s takes no keyword arguments", full_name(sig).c_str());
    throw PythonError{};
}

}  // namespace

void match_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** slots) {
    if (sig.positional_only && kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0)
        no_keywords(sig);
    fill_positional(sig, args, nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
    }
    check_required(sig, slots);
}

void match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    if (sig.positional_only && kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0)
        no_keywords(sig);
    fill_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots);
    if (kwargs != nullptr) {
        // Keyword dictionaries keep the order in which the call passed them.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            place_keyword(sig, key, value, slots);
    }
    check_required(sig, slots);
}

// ---------------------------------------------------------------------------
// Conversions

void throw_argument_error(const char* name) {
    if (!PyErr_Occurred())
        throw_python_error();
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        throw PythonError{};
    PyRef exc = PyRef::steal(take_raised_exception());
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_raised_exception(exc.release());  // a TypeError subclass passes unchanged
        throw PythonError{};
    }
    PyRef prefixed = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, exc.get()));
    if (!prefixed)
        throw PythonError{};
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, prefixed.get()));
    if (!replacement)
        throw PythonError{};
    PyException_SetCause(replacement.get(), PyException_GetCause(exc.get()));  // steals the new reference
    restore_raised_exception(replacement.release());
    throw PythonError{};
}

void check_has_intervals(const LegendreBasis& basis) {
    if (!basis.has_intervals()) [[unlikely]]
        raise_error(PyExc_ValueError, no_intervals_message);
}

std::size_t to_unsigned(PyObject* obj, const char* name) {
    unsigned long long value;
    if (PyLong_Check(obj)) [[likely]] {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index)
            throw_argument_error(name);
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw_argument_error(name);
    if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
        if (value > SIZE_MAX)
            raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(value);
}

double to_float(PyObject* obj, const char* name) {
    if (PyFloat_CheckExact(obj))
        return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        throw_argument_error(name);
    return value;
}

namespace {

[[noreturn]] [[gnu::noinline]] void cannot_cast(PyObject* obj, const char* target, const char* name) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname)
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), target);
    throw_argument_error(name);
}

bool text_equals(PyObject* str, const char* text) {
    if (str == nullptr || !PyUnicode_Check(str))
        return false;
    return PyUnicode_CompareWithASCIIString(str, text) == 0;
}

// numpy's boolean scalar types are recognised by the module and name of
// their type, without importing numpy.
bool is_numpy_bool(PyObject* obj) {
    static PyObject* const module_attr = PyUnicode_InternFromString("__module__");
    if (module_attr == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyTypeObject* type = Py_TYPE(obj);
    PyRef module = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), module_attr));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!text_equals(module.get(), "numpy"))
        return false;
    PyRef type_name = PyRef::steal(PyType_GetName(type));
    if (!type_name) {
        PyErr_Clear();
        return false;
    }
    return text_equals(type_name.get(), "bool_") || text_equals(type_name.get(), "bool");
}

}  // namespace

bool to_bool(PyObject* obj, const char* name) {
    if (PyBool_Check(obj))
        return obj == Py_True;
    if (!is_numpy_bool(obj))
        cannot_cast(obj, "bool", name);
    PyTypeObject* type = Py_TYPE(obj);
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        throw_argument_error(name);
    }
    const int result = truth(obj);
    if (result < 0)
        throw_argument_error(name);
    return result != 0;
}

std::vector<double> to_float_list(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw_argument_error(name);
    }
    if (!PySequence_Check(obj))
        cannot_cast(obj, "Sequence", name);

    std::vector<double> out;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else if (hint > 0) {
        try {
            out.reserve(static_cast<std::size_t>(hint));
        } catch (const std::exception&) {
            // An implausible length is only a hint; grow as the items come.
        }
    }

    if (PyList_CheckExact(obj)) {
        // Same visiting order as the list iterator, which re-reads the size
        // on every step because converting an item may run Python code.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            if constexpr (!kListItemsNeedStrongRef) {
                PyObject* item = PyList_GET_ITEM(obj, i);
                if (PyFloat_CheckExact(item)) [[likely]] {
                    out.push_back(PyFloat_AS_DOUBLE(item));
                    continue;
                }
            }
            PyRef item = PyRef::steal(list_item_ref(obj, i));
            if (!item)
                break;  // the list shrank meanwhile
            out.push_back(to_float_fast(item.get(), name));
        }
        return out;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        for (Py_ssize_t i = 0; i < n; ++i)
            out.push_back(to_float_fast(PyTuple_GET_ITEM(obj, i), name));
        return out;
    }

    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter)
        throw_argument_error(name);
    while (PyObject* raw = PyIter_Next(iter.get())) {
        PyRef item = PyRef::steal(raw);
        out.push_back(to_float_fast(item.get(), name));
    }
    if (PyErr_Occurred())
        throw_argument_error(name);
    return out;
}

}  // namespace pwpoly::py
