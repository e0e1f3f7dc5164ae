// Running native work without the interpreter lock, interruptible by
// Ctrl-C, and what happens when the lock cannot be had back.
//
// Interruption. While the work runs, the core's long loops (through their
// interruption pacers) and the thread that waits for the worker pool call
// check_for_interruption() every few milliseconds, and it runs the check
// installed here at most every 25 ms: that check re-takes the lock for a
// moment, lets the interpreter run its signal handlers (PyErr_CheckSignals)
// and releases the lock again. When a handler raised (KeyboardInterrupt), the
// check throws PythonError: the work stops, everything it allocated is
// released, and the call raises that exception. Work that keeps the lock
// (`InterruptibleWithLock`) checks the same way without re-taking it.
// Signals are handled by the main thread only, so on other threads the
// check does nothing (as for Python code).
//
// Re-taking the lock can end the thread. On CPython before 3.14, a thread
// that asks for the lock while the interpreter finalizes (a daemon thread
// still inside a long call at exit) is ended with pthread_exit, whose forced
// unwind (abi::__forced_unwind) runs through our frames up to the thread's
// start. It must be let through: a catch that does not rethrow it, or a
// noexcept frame in its way (a destructor, a noexcept entry point), ends the
// whole process with std::terminate. So the lock is re-taken by plain calls,
// never by a destructor; every catch in the layer rethrows the forced unwind;
// entry points are not noexcept. The thread that is unwound this way does
// not hold the lock, so destructors that would touch Python objects (PyRef,
// held buffers) leave them alone (`interpreter_lock_lost`): the thread ends
// inside a dying interpreter, and what it held is left to the process's
// exit, as CPython leaves what a C extension held in the same situation.
// (From 3.14 on such a thread waits forever instead, and nothing unwinds.)
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "common/interruption.hpp"
#include "lib/toolkit/errors.hpp"
#include "lib/toolkit/python_compat.hpp"

namespace pwpoly::py {

// PyEval_RestoreThread(state), noting a forced unwind that passes.
void retake_interpreter_lock(PyThreadState* state);

// The interruption checks (common/interruption.hpp) without and with the
// lock; `context` is the released thread state, resp. unused.
void check_signals_without_lock(void* context);
void check_signals_with_lock(void* context);

// Makes the core's long loops check for Ctrl-C while the lock is held.
class InterruptibleWithLock {
public:
    InterruptibleWithLock() noexcept : scope_(&check_signals_with_lock, nullptr) {}

private:
    InterruptionScope scope_;
};

namespace lock_detail {

template <class F>
void run_unlocked(PyThreadState* state, F&& work) {
    try {
        InterruptionScope interruptible(&check_signals_without_lock, state);
        work();
    } catch (...) {
        if (interpreter_lock_lost())
            throw;  // the thread is ending without the lock
        retake_interpreter_lock(state);
        throw;
    }
    retake_interpreter_lock(state);
}

}  // namespace lock_detail

// Runs `work()` with the interpreter lock released and returns its result;
// the lock is held again on every way out (except the thread's forced
// unwind, see above). `work` must not touch Python objects.
template <class F>
auto without_interpreter_lock(F&& work) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<R>) {
        lock_detail::run_unlocked(state, work);
    } else {
        std::optional<R> result;
        lock_detail::run_unlocked(state, [&] { result.emplace(work()); });
        return std::move(*result);
    }
}

}  // namespace pwpoly::py
