#include "lib/toolkit/buffers.hpp"

#include <atomic>
#include <bit>
#include <cstdint>
#include <string_view>
#include <utility>

#include "lib/toolkit/arguments.hpp"
#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/interpreter_lock.hpp"

namespace pwpoly::py {

HeldBuffer::~HeldBuffer() {
    if (held_ && !interpreter_lock_lost())
        PyBuffer_Release(&view_);
}

bool HeldBuffer::acquire(PyObject* obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) != 0)
        return false;
    held_ = true;
    return true;
}

bool is_native_float64(const Py_buffer& view) {
    const std::string_view f = view.format != nullptr ? view.format : "B";
    if (view.itemsize != 8)
        return false;
    if (f == "d" || f == "@d" || f == "=d")
        return true;
    if constexpr (std::endian::native == std::endian::little)
        return f == "<d";
    else
        return f == ">d" || f == "!d";
}

namespace {

struct DoubleField {
    double value;
};

}  // namespace

bool is_double_aligned(const void* address) {
    return reinterpret_cast<std::uintptr_t>(address) % alignof(DoubleField) == 0;
}

bool is_c_contiguous(const Py_buffer& view) { return PyBuffer_IsContiguous(&view, 'C') != 0; }

bool same_array(const Py_buffer& a, const Py_buffer& b) {
    if (a.buf != b.buf || a.itemsize != b.itemsize || a.ndim != b.ndim || a.len != b.len)
        return false;
    for (int d = 0; d < a.ndim; ++d) {
        if (a.shape[d] != b.shape[d])
            return false;
        if (a.shape[d] > 1 && a.strides[d] != b.strides[d])
            return false;
    }
    return a.suboffsets == nullptr && b.suboffsets == nullptr;
}

namespace {

// [first, last) bytes that a strided view can reach; empty for no items.
struct Extent {
    std::uintptr_t first, last;
};

Extent extent_of(const Py_buffer& v) {
    const auto base = reinterpret_cast<std::uintptr_t>(v.buf);
    if (v.len == 0)
        return {base, base};
    std::intptr_t low = 0, high = 0;
    for (int d = 0; d < v.ndim; ++d) {
        const std::intptr_t span = static_cast<std::intptr_t>(v.shape[d] - 1) * v.strides[d];
        (span < 0 ? low : high) += span;
    }
    return {base + static_cast<std::uintptr_t>(low), base + static_cast<std::uintptr_t>(high + v.itemsize)};
}

}  // namespace

bool may_overlap(const Py_buffer& a, const Py_buffer& b) {
    // Views with suboffsets point into memory we cannot bound: assume the worst.
    if (a.suboffsets != nullptr || b.suboffsets != nullptr)
        return a.len != 0 && b.len != 0;
    const Extent x = extent_of(a), y = extent_of(b);
    if (x.first == x.last || y.first == y.last)
        return false;
    return x.first < y.last && y.first < x.last;
}

void export_1d(PyObject* owner, Py_buffer* view, int flags, void* buf, Py_ssize_t* shape, Py_ssize_t* itemsize,
               const char* format, bool readonly) {
    view->buf = buf;
    view->obj = Py_NewRef(owner);
    view->len = *shape * *itemsize;
    view->readonly = readonly ? 1 : 0;
    view->itemsize = *itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
}

// ---- the recycled scratch array -------------------------------------------

namespace {

constexpr std::size_t kRecycleMin = std::size_t{1} << 12;  // 32 KiB
constexpr std::size_t kRecycleMax = std::size_t{1} << 23;  // 64 MiB

struct Spare {
    std::unique_ptr<double[]> data;
    std::size_t capacity;
};

// The process's one spare, taken out while in use (so concurrent and
// re-entrant calls simply allocate their own). An atomic pointer and no
// lock: a child made by fork() while another thread held a lock here would
// wait for it forever.
std::atomic<Spare*> g_spare{nullptr};

}  // namespace

void ScratchArray::allocate(std::size_t count) {
    size_ = count;
    if (count >= kRecycleMin) {
        if (Spare* spare = g_spare.exchange(nullptr, std::memory_order_acquire)) {
            if (spare->capacity >= count) {
                data_ = std::move(spare->data);
                capacity_ = spare->capacity;
                delete spare;
                return;
            }
            delete spare;
        }
    }
    // Left uninitialised: the caller fills every item.
    data_.reset(new double[count]);
    capacity_ = count;
}

ScratchArray::~ScratchArray() {
    if (capacity_ < kRecycleMin || capacity_ > kRecycleMax || !data_)
        return;
    Spare* mine = new (std::nothrow) Spare{std::move(data_), capacity_};
    if (mine == nullptr)
        return;
    // Keep the larger of ours and the one already there; whatever comes out
    // of the cell belongs to whoever took it.
    Spare* previous = g_spare.exchange(mine, std::memory_order_acq_rel);
    if (previous != nullptr && previous->capacity > mine->capacity)
        previous = g_spare.exchange(previous, std::memory_order_acq_rel);
    delete previous;
}

// ---- pwpoly's float buffer ---------------------------------------------------

FloatBuffer::FloatBuffer(PyObject* obj, const char* name) {
    if (!exporter_.acquire(obj, PyBUF_FULL_RO))
        throw_argument_error(name);
    const Py_buffer& view = exporter_.view();
    if (view.shape == nullptr)
        raise_error(PyExc_BufferError, "shape is null");
    if (view.strides == nullptr)
        raise_error(PyExc_BufferError, "strides is null");
    if (!is_native_float64(view))
        raise_error(PyExc_BufferError, "buffer contents are not compatible with f64");
    if (!is_double_aligned(view.buf))
        raise_error(PyExc_BufferError, "buffer contents are insufficiently aligned for f64");
    copy_.allocate(static_cast<std::size_t>(view.len) / sizeof(double));
    // One bulk copy when the view is C-contiguous; strided, indirect and
    // multi-dimensional views are gathered in C order (last index fastest).
    if (copy_.size() > 0 && PyBuffer_ToContiguous(copy_.data(), &view, view.len, 'C') != 0)
        throw_python_error();
}

// ---- the companion's arrays ------------------------------------------------------

namespace {

// "t: expected float64 items, got format 'f' (4 bytes per item)".
[[noreturn]] void not_float64(const char* name, const Py_buffer& view) {
    raise_format(PyExc_TypeError, "%s: expected float64 items (format 'd'), got format '%s' (%zd bytes per item)", name,
                 view.format != nullptr ? view.format : "B", view.itemsize);
}

void acquire_or_rename(HeldBuffer& held, PyObject* obj, int flags, const char* name) {
    if (!held.acquire(obj, flags))
        throw_argument_error(name);
}

}  // namespace

Float64Input::Float64Input(PyObject* obj, const char* name) {
    acquire_or_rename(held_, obj, PyBUF_FULL_RO, name);
    const Py_buffer& view = held_.view();
    if (!is_native_float64(view))
        not_float64(name, view);
    count_ = held_.item_count();
    if (is_c_contiguous(view) && is_double_aligned(view.buf)) {
        data_ = static_cast<const double*>(view.buf);
        return;
    }
    copy_.allocate(count_);
    if (count_ > 0 && PyBuffer_ToContiguous(copy_.data(), &view, view.len, 'C') != 0)
        throw_python_error();
    data_ = copy_.data();
}

Float64Output::Float64Output(PyObject* obj, const char* name) {
    // Asked for without PyBUF_WRITABLE, so that a read-only array is
    // recognised by its flag (exporters differ in how they refuse a
    // writable request); a buffer whose flag says writable may be written.
    acquire_or_rename(held_, obj, PyBUF_FULL_RO, name);
    if (held_.view().readonly)
        raise_format(PyExc_ValueError, "%s: the array is read-only", name);
    const Py_buffer& view = held_.view();
    if (!is_native_float64(view))
        not_float64(name, view);
    count_ = held_.item_count();
    if (is_c_contiguous(view) && is_double_aligned(view.buf)) {
        data_ = static_cast<double*>(view.buf);
        return;
    }
    temp_.allocate(count_);
    data_ = temp_.data();
}

void Float64Output::commit() {
    if (temp_.data() == nullptr || count_ == 0)
        return;
    if (PyBuffer_FromContiguous(&held_.view(), temp_.data(), held_.view().len, 'C') != 0)
        throw_python_error();
}

}  // namespace pwpoly::py
