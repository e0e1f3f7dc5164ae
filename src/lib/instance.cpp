#include "lib/instance.hpp"

namespace pwpoly::py {

void wrong_receiver(PyObject* self, const char* class_name) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
    if (qualname)
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), class_name);
    throw PythonError{};
}

void check_has_intervals(std::size_t n_t) {
    if (n_t == 0) [[unlikely]]
        raise_value_error("cannot evaluate: the mesh has no intervals (n_t = 0)");
}

}  // namespace pwpoly::py
