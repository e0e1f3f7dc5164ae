// Stopping a long computation early.
//
// The thread that starts a computation may install a check
// (`InterruptionScope`), for example one that asks the Python interpreter
// whether Ctrl-C was pressed. The check may throw to end the computation:
// the core is exception-neutral, so whatever it throws passes through, every
// resource is released on the way and no partial result is kept.
//
// Loops pace the check with an `InterruptionPacer`: they report the work
// they have done, in cost units, and the pacer calls
// `check_for_interruption()` each time `interruption_budget` units have come
// together. That function reads the clock and runs the installed check when
// `interruption_interval` has passed since it last ran. So the clock is read
// about once per budget of work, wherever that work is done, and a loop only
// has to say what its steps cost, not how often to look.
//
// Cost units. One unit is about one floating-point operation, or one item
// read or written, or one 32-bit limb product of exact arithmetic: a few
// tenths of a nanosecond to a few nanoseconds, so that a budget is some
// 0.1 to 1 ms of work. A loop reports after each step whose cost it knows
// (a row, a piece, an entry, an interval), and a step must not stand for
// much more than a budget: work that can grow without bound (a row of any
// length, the integrals of one piece at any degree) reports from inside,
// scaled by what it did. Misjudging a cost by a factor of ten still keeps
// the check within a few milliseconds of its due time.
//
// Without a check installed, a report costs a subtraction and a comparison,
// and a used-up budget one thread-local read. Worker threads never run the
// check (they have none installed). The thread that waits for them calls
// `check_for_interruption()` itself while it waits, and when that throws
// tells them to stop through the request's cancel flag (see
// WorkerPool::join_context); they finish the chunk at hand and skip the
// rest.
#pragma once

#include <chrono>
#include <cstddef>

namespace pwpoly {

inline constexpr std::chrono::milliseconds interruption_interval{25};

// The cost units between two looks at the clock.
inline constexpr std::size_t interruption_budget = std::size_t{1} << 18;

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
// passed since it last ran (or since it was installed). Loops call it
// through an InterruptionPacer; a thread that waits calls it directly.
void check_for_interruption();

// The work budget of one loop (see above): a local object, so that a report
// touches nothing but the loop's own counter. Exact arithmetic, which has no
// loop of its own to hold one, reports to a pacer of its thread
// (exact_arithmetic.cpp).
class InterruptionPacer {
public:
    // Reports `units` more units of work done; looks for an interruption
    // when the budget is used up (and then starts a new one).
    void done(std::size_t units) {
        if (units < left_) [[likely]] {
            left_ -= units;
            return;
        }
        left_ = interruption_budget;
        check_for_interruption();
    }

private:
    std::size_t left_ = interruption_budget;
};

// Runs body(i) for i = first, ..., last - 1 and reports `item_cost` units
// per item to `pacer`, in blocks of items that stay well within a budget:
// for loops whose items are a few operations each (a row of one entry),
// where even a report per item would be a noticeable share of the work.
template <class Body>
void paced_for(InterruptionPacer& pacer, std::size_t first, std::size_t last, std::size_t item_cost, Body&& body) {
    const std::size_t cost = item_cost > 0 ? item_cost : 1;
    const std::size_t block = cost < interruption_budget / 1024 ? 1024 : 1;
    while (first < last) {
        const std::size_t end = last - first > block ? first + block : last;
        for (std::size_t i = first; i < end; ++i)
            body(i);
        pacer.done((end - first) * cost);
        first = end;
    }
}

}  // namespace pwpoly
