// `_native.OwnedArray`: a one-dimensional array allocated by the native
// code (a sparse matrix's arrays, the Lagrange points) and handed to numpy
// through the buffer protocol, so numpy wraps it without copying. The
// object holds no Python references (no GC) and cannot be created from
// Python. Like any numpy array's memory, its items are writable; only the
// numpy array that wraps it refers to it.
#include "lib/arrays/native.hpp"

#include "lib/pyref.hpp"

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

namespace pwpoly::py::arrays {

namespace {

using Storage = std::variant<std::vector<double>, std::vector<std::int32_t>, std::vector<std::int64_t>>;

struct OwnedArray {
    PyObject_HEAD
    Storage storage;
    void* data;
    Py_ssize_t shape;
    Py_ssize_t itemsize;
    const char* format;
};

std::atomic<PyObject*> g_type{nullptr};

template <class T>
const char* format_of() {
    if constexpr (std::is_same_v<T, double>)
        return "d";
    else if constexpr (std::is_same_v<T, std::int32_t>)
        return "i";
    else
        return sizeof(long) == 8 ? "l" : "q";  // numpy's name for int64 on this platform
}

template <class T>
PyObject* make(std::vector<T>&& values) {
    auto* type = reinterpret_cast<PyTypeObject*>(g_type.load(std::memory_order_acquire));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        throw PythonError{};
    auto* obj = reinterpret_cast<OwnedArray*>(self);
    new (&obj->storage) Storage(std::move(values));
    auto& held = std::get<std::vector<T>>(obj->storage);
    obj->data = held.data();
    obj->shape = static_cast<Py_ssize_t>(held.size());
    obj->itemsize = static_cast<Py_ssize_t>(sizeof(T));
    obj->format = format_of<T>();
    return self;
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    auto* obj = reinterpret_cast<OwnedArray*>(self);
    // An empty vector may have no storage; numpy still wants an address.
    static double empty_storage = 0.0;
    void* buf = obj->shape > 0 ? obj->data : &empty_storage;
    return export_1d(self, view, flags, buf, &obj->shape, &obj->itemsize, obj->format, false);
}

void dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<OwnedArray*>(self);
    obj->storage.~Storage();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_doc, const_cast<char*>("Array storage allocated by pwpoly_arrays' native code, exported to numpy.")},
    {0, nullptr},
};

PyType_Spec g_spec = {"pwpoly_arrays._native.OwnedArray", static_cast<int>(sizeof(OwnedArray)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_slots};

}  // namespace

PyObject* owned_array(std::vector<double>&& values) { return make(std::move(values)); }
PyObject* owned_array(std::vector<std::int32_t>&& values) { return make(std::move(values)); }
PyObject* owned_array(std::vector<std::int64_t>&& values) { return make(std::move(values)); }

bool add_owned_array_type(PyObject* module) { return add_type(module, g_type, g_spec, "OwnedArray"); }

}  // namespace pwpoly::py::arrays
