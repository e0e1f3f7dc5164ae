// Buffers of other objects, for both modules: a held view that releases what
// it took on every path out (also when the constructor that took it throws),
// and the float64 arrays the entry points read and fill through it.
//
// Every class here must be destroyed with the interpreter lock held, which
// is where the entry points destroy them (work without the lock only ever
// sees raw pointers).
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "lib/toolkit/python_compat.hpp"

namespace pwpoly::py {

// An exporter's buffer, held from a successful acquire() to destruction.
class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer();
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    // PyObject_GetBuffer(obj, flags); false with the exception set.
    bool acquire(PyObject* obj, int flags);
    const Py_buffer& view() const { return view_; }
    std::size_t item_count() const {
        return view_.itemsize > 0 ? static_cast<std::size_t>(view_.len / view_.itemsize) : 0;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Items are native 64-bit IEEE floats: format "d", "@d", "=d" or this
// machine's explicit byte order followed by "d" (a missing format means
// "B"), 8 bytes each.
bool is_native_float64(const Py_buffer& view);

// Aligned as a double is as a struct member on this platform (4 bytes on
// 32-bit x86, 8 elsewhere).
bool is_double_aligned(const void* address);

// C-contiguous in memory (any shape), so that its items can be read as one
// array.
bool is_c_contiguous(const Py_buffer& view);

// Whether the two views are the same array: same first byte, item size,
// shape and strides.
bool same_array(const Py_buffer& a, const Py_buffer& b);

// Whether the byte ranges the two views can reach intersect (a bound: two
// interleaved strided views count as overlapping).
bool may_overlap(const Py_buffer& a, const Py_buffer& b);

// Fills `view` for a getbuffer slot that exports `*shape` contiguous items
// of `*itemsize` bytes at `buf`, owned by `owner`. `shape` and `itemsize`
// must live as long as the owner (the view points at them).
void export_1d(PyObject* owner, Py_buffer* view, int flags, void* buf, Py_ssize_t* shape, Py_ssize_t* itemsize,
               const char* format, bool readonly);

// An uninitialised array of doubles, recycled across calls: fresh pages are
// expensive (the kernel faults and zeroes every 4 KiB), and a loop of
// many-point calls would otherwise get new pages on every call. The process
// keeps at most one spare (the largest recently given back, up to 64 MiB):
// per thread, idle threads would each hold one for nothing.
class ScratchArray {
public:
    ScratchArray() = default;
    explicit ScratchArray(std::size_t count) { allocate(count); }
    ~ScratchArray();
    // `count` items (on an empty array only).
    void allocate(std::size_t count);
    ScratchArray(const ScratchArray&) = delete;
    ScratchArray& operator=(const ScratchArray&) = delete;

    double* data() { return data_.get(); }
    const double* data() const { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<double[]> data_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// pwpoly's float-buffer argument: any exporter of native float64 items
// (any shape and strides), copied out in C order into a private array that
// the computation then owns (and may overwrite with its results). Failures
// raise BufferError with pwpoly's texts; the exporter is released on every
// path.
class FloatBuffer {
public:
    FloatBuffer(PyObject* obj, const char* name);

    std::span<double> values() { return {copy_.data(), copy_.size()}; }

private:
    HeldBuffer exporter_;
    ScratchArray copy_;
};

// The companion's float64 array argument, read in C order: the exporter's
// own memory when it is C-contiguous and aligned, else an aligned private
// copy. Other item types are a TypeError naming the argument.
class Float64Input {
public:
    Float64Input(PyObject* obj, const char* name);

    const Py_buffer& view() const { return held_.view(); }
    std::size_t size() const { return count_; }
    const double* data() const { return data_; }
    // Whether the items are a private copy (so they may be overwritten).
    bool is_copy() const { return copy_.data() != nullptr; }

private:
    HeldBuffer held_;
    ScratchArray copy_;
    const double* data_ = nullptr;
    std::size_t count_ = 0;
};

// The companion's float64 array result that the caller passes in (`out=`),
// filled in C order: written in place when C-contiguous and aligned, else
// through an aligned temporary that commit() copies back. Read-only arrays
// and other item types are refused, naming the argument.
class Float64Output {
public:
    Float64Output(PyObject* obj, const char* name);

    const Py_buffer& view() const { return held_.view(); }
    std::size_t size() const { return count_; }
    double* data() { return data_; }
    // Makes the computed items the array's (a no-op when written in place).
    void commit();

private:
    HeldBuffer held_;
    ScratchArray temp_;
    double* data_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace pwpoly::py
