#include "lib/float_buffer.hpp"

#include "lib/arguments.hpp"
#include "lib/errors.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace pwpoly::py {

namespace {

// The platform's alignment of a double as a member of a struct: 4 bytes on
// 32-bit x86 (where alignof(double) as a lone type reports 8), 8 on 64-bit.
struct DoubleField {
    double value;
};
constexpr std::uintptr_t kDoubleAlignment = alignof(DoubleField);

// One native 64-bit IEEE float per item: "d", "@d", "=d", or the explicit
// byte order of this machine followed by "d". A missing format means "B".
bool is_native_double_format(const char* format) {
    const std::string_view f = format != nullptr ? format : "B";
    if (f == "d" || f == "@d" || f == "=d")
        return true;
    if constexpr (std::endian::native == std::endian::little)
        return f == "<d";
    else
        return f == ">d" || f == "!d";
}

// Fresh pages are expensive (the kernel faults and zeroes every 4 KiB), and a
// loop of many-point evaluations would otherwise get a new array of fresh
// pages from the allocator on every call. So each thread keeps the last
// large array it released and reuses it when the next request fits. The
// array is taken out of the cell while in use, so a re-entrant call (a
// finalizer run by the garbage collector while results are being built)
// simply allocates its own.
constexpr std::size_t kRecycleMin = std::size_t{1} << 12;  // 32 KiB
constexpr std::size_t kRecycleMax = std::size_t{1} << 23;  // 64 MiB
thread_local std::unique_ptr<double[]> t_spare;
thread_local std::size_t t_spare_capacity = 0;

}  // namespace

FloatBuffer::FloatBuffer(PyObject* obj, const char* name) {
    Py_buffer& view = exporter_.view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) != 0)
        throw_argument_error(name);
    exporter_.held = true;
    if (view.shape == nullptr)
        raise_error(PyExc_BufferError, "shape is null");
    if (view.strides == nullptr)
        raise_error(PyExc_BufferError, "strides is null");
    if (view.itemsize != 8 || !is_native_double_format(view.format))
        raise_error(PyExc_BufferError, "buffer contents are not compatible with f64");
    if (reinterpret_cast<std::uintptr_t>(view.buf) % kDoubleAlignment != 0)
        raise_error(PyExc_BufferError, "buffer contents are insufficiently aligned for f64");

    const std::size_t count = static_cast<std::size_t>(view.len) / sizeof(double);
    if (count >= kRecycleMin && t_spare_capacity >= count) {
        values_ = std::move(t_spare);
        capacity_ = std::exchange(t_spare_capacity, 0);
    } else {
        values_.reset(new double[count]);
        capacity_ = count;
    }
    size_ = count;
    // One bulk copy when the view is C-contiguous; strided, indirect and
    // multi-dimensional views are gathered in C order (last index fastest).
    if (count > 0 &&
        PyBuffer_ToContiguous(values_.get(), &view, static_cast<Py_ssize_t>(count * sizeof(double)), 'C') != 0)
        throw_python_error();
}

FloatBuffer::~FloatBuffer() {
    if (capacity_ >= kRecycleMin && capacity_ <= kRecycleMax && capacity_ > t_spare_capacity) {
        t_spare = std::move(values_);
        t_spare_capacity = capacity_;
    }
}

}  // namespace pwpoly::py
