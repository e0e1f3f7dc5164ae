// The Chase-Lev work-stealing deque of each worker of the pool (see
// worker_pool.hpp for the papers it follows and where it deviates), and the
// spacing that keeps atomics written by different threads apart.
#pragma once

#include <atomic>
#include <cstddef>

#include "parallel/worker_pool.hpp"

namespace pwpoly::pool_detail {

constexpr std::size_t cache_line = 64;
// Atomics written by different threads are kept this far apart: x86 CPUs
// commonly fetch cache lines in aligned pairs (the adjacent-line prefetcher),
// so two hot words on neighbouring lines still contend like one line.
constexpr std::size_t no_false_sharing = 2 * cache_line;

// Chase-Lev deque with a fixed ring buffer (see worker_pool.hpp for the
// deviations from the paper). push and pop are called by the owner only,
// steal by any thread.
class WorkDeque {
public:
    static constexpr std::size_t capacity = 256;
    // Slots are addressed by index % capacity with wrapping indices, which
    // stays consistent across the wrap only for a power of two.
    static_assert((capacity & (capacity - 1)) == 0, "the capacity must be a power of two");

    bool push(Job* job) noexcept {
        const std::size_t b = bottom_.load(std::memory_order_relaxed);
        const std::size_t t = top_.load(std::memory_order_acquire);
        if (b - t >= capacity)
            return false;
        slots_[b % capacity].store(job, std::memory_order_relaxed);
        // The paper's release fence before a relaxed store, written as a
        // release store (same guarantee; also visible to race detectors).
        bottom_.store(b + 1, std::memory_order_release);
        return true;
    }

    Job* pop() noexcept {
        const std::size_t b = bottom_.load(std::memory_order_relaxed) - 1;
        bottom_.store(b, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::size_t t = top_.load(std::memory_order_relaxed);
        if (signed_size(b, t) < 0) {  // empty
            bottom_.store(b + 1, std::memory_order_relaxed);
            return nullptr;
        }
        Job* job = slots_[b % capacity].load(std::memory_order_relaxed);
        if (b != t)  // more than one job: thieves cannot reach this one
            return job;
        // The last job: race the thieves for it.
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed))
            job = nullptr;
        bottom_.store(b + 1, std::memory_order_relaxed);
        return job;
    }

    // nullptr with `contended` set means another thief won the race for the
    // top job; the deque may still hold more.
    Job* steal(bool& contended) noexcept {
        std::size_t t = top_.load(std::memory_order_acquire);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        const std::size_t b = bottom_.load(std::memory_order_acquire);
        if (signed_size(b, t) <= 0)
            return nullptr;
        Job* job = slots_[t % capacity].load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
            contended = true;
            return nullptr;
        }
        return job;
    }

    bool looks_nonempty() const noexcept {
        return signed_size(bottom_.load(std::memory_order_acquire), top_.load(std::memory_order_acquire)) > 0;
    }

private:
    // Indices wrap; their difference, read as signed, is the size.
    static std::ptrdiff_t signed_size(std::size_t b, std::size_t t) noexcept {
        return static_cast<std::ptrdiff_t>(b - t);
    }

    // top_ is written by thieves, bottom_ by the owner on every push and pop.
    alignas(no_false_sharing) std::atomic<std::size_t> top_{0};
    alignas(no_false_sharing) std::atomic<std::size_t> bottom_{0};
    alignas(no_false_sharing) std::atomic<Job*> slots_[capacity] = {};
};

}  // namespace pwpoly::pool_detail
