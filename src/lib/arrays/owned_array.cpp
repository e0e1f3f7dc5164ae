// `_native.OwnedArray`: a one-dimensional array allocated by the native
// code (a sparse matrix's arrays, the Lagrange points) and handed to numpy
// through the buffer protocol, so numpy wraps it without copying. The
// object holds no Python references (no GC) and cannot be created from
// Python. Like any numpy array's memory, its items are writable; only the
// numpy array that wraps it refers to it.
#include <atomic>
#include <memory>
#include <type_traits>
#include <utility>

#include "lib/arrays/native.hpp"
#include "lib/toolkit/buffers.hpp"
#include "lib/toolkit/pyref.hpp"

namespace pwpoly::py::arrays {

namespace {

// The storage, whatever holds it (a vector moved in from the core, or an
// uninitialised block), behind one owner pointer and its deleter.
struct Storage {
    std::unique_ptr<void, void (*)(void*)> owner{nullptr, [](void*) {}};
    void* data = nullptr;
    Py_ssize_t shape = 0;
    Py_ssize_t itemsize = 0;
    const char* format = "d";
};

template <class T>
const char* format_of() {
    if constexpr (std::is_same_v<T, double>)
        return "d";
    else if constexpr (std::is_same_v<T, std::int32_t>)
        return "i";
    else
        return sizeof(long) == 8 ? "l" : "q";  // numpy's name for int64 on this platform
}

std::atomic<PyObject*> g_type{nullptr};

// An empty array may have no storage; numpy still wants an address.
double g_empty_storage = 0.0;

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    Storage& s = reinterpret_cast<Instance<Storage>*>(self)->payload;
    export_1d(self, view, flags, s.shape > 0 ? s.data : &g_empty_storage, &s.shape, &s.itemsize, s.format, false);
    return 0;
}

Declared g_signature{"__new__",
                     "OwnedArray",
                     Params{},
                     0,
                     {},
                     false,
                     "Array storage allocated by pwpoly_arrays' native code, exported to numpy."};

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'pwpoly_arrays._native.OwnedArray' instances");
    return nullptr;
}

const PyType_Slot g_extra_slots[] = {{Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)}, {0, nullptr}};

ClassDefinition g_class{"pwpoly_arrays._native.OwnedArray",
                        static_cast<int>(sizeof(Instance<Storage>)),
                        Py_TPFLAGS_IMMUTABLETYPE,
                        &g_signature,
                        refuse_new,
                        dealloc_instance<Storage>,
                        {},
                        g_extra_slots};

template <class Holder, class T>
PyObject* make(Holder* holder, T* data, std::size_t count) {
    std::unique_ptr<Holder> owned(holder);
    auto* type = reinterpret_cast<PyTypeObject*>(g_type.load(std::memory_order_acquire));
    PyObject* self = new_instance<Storage>(type);
    Storage& s = reinterpret_cast<Instance<Storage>*>(self)->payload;
    s.owner = std::unique_ptr<void, void (*)(void*)>(owned.release(), [](void* p) { delete static_cast<Holder*>(p); });
    s.data = data;
    s.shape = static_cast<Py_ssize_t>(count);
    s.itemsize = static_cast<Py_ssize_t>(sizeof(T));
    s.format = format_of<T>();
    return self;
}

template <class Vector>
PyObject* from_vector(Vector&& values) {
    auto* holder = new Vector(std::move(values));
    return make(holder, holder->data(), holder->size());
}

}  // namespace

PyObject* owned_array(std::vector<double>&& values) { return from_vector(std::move(values)); }
PyObject* owned_array(std::vector<std::int32_t>&& values) { return from_vector(std::move(values)); }
PyObject* owned_array(std::vector<std::int64_t>&& values) { return from_vector(std::move(values)); }
PyObject* owned_array(UninitVector<double>&& values) { return from_vector(std::move(values)); }
PyObject* owned_array(UninitVector<std::int32_t>&& values) { return from_vector(std::move(values)); }
PyObject* owned_array(UninitVector<std::int64_t>&& values) { return from_vector(std::move(values)); }

template <class T>
std::pair<PyObject*, T*> new_owned_array(std::size_t count) {
    checked_array_count(count, sizeof(T));
    struct Block {
        std::unique_ptr<T[]> items;
    };
    // Default-initialised: no pass over the memory before the caller fills it.
    std::unique_ptr<T[]> items(new T[count]);
    T* data = items.get();
    auto* block = new Block{std::move(items)};
    return {make(block, data, count), data};
}

template std::pair<PyObject*, double*> new_owned_array<double>(std::size_t);
template std::pair<PyObject*, std::int32_t*> new_owned_array<std::int32_t>(std::size_t);
template std::pair<PyObject*, std::int64_t*> new_owned_array<std::int64_t>(std::size_t);

void add_owned_array_type(PyObject* module) {
    PyObject* type = class_type(g_type, g_class);
    if (PyModule_AddObjectRef(module, "OwnedArray", type) < 0)
        throw_python_error();
}

}  // namespace pwpoly::py::arrays
