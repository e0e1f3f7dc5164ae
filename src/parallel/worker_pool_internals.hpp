// The pool's private state, shared by worker_pool.cpp (work, joins, the
// workers' loop) and worker_pool_sleep.cpp (the sleep protocol).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "parallel/work_stealing_deque.hpp"
#include "parallel/worker_pool.hpp"

namespace pwpoly {

namespace pool_detail {

// Rounds of looking for work (yielding the CPU between rounds) before an
// idle worker goes to sleep.
constexpr int idle_rounds_before_sleep = 32;

constexpr std::uint32_t awake = 0;
constexpr std::uint32_t sleeping = 1;

}  // namespace pool_detail

struct alignas(pool_detail::no_false_sharing) WorkerPool::Worker {
    pool_detail::WorkDeque deque;
    // awake / sleeping; a waker flips sleeping -> awake and notifies.
    alignas(pool_detail::no_false_sharing) std::atomic<std::uint32_t> sleep_state{pool_detail::awake};
    std::size_t index = 0;
    std::uint32_t rng = 1;  // xorshift state for picking victims
    std::thread thread;
};

struct WorkerPool::Shared {
    alignas(pool_detail::no_false_sharing) std::atomic<std::size_t> sleepers{0};
    alignas(pool_detail::no_false_sharing) std::atomic<std::size_t> injected_count{0};
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> wake_cursor{0};
    std::mutex injector_mutex;
    std::deque<pool_detail::Job*> injector;
};

}  // namespace pwpoly
