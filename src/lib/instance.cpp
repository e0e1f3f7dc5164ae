#include "lib/instance.hpp"

namespace pwpoly::py {

void wrong_receiver(PyObject* self, const char* class_name) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
    if (qualname)
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), class_name);
    throw PythonError{};
}

void check_has_intervals(const LegendreBasis& basis) {
    if (!basis.has_intervals()) [[unlikely]]
        raise_error(PyExc_ValueError, no_intervals_message);
}

}  // namespace pwpoly::py
