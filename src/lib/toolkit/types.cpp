#include "lib/toolkit/types.hpp"

#include "lib/toolkit/pyref.hpp"

namespace pwpoly::py {

void wrong_receiver(PyObject* self, const char* class_name) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
    if (qualname)
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), class_name);
    throw PythonError{};
}

PyMethodDef& method_def(Callable& c) {
    prepare_signature(*c.signature);
    c.def = PyMethodDef{c.signature->function_name, as_method(c.function), kFastCall, c.signature->docstring.c_str()};
    return c.def;
}

PyObject* class_type(std::atomic<PyObject*>& cell, ClassDefinition& definition) {
    if (PyObject* type = cell.load(std::memory_order_acquire))
        return type;
    prepare_signature(*definition.constructor);
    definition.method_defs.clear();
    for (Callable& c : definition.methods)
        definition.method_defs.push_back(method_def(c));
    definition.method_defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    definition.slots = {
        {Py_tp_new, reinterpret_cast<void*>(definition.new_function)},
        {Py_tp_dealloc, reinterpret_cast<void*>(definition.dealloc)},
        {Py_tp_methods, definition.method_defs.data()},
        {Py_tp_doc, const_cast<char*>(definition.constructor->docstring.c_str())},
    };
    for (const PyType_Slot& slot : definition.extra_slots)
        if (slot.slot != 0)
            definition.slots.push_back(slot);
    definition.slots.push_back(PyType_Slot{0, nullptr});
    PyType_Spec spec{definition.qualified_name, definition.basicsize, 0, Py_TPFLAGS_DEFAULT | definition.flags,
                     definition.slots.data()};
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr)
        throw_python_error();
    return publish_once(cell, created);
}

PyObject* module_function(PyObject* module, Callable& c) {
    PyMethodDef& def = method_def(c);
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name)
        throw_python_error();
    PyObject* function = PyCFunction_NewEx(&def, module, module_name.get());
    if (function == nullptr)
        throw_python_error();
    return function;
}

void claim_interpreter(std::atomic<std::int64_t>& owner, const char* module_name) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        throw_python_error();
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id)
        raise_format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it can only be imported into the interpreter "
                     "that imported it first",
                     module_name);
}

}  // namespace pwpoly::py
