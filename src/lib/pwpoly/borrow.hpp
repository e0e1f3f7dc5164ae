// The per-instance borrow counter: 0 free, k > 0 shared borrows, -1 one
// exclusive borrow. Conflicts fail at once with RuntimeError; nobody waits.
// Atomic because evaluations hold a shared borrow while the interpreter lock
// is released, and because free-threaded interpreters run calls in parallel.
#pragma once

#include "lib/toolkit/errors.hpp"

#include <atomic>
#include <cstddef>

namespace pwpoly::py {

class BorrowCounter {
public:
    bool try_shared() {
        std::ptrdiff_t current = count_.load(std::memory_order_relaxed);
        if constexpr (kLockSerializesCalls) {
            if (current == -1)
                return false;
            count_.store(current + 1, std::memory_order_relaxed);
            return true;
        }
        do {
            if (current == -1)
                return false;
        } while (
            !count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_shared() {
        if constexpr (kLockSerializesCalls)
            count_.store(count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        else
            count_.fetch_sub(1, std::memory_order_release);
    }

    bool try_exclusive() {
        std::ptrdiff_t expected = 0;
        if constexpr (kLockSerializesCalls) {
            if (count_.load(std::memory_order_relaxed) != expected)
                return false;
            count_.store(-1, std::memory_order_relaxed);
            return true;
        }
        return count_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void release_exclusive() { count_.store(0, std::memory_order_release); }

private:
    std::atomic<std::ptrdiff_t> count_{0};
};

// Scoped borrows: taken in the constructor (or RuntimeError), released on
// every path out of the call.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowCounter& counter) : counter_(counter) {
        if (!counter_.try_shared()) [[unlikely]]
            raise_error(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedBorrow() { counter_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowCounter& counter_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowCounter& counter) : counter_(counter) {
        if (!counter_.try_exclusive()) [[unlikely]]
            raise_error(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveBorrow() { counter_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowCounter& counter_;
};

}  // namespace pwpoly::py
