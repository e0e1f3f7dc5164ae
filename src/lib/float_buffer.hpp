// The float-buffer argument kind: 64-bit floats copied out of any object
// that exports the buffer protocol.
#pragma once

#include "lib/python_compat.hpp"

#include <cstddef>
#include <memory>
#include <span>

namespace pwpoly::py {

// Holds the exporter's buffer from conversion until destruction (which must
// happen with the interpreter lock held) and a private C-order copy of its
// values, which is all the computation ever touches.
class FloatBuffer {
public:
    FloatBuffer(PyObject* obj, const char* name);
    ~FloatBuffer();
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    std::span<double> values() { return {values_.get(), size_}; }

private:
    // A member of its own so that it is released also when the constructor
    // fails after the buffer was obtained.
    struct HeldView {
        Py_buffer view{};
        bool held = false;
        HeldView() = default;
        HeldView(const HeldView&) = delete;
        HeldView& operator=(const HeldView&) = delete;
        ~HeldView() {
            if (held)
                PyBuffer_Release(&view);
        }
    };

    HeldView exporter_;
    // Left uninitialised until the copy fills it: no extra pass over memory.
    // Large arrays are recycled per thread (see float_buffer.cpp).
    std::unique_ptr<double[]> values_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace pwpoly::py
