// `_native.TimeMesh(breakpoints, /)`, `_native.uniform_mesh(n_t, t0, t1, /)`
// and `_native.graded_mesh(n_t, T, grading, /)`: the native half of
// pwpoly_arrays.TimeMesh. The object holds one core TimeMesh, checked by
// the core when it is made (a refusal is a ValueError naming what is
// wrong), and never changes afterwards; every function of the module that
// works on a mesh takes it (`mesh_argument`).
#include <atomic>
#include <utility>
#include <vector>

#include "lib/arrays/native.hpp"
#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/buffers.hpp"
#include "lib/toolkit/interpreter_lock.hpp"
#include "lib/toolkit/pyref.hpp"
#include "lib/toolkit/results.hpp"
#include "piecewise_polynomials/basis/time_mesh.hpp"

namespace pwpoly::py::arrays {

namespace {

struct Payload {
    TimeMesh mesh;
};

constexpr const char* kClassName = "TimeMesh";
std::atomic<PyObject*> g_type{nullptr};

auto g_new_sig =
    positional_only("__new__", kClassName, Params{"breakpoints"},
                    "The mesh of the given breakpoints (a float64 buffer, strictly increasing and finite).");
auto g_parameters_sig =
    positional_only("parameters", kClassName, Params{},
                    "(uniform, n_t, start, end): the kind of the mesh, its interval count and its ends.");
auto g_breakpoints_sig =
    positional_only("breakpoints", kClassName, Params{}, "The n_t + 1 breakpoints, as an OwnedArray.");
auto g_widths_sig =
    positional_only("widths", kClassName, Params{},
                    "The n_t widths the evaluation divides by (the uniform width, or b[j + 1] - b[j] rounded), "
                    "as an OwnedArray.");

PyTypeObject* mesh_type() { return reinterpret_cast<PyTypeObject*>(g_type.load(std::memory_order_acquire)); }

PyObject* wrap(TimeMesh&& mesh) { return new_instance<Payload>(mesh_type(), Payload{std::move(mesh)}); }

PyObject* mesh_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        const auto [breakpoints_arg] = match_arguments(g_new_sig, args, kwargs);
        std::vector<double> breakpoints;
        {
            Float64Input given(breakpoints_arg, "breakpoints");
            breakpoints.assign(given.data(), given.data() + given.size());
        }
        return wrap(without_interpreter_lock([&] { return TimeMesh::from_breakpoints(std::move(breakpoints)); }));
    });
}

const TimeMesh& self_mesh(PyObject* self) { return receiver<Payload>(self, g_type, kClassName).mesh; }

PyObject* parameters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        match_arguments(g_parameters_sig, args, nargs, kwnames);
        const TimeMesh& mesh = self_mesh(self);
        PyObject* result = Py_BuildValue("(Nndd)", PyBool_FromLong(mesh.is_uniform()),
                                         static_cast<Py_ssize_t>(mesh.n_t()), mesh.start(), mesh.end());
        if (result == nullptr)
            throw_python_error();
        return result;
    });
}

PyObject* breakpoints_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        match_arguments(g_breakpoints_sig, args, nargs, kwnames);
        const TimeMesh& mesh = self_mesh(self);
        return owned_array(without_interpreter_lock([&] { return mesh.breakpoints(); }));
    });
}

PyObject* widths_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        match_arguments(g_widths_sig, args, nargs, kwnames);
        const TimeMesh& mesh = self_mesh(self);
        auto [obj, out] = new_owned_array<double>(mesh.n_t());
        PyRef result = PyRef::steal(obj);
        without_interpreter_lock([&, out = out] {
            for (std::size_t j = 0; j < mesh.n_t(); ++j)
                out[j] = mesh.width(j);
        });
        return result.release();
    });
}

Callable g_methods[] = {
    {&g_parameters_sig, parameters},
    {&g_breakpoints_sig, breakpoints_of},
    {&g_widths_sig, widths_of},
};

ClassDefinition g_class{"pwpoly_arrays._native.TimeMesh",
                        static_cast<int>(sizeof(Instance<Payload>)),
                        Py_TPFLAGS_IMMUTABLETYPE,
                        &g_new_sig,
                        mesh_new,
                        dealloc_instance<Payload>,
                        g_methods,
                        {}};

// uniform_mesh(n_t, t0, t1, /)
auto g_uniform_sig = positional_only("uniform_mesh", Params{"n_t", "t0", "t1"},
                                     "The uniform mesh of [t0, t1] with n_t intervals (t0 = 0: the mesh of [0, T]).");

PyObject* uniform_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [n_t_arg, t0_arg, t1_arg] = match_arguments(g_uniform_sig, args, nargs, kwnames);
        const std::size_t n_t = to_unsigned(n_t_arg, "n_t");
        const double t0 = to_float(t0_arg, "t0");
        const double t1 = to_float(t1_arg, "t1");
        return wrap(TimeMesh::uniform(n_t, t0, t1));
    });
}

// graded_mesh(n_t, T, grading, /)
auto g_graded_sig = positional_only("graded_mesh", Params{"n_t", "T", "grading"},
                                    "The mesh of [0, T] with breakpoints T (j / n_t)**grading.");

PyObject* graded_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        const auto [n_t_arg, T_arg, grading_arg] = match_arguments(g_graded_sig, args, nargs, kwnames);
        const std::size_t n_t = to_unsigned(n_t_arg, "n_t");
        const double T = to_float(T_arg, "T");
        const double grading = to_float(grading_arg, "grading");
        return wrap(without_interpreter_lock([&] { return TimeMesh::graded(n_t, T, grading); }));
    });
}

Callable g_functions[] = {
    {&g_uniform_sig, uniform_mesh},
    {&g_graded_sig, graded_mesh},
};

}  // namespace

const TimeMesh& mesh_argument(PyObject* obj, const char* name) {
    PyTypeObject* type = mesh_type();
    if (type == nullptr || !PyObject_TypeCheck(obj, type)) [[unlikely]]
        raise_format(PyExc_TypeError, "argument '%s': expected pwpoly_arrays._native.TimeMesh, got '%s'", name,
                     Py_TYPE(obj)->tp_name);
    return reinterpret_cast<Instance<Payload>*>(obj)->payload.mesh;
}

void add_mesh_type(PyObject* module) {
    if (PyModule_AddObjectRef(module, kClassName, class_type(g_type, g_class)) < 0)
        throw_python_error();
    add_functions(module, g_functions);
}

}  // namespace pwpoly::py::arrays
