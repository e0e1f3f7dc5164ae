// Running native work without the interpreter lock.
#pragma once

#include "lib/python_compat.hpp"

namespace pwpoly::py {

// Releases the interpreter lock for its lifetime; re-takes it on every path
// out, including an internal failure of the computation.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace pwpoly::py
