// sum_as_string(a, b): the decimal text of a + b, added in the platform's
// size type (wrapping around on overflow, as unsigned arithmetic does).
#include "lib/pwpoly/entries.hpp"
#include "lib/pwpoly/registration.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/results.hpp"

#include <string>

namespace pwpoly::py {

namespace {

Declared g_signature{
    "sum_as_string", nullptr, Params{"a", "b"}, 2, {}, false, "Formats the sum of two numbers as string."};

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [a_arg, b_arg] = match_arguments(g_signature, args, nargs, kwnames);
        const std::size_t a = to_unsigned(a_arg, "a");
        const std::size_t b = to_unsigned(b_arg, "b");
        return make_str(std::to_string(a + b));
    });
}

Callable g_sum_as_string{&g_signature, sum_as_string};

}  // namespace

void register_sum_as_string(PyObject* module) { add_function(module, g_sum_as_string); }

}  // namespace pwpoly::py
