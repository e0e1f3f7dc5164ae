#include "lib/toolkit/interpreter_lock.hpp"

#include "lib/toolkit/errors.hpp"

namespace pwpoly::py {

namespace {
thread_local bool t_lock_lost = false;
}  // namespace

bool interpreter_lock_lost() noexcept { return t_lock_lost; }

void retake_interpreter_lock(PyThreadState* state) {
    // The one exception that can leave this C call is the forced unwind of
    // a thread that the exiting interpreter ends (pthread_exit). It is
    // caught as `...`: the forced unwind has no exception object, and
    // binding a reference to it is undefined behaviour.
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        t_lock_lost = true;
        throw;
    }
}

void check_signals_without_lock(void* context) {
    // An interpreter on its way out is not asked: re-taking the lock would
    // end this thread in the middle of the work.
    if (is_finalizing())
        return;
    auto* state = static_cast<PyThreadState*>(context);
    retake_interpreter_lock(state);
    const int status = PyErr_CheckSignals();
    PyEval_SaveThread();
    if (status < 0)
        throw PythonError{};
}

void check_signals_with_lock(void*) {
    if (PyErr_CheckSignals() < 0)
        throw PythonError{};
}

}  // namespace pwpoly::py
