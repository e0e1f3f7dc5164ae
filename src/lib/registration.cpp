#include "lib/registration.hpp"

#include "lib/pyref.hpp"

namespace pwpoly::py {

namespace {

// `__all__` is read from the module on every registration; a missing one is
// created as an empty list, anything that is not a list fails.
bool append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0)
            return false;
    }
    if (!PyList_Check(all.get())) {
        PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(all.get())));
        if (qualname)
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'list'", qualname.get());
        return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

}  // namespace

bool add_function(PyObject* module, PyMethodDef* def, Signature& sig) {
    if (!intern_signature(sig))
        return false;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name)
        return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function)
        return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || !append_to_all(module, name.get()))
        return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* get_or_create_type(std::atomic<PyObject*>& cell, PyType_Spec& spec) {
    PyObject* type = cell.load(std::memory_order_acquire);
    if (type != nullptr)
        return type;
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr)
        return nullptr;
    return publish_once(cell, created);
}

bool add_type(PyObject* module, const char* name, PyObject* type) {
    PyRef name_obj = PyRef::steal(PyUnicode_FromString(name));
    if (!name_obj || !append_to_all(module, name_obj.get()))
        return false;
    return PyObject_SetAttr(module, name_obj.get(), type) == 0;
}

}  // namespace pwpoly::py
