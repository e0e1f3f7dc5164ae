// Argument conversion and buffer access of the private array module.
#include "lib/arrays/native.hpp"

#include <bit>
#include <cstring>
#include <string_view>

namespace pwpoly::py::arrays {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

namespace {

[[noreturn]] void pass_on() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "a conversion failed without an exception");
    throw PythonError{};
}

// The alignment of an item as a struct member: 4 bytes for 64-bit items on
// 32-bit x86 (where alignof of the lone type reports 8), natural elsewhere.
template <class T>
struct Field {
    T value;
};

// The item kind of a buffer format ("d", "<d", "=q", ...), checked against
// the item size. Only this machine's byte order is accepted.
bool parse_format(const char* format, Py_ssize_t itemsize, ItemKind& kind) {
    std::string_view f = format != nullptr ? format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (std::endian::native == std::endian::little && f[0] == '<') ||
                       (std::endian::native == std::endian::big && (f[0] == '>' || f[0] == '!'))))
        f.remove_prefix(1);
    if (f.size() != 1)
        return false;
    switch (f[0]) {
    case 'd':
        kind = ItemKind::Float64;
        return itemsize == 8;
    case 'i':
    case 'l':
    case 'q':
        if (itemsize == 4)
            kind = ItemKind::Int32;
        else if (itemsize == 8)
            kind = ItemKind::Int64;
        else
            return false;
        return true;
    default:
        return false;
    }
}

std::size_t alignment_of(ItemKind kind) {
    switch (kind) {
    case ItemKind::Float64:
        return alignof(Field<double>);
    case ItemKind::Int32:
        return alignof(Field<std::int32_t>);
    case ItemKind::Int64:
        return alignof(Field<std::int64_t>);
    }
    return 8;
}

}  // namespace

void expect_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t n) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
        throw PythonError{};
    }
    if (nargs != n) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function, n, nargs);
        throw PythonError{};
    }
}

std::size_t size_argument(PyObject* obj) {
    const std::size_t value = PyLong_AsSize_t(obj);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred())
        pass_on();
    return value;
}

double float_argument(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        pass_on();
    return value;
}

bool bool_argument(PyObject* obj) {
    const int value = PyObject_IsTrue(obj);
    if (value < 0)
        pass_on();
    return value != 0;
}

BufferView::BufferView(PyObject* obj, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &view_, flags) != 0)
        pass_on();
    held_ = true;
    if (!parse_format(view_.format, view_.itemsize, kind_))
        raise(PyExc_TypeError, "expected a buffer of float64, int32 or int64 items in native byte order");
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignment_of(kind_) != 0)
        raise(PyExc_ValueError, "the buffer is not aligned for its item type");
    count_ = static_cast<std::size_t>(view_.len / view_.itemsize);
}

BufferView::~BufferView() {
    if (held_)
        PyBuffer_Release(&view_);
}

bool BufferView::overlaps(const BufferView& other) const {
    if (view_.len == 0 || other.view_.len == 0)
        return false;
    const auto a = reinterpret_cast<std::uintptr_t>(view_.buf);
    const auto b = reinterpret_cast<std::uintptr_t>(other.view_.buf);
    return a < b + static_cast<std::uintptr_t>(other.view_.len) && b < a + static_cast<std::uintptr_t>(view_.len);
}

void expect_float64(const BufferView& view, const char* what) {
    if (view.kind() != ItemKind::Float64) {
        PyErr_Format(PyExc_TypeError, "%s must hold float64 items", what);
        throw PythonError{};
    }
}

int export_1d(PyObject* owner, Py_buffer* view, int flags, void* buf, const Py_ssize_t* shape,
              const Py_ssize_t* itemsize, const char* format, bool readonly) {
    view->buf = buf;
    view->obj = Py_NewRef(owner);
    view->len = *shape * *itemsize;
    view->readonly = readonly ? 1 : 0;
    view->itemsize = *itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? const_cast<Py_ssize_t*>(shape) : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(itemsize) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

}  // namespace pwpoly::py::arrays
