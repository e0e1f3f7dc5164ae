// The private native module of pwpoly_arrays (`pwpoly_arrays._native`).
//
// Every entry takes its arguments by position only and already normalised by
// the Python package (float64 buffers, in-range sizes); it re-checks what
// memory safety depends on (counts, formats, overlaps, writability) and
// raises ValueError/TypeError/BufferError otherwise. Arrays cross the
// boundary only through the buffer protocol, so no numpy headers are needed
// and the module does not depend on numpy's ABI.
#pragma once

#include "lib/errors.hpp"
#include "lib/interpreter_lock.hpp"
#include "lib/python_compat.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pwpoly::py::arrays {

[[noreturn]] void raise(PyObject* type, const char* message);

// Positional-only fast calls: exactly `n` arguments, no keywords.
void expect_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t n);
std::size_t size_argument(PyObject* obj);
double float_argument(PyObject* obj);
bool bool_argument(PyObject* obj);

enum class ItemKind { Float64, Int32, Int64 };

// A C-contiguous buffer of one of the item kinds, held from construction to
// destruction (which must happen with the interpreter lock held).
class BufferView {
public:
    BufferView(PyObject* obj, bool writable);
    ~BufferView();
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    ItemKind kind() const { return kind_; }
    std::size_t count() const { return count_; }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }
    // Whether the two buffers share at least one byte.
    bool overlaps(const BufferView& other) const;

private:
    Py_buffer view_{};
    bool held_ = false;
    ItemKind kind_ = ItemKind::Float64;
    std::size_t count_ = 0;
};

// Fails with ValueError unless `view` holds float64 items (`what` names it).
void expect_float64(const BufferView& view, const char* what);

// Fills `view` for a getbuffer slot that exports `shape[0]` contiguous items
// of `*itemsize` bytes at `buf`, owned by `owner`. `shape` and `itemsize` must
// live as long as the owner (the view points at them). Always succeeds.
int export_1d(PyObject* owner, Py_buffer* view, int flags, void* buf, const Py_ssize_t* shape,
              const Py_ssize_t* itemsize, const char* format, bool readonly);

// A new one-dimensional, writable array object that owns `values` and
// exports them through the buffer protocol ("d", "i" or the 64-bit integer
// format), for numpy to wrap without a copy.
PyObject* owned_array(std::vector<double>&& values);
PyObject* owned_array(std::vector<std::int32_t>&& values);
PyObject* owned_array(std::vector<std::int64_t>&& values);

// Creates the type of `spec` once per process (kept in `cell`) and adds it to
// `module` as `name`; false with an exception set.
bool add_type(PyObject* module, std::atomic<PyObject*>& cell, PyType_Spec& spec, const char* name);

// The registrations of the module's parts; false with an exception set.
bool add_expansion_type(PyObject* module);
bool add_owned_array_type(PyObject* module);
bool add_matrix_functions(PyObject* module);

}  // namespace pwpoly::py::arrays
