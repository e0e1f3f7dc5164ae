// Stopping a long computation early.
//
// A computation that can run for long (many rows, many points) calls
// `check_for_interruption()` between chunks of its work, on the thread that
// started it. That thread may have installed a check (`InterruptionScope`),
// for example one that asks the Python interpreter whether Ctrl-C was
// pressed. The check runs at most once every `interruption_interval` and may
// throw to end the computation: the core is exception-neutral, so whatever
// it throws passes through, every resource is released on the way and no
// partial result is kept. Without a check installed the call costs one
// thread-local read.
//
// Worker threads never run the check (they have none installed). The thread
// that waits for them runs it while it waits, and when it throws tells them
// to stop through the request's cancel flag (see WorkerPool::join_context);
// they finish the chunk at hand and skip the rest.
#pragma once

#include <chrono>

namespace pwpoly {

inline constexpr std::chrono::milliseconds interruption_interval{25};

// Returns normally to let the computation go on, or throws to end it.
using InterruptionCheck = void (*)(void* context);

// Installs `check` for the current thread for the scope's lifetime (the
// previous one, if any, is restored afterwards).
class InterruptionScope {
public:
    InterruptionScope(InterruptionCheck check, void* context) noexcept;
    ~InterruptionScope();
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

private:
    InterruptionCheck previous_check_;
    void* previous_context_;
    std::chrono::steady_clock::time_point previous_due_;
};

// Runs the current thread's check if one is installed and its interval has
// passed since it last ran (or since it was installed).
void check_for_interruption();

}  // namespace pwpoly
